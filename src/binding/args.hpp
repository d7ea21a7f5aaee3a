// args.hpp - binds call arguments to a callable's parameters.
//
// One table per callable names its parameters; `bind` sorts positional and
// keyword arguments into one slot per parameter and raises the
// interpreter's usual TypeErrors (too many positional arguments, unknown or
// repeated keywords, missing arguments), naming the callable
// "Class.method()". Conversion of the bound values is left to the caller.
#pragma once

#include <initializer_list>

#include "binding/python.hpp"

namespace korvane::py {

/// The parameter list of one callable.
struct Signature {
  const char* function;                  ///< "GraphStore.add_op", for messages
  std::initializer_list<const char*> names;  ///< every parameter, in order
  int positional;                        ///< the first `positional` may be given by position
  int required;                          ///< the first `required` must be given
};

/// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method
/// table holds.
#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

/// Binds vectorcall arguments. `out` gets one borrowed reference per
/// parameter, null where an optional one was left out. Throws PythonError.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

/// The same for tuple-and-dict calls (type constructors).
void bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

/// Raises TypeError unless the call has no arguments at all.
void bind_none(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace korvane::py
