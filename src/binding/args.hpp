// args.hpp - binds call arguments to a callable's parameters.
//
// One table per callable names its parameters; `bind` sorts positional and
// keyword arguments into one slot per parameter and raises the
// interpreter's usual TypeErrors (too many positional arguments, unknown or
// repeated keywords, missing arguments), naming the callable
// "Class.method()". Conversion of the bound values is left to the caller.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "binding/python.hpp"

namespace korvane::py {

/// The parameter list of one callable with N parameters, sized by the
/// compiler from the list of names (see `signature`).
template <std::size_t N>
struct Signature {
  const char* function;               ///< "GraphStore.add_op", for messages
  std::array<const char*, N> names;   ///< every parameter, in order
  int positional;                     ///< the first `positional` may be given by position
  int required;                       ///< the first `required` must be given
};

/// A signature whose size is that of `names`:
/// `signature("GraphStore.add_op", {"name", "inputs", "params"}, 3, 2)`.
template <std::size_t N>
constexpr Signature<N> signature(const char* function, const char* const (&names)[N], int positional,
                                 int required) {
  Signature<N> sig{function, {}, positional, required};
  for (std::size_t i = 0; i < N; ++i) sig.names[i] = names[i];
  return sig;
}

/// The bound arguments: one borrowed reference per parameter, null where
/// an optional one was left out.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

/// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method
/// table holds.
#define FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn))

/// The untemplated binder behind `bind`: `names` and `out` have one entry
/// per parameter.
struct SignatureView {
  const char* function;
  std::span<const char* const> names;
  int positional;
  int required;
};
void bind_into(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> out);
void bind_into(const SignatureView& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

/// Binds vectorcall arguments. Throws PythonError.
template <std::size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Bound<N> out{};
  bind_into({sig.function, sig.names, sig.positional, sig.required}, args, nargs, kwnames, out);
  return out;
}
/// The same for tuple-and-dict calls (type constructors).
template <std::size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
  Bound<N> out{};
  bind_into({sig.function, sig.names, sig.positional, sig.required}, args, kwargs, out);
  return out;
}

/// Raises TypeError unless the call has no arguments at all.
void bind_none(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace korvane::py
