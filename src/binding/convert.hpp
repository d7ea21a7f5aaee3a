// convert.hpp - conversion of Python arguments into the core's values.
//
// Converted values borrow from the Python objects they came from (UTF-8
// buffers of str objects); the buffers here hold references to those
// objects until the call is done, even if Python code run by a conversion
// (an __index__ method, say) changes the container they came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "binding/errors.hpp"
#include "binding/record_cache.hpp"
#include "store/descriptor.hpp"
#include "store/node.hpp"
#include "store/params.hpp"

namespace korvane::py {

/// The name of an object's type, as a new str.
Ref type_name(PyObject* obj);

/// The UTF-8 bytes of a str argument; TypeError naming `function` and
/// `param` for anything else.
std::string_view to_utf8(PyObject* obj, const char* function, const char* param);

/// A node id from an int or an object with __index__.
uint64_t to_id(PyObject* item, const char* param);

/// Node ids from a sequence of ints (not a str), appended to `out`.
template <class Out>
void to_ids(PyObject* obj, const char* param, Out& out);

/// Converted `params`: the classified items in dict order, the objects they
/// come from, and (after `encode`) the parameters as the store takes them.
struct ParamArg {
  boost::container::small_vector<ParamItem, 8> items;
  boost::container::small_vector<Ref, 16> held;
  boost::container::small_vector<ParamRef, 8> refs;

  /// Fills `refs`: UTF-8 keys and strings, sorted by key.
  void encode();
};
/// Converts a params argument (null or None: the empty map).
void to_params(PyObject* obj, ParamArg& out);

/// Converted `descriptor`: its fields and the objects they borrow from.
struct DescriptorArg {
  DescriptorRef ref;
  boost::container::small_vector<Ref, 6> held;
};
/// Converts a descriptor argument (a PayloadDescriptor or a dict).
void to_descriptor(PyObject* obj, DescriptorArg& out);

/// Converts a `maximal_fusion` argument (null: false).
bool to_fusion_flag(PyObject* obj);

// --- implementation of the template ---

void raise_str_sequence(const char* param);
void raise_not_sequence(PyObject* obj, const char* param);

template <class Out>
void to_ids(PyObject* obj, const char* param, Out& out) {
  if (PyUnicode_Check(obj)) raise_str_sequence(param);
  if (PyList_Check(obj)) {
    Py_ssize_t n = PyList_Size(obj);
    out.reserve(out.size() + n);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GetItem(obj, i);
      const bool plain_int = PyLong_CheckExact(item);
      out.push_back(to_id(item, param));
      // An __index__ method may have resized the list.
      if (!plain_int) n = PyList_Size(obj);
    }
    return;
  }
  if (PyTuple_Check(obj)) {
    const Py_ssize_t n = PyTuple_Size(obj);
    out.reserve(out.size() + n);
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(to_id(PyTuple_GetItem(obj, i), param));
    return;
  }
  if (!PySequence_Check(obj)) raise_not_sequence(obj, param);
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) throw PythonError{};
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = new_ref(PySequence_GetItem(obj, i));
    out.push_back(to_id(item.get(), param));
  }
}

/// Converts an `outputs` argument: nullopt for None or left out, else the
/// listed ids in order, duplicates kept.
std::optional<std::vector<NodeId>> to_outputs(PyObject* obj, const char* param = "outputs");

/// Raises ValueError "no node with id N" for the first id not below `count`.
void check_outputs(const std::vector<NodeId>& ids, uint64_t count);

// --- building results ---

/// A str of UTF-8 text.
inline Ref new_str(std::string_view text) {
  return new_ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

/// An int of an unsigned 64-bit value.
inline Ref u64(uint64_t value) { return new_ref(PyLong_FromUnsignedLongLong(value)); }

/// Sets `dict[key] = value`.
inline void set_key(PyObject* dict, const char* key, const Ref& value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonError{};
}
inline void set_key(PyObject* dict, PyObject* key, const Ref& value) {
  if (PyDict_SetItem(dict, key, value.get()) < 0) throw PythonError{};
}

/// Puts `value` at `index` of a new list, taking it over.
inline void set_list_item(PyObject* list, size_t index, Ref value) {
  if (PyList_SetItem(list, static_cast<Py_ssize_t>(index), value.release()) < 0) throw PythonError{};
}

}  // namespace korvane::py
