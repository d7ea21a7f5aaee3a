// pyref.hpp - an owning reference to a Python object.
#pragma once

#include <utility>

#include "binding/python.hpp"

namespace korvane::py {

/// Owns one strong reference (or none) and drops it on destruction.
class Ref {
 public:
  Ref() = default;
  /// Takes over a new reference (may be null).
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  /// Adds a reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref(std::move(other)).swap(*this);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Hands the reference over to the caller.
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void swap(Ref& other) noexcept { std::swap(p_, other.p_); }

 private:
  PyObject* p_ = nullptr;
};

/// Ends a dealloc of one of the module's heap types, once the instance has
/// destroyed what it owns: frees the instance through its type's slot and
/// drops the reference every instance of a heap type holds on its type.
inline void free_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

}  // namespace korvane::py
