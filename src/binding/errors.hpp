// errors.hpp - how failures cross into Python.
//
// Binding code throws PythonError after setting a Python exception, so
// conversions can unwind without threading error codes through every
// caller. `guarded` runs one method body and turns whatever escapes (a
// PythonError, an InternalError, an allocation failure) into the Python
// exception the caller sees; nothing crosses the module boundary as a C++
// exception.
#pragma once

#include <exception>
#include <utility>

#include "binding/pyref.hpp"

namespace korvane::py {

/// Thrown after a Python exception has been set.
struct PythonError {};

/// Throws PythonError if `result` is null (a failed C-API call), otherwise
/// returns it as an owned reference.
inline Ref new_ref(PyObject* result) {
  if (result == nullptr) throw PythonError{};
  return Ref(result);
}

/// Sets the Python exception for the C++ exception being handled.
void set_error_from_current_exception() noexcept;

/// Raises `type` with a formatted message (PyErr_Format) and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

/// Runs `body`, returning its result, or null with a Python exception set.
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception();
    return {};
  }
}

/// The module's internal-error exception type (derived from BaseException),
/// created on first use and kept for the life of the process. Null (with
/// MemoryError set) if it cannot be created.
PyObject* internal_error_type() noexcept;

}  // namespace korvane::py
