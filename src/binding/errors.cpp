// errors.cpp - translation of C++ failures into Python exceptions.
#include "binding/errors.hpp"

#include <cstdarg>
#include <mutex>
#include <new>
#include <stdexcept>

#include "common/internal_error.hpp"

namespace korvane::py {

PyObject* internal_error_type() noexcept {
  // Created once per process under the GIL; every interpreter shares it.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "korvane_core.InternalError",
        "A broken internal invariant of korvane_core. Derives from BaseException so that\n"
        "'except Exception' does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    // The Python exception is already set.
  } catch (const InternalError& e) {
    if (PyObject* type = internal_error_type()) PyErr_SetString(type, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::exception& e) {
    if (PyObject* type = internal_error_type()) PyErr_SetString(type, e.what());
  } catch (...) {
    if (PyObject* type = internal_error_type()) PyErr_SetString(type, "unknown internal failure");
  }
}

void raise(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw PythonError{};
}

}  // namespace korvane::py
