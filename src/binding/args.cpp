// args.cpp - the argument binder.
#include "binding/args.hpp"

#include "binding/errors.hpp"

namespace korvane::py {

namespace {

void check_positional_count(const SignatureView& sig, Py_ssize_t nargs) {
  if (nargs <= sig.positional) return;
  if (sig.positional == 0) raise(PyExc_TypeError, "%s() takes no positional arguments", sig.function);
  raise(PyExc_TypeError, "%s() takes %s %d positional argument%s (%zd given)", sig.function,
        sig.required < sig.positional ? "at most" : "exactly", sig.positional, sig.positional == 1 ? "" : "s",
        nargs);
}

// Puts one keyword argument into its slot.
void bind_keyword(const SignatureView& sig, PyObject* key, PyObject* value, Py_ssize_t nargs,
                  std::span<PyObject*> out) {
  int i = 0;
  for (const char* name : sig.names) {
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
      if (i < nargs) {
        raise(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%d)", sig.function, name,
              i + 1);
      }
      out[i] = value;
      return;
    }
    ++i;
  }
  raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, key);
}

void check_required(const SignatureView& sig, std::span<PyObject*> out) {
  int i = 0;
  for (const char* name : sig.names) {
    if (i >= sig.required) return;
    if (out[i] == nullptr) {
      if (i < sig.positional) {
        raise(PyExc_TypeError, "%s() missing required argument '%s' (pos %d)", sig.function, name, i + 1);
      }
      raise(PyExc_TypeError, "%s() missing required argument '%s'", sig.function, name);
    }
    ++i;
  }
}

}  // namespace

void bind_into(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out) {
  check_positional_count(sig, nargs);
  const size_t n = sig.names.size();
  for (size_t i = 0; i < n; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) bind_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], nargs, out);
  }
  check_required(sig, out);
}

void bind_into(const SignatureView& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  check_positional_count(sig, nargs);
  const size_t n = sig.names.size();
  for (size_t i = 0; i < n; ++i) out[i] = i < static_cast<size_t>(nargs) ? PyTuple_GetItem(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, nargs, out);
  }
  check_required(sig, out);
}

void bind_none(const char* function, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  const Py_ssize_t nkw = kwargs ? PyDict_Size(kwargs) : 0;
  if (nargs == 0 && nkw == 0) return;
  raise(PyExc_TypeError, "%s() takes no arguments", function);
}

}  // namespace korvane::py
