// owner.hpp - instances that own one C++ value, and the module's types.
//
// Every class of the module is an Owner<T>: the instance holds its T in
// place, constructed when the instance is made and destroyed when it is
// freed. `types()` holds the four type objects, created in one place.
#pragma once

#include <new>
#include <utility>

#include "binding/errors.hpp"
#include "binding/pyref.hpp"

namespace korvane::py {

/// An instance that owns one T.
template <class T>
struct Owner {
  PyObject_HEAD
  T value;  ///< constructed by `new_owner`, destroyed by `owner_dealloc`
};

/// The T of an instance of a type whose instances are Owner<T>.
template <class T>
T& owned(PyObject* self) noexcept {
  return reinterpret_cast<Owner<T>*>(self)->value;
}

/// A new instance of `type` whose T is built from `args`. If building it
/// throws, the instance is freed without running its dealloc (which would
/// destroy a T that never was).
template <class T, class... Args>
Ref new_owner(PyObject* type, Args&&... args) {
  PyObject* raw = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (raw == nullptr) throw PythonError{};
  try {
    new (&owned<T>(raw)) T(std::forward<Args>(args)...);
  } catch (...) {
    free_instance(raw);
    throw;
  }
  return Ref(raw);
}

/// The dealloc slot of an Owner<T> type: destroys the T (and what it owns),
/// then frees the instance through its type's slot.
template <class T>
void owner_dealloc(PyObject* self) {
  owned<T>(self).~T();
  free_instance(self);
}

/// The module's type objects. They are process-wide: created by the first
/// import and reused by every later one, in any interpreter, so the module
/// is not isolated per interpreter.
struct Types {
  PyObject* graph_store = nullptr;
  PyObject* payload_descriptor = nullptr;
  PyObject* incremental_reducer = nullptr;
  PyObject* rule_set = nullptr;
};

/// Creates the types on first call; false with an exception set on failure.
bool create_types();
/// The types (null members before `create_types` succeeded).
const Types& types();

/// Whether `obj` is an instance of `type` (false while it does not exist).
inline bool is_instance(PyObject* obj, PyObject* type) {
  return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace korvane::py
