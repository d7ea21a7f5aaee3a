// convert.cpp - argument conversion.
#include "binding/convert.hpp"

#include <initializer_list>

#include "binding/payload_descriptor.hpp"

namespace korvane::py {

Ref type_name(PyObject* obj) {
  // Through type's own __name__ descriptor: a metaclass may redefine the
  // attribute to return anything, but the descriptor always gives the str
  // the type was made with.
  Ref type_dict = new_ref(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
  Ref descriptor = new_ref(PyMapping_GetItemString(type_dict.get(), "__name__"));
  Ref name = new_ref(PyObject_CallMethod(descriptor.get(), "__get__", "O", reinterpret_cast<PyObject*>(Py_TYPE(obj))));
  if (!PyUnicode_Check(name.get())) return new_ref(PyUnicode_FromString("?"));
  return name;
}

namespace {

std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw PythonError{};
  return {data, static_cast<size_t>(size)};
}

// Discards the error of a lookup or conversion whose failure is an answer
// (the value does not support that kind, the type has no such attribute),
// so that the caller can go on. An interrupt or an exhausted memory is not
// such an answer and goes up unchanged. Kept out of line, off the common
// path.
[[gnu::cold, gnu::noinline]] void discard_failed_conversion() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw PythonError{};
  PyErr_Clear();
}

// Whether the str attribute `attr` of the type of `obj` reads as one of
// `texts`. A type without it (or with one that is no str) has none of them.
bool type_attr_is(PyObject* obj, const char* attr, std::initializer_list<const char*> texts) {
  const Ref value(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attr));
  if (!value) {
    discard_failed_conversion();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  for (const char* text : texts) {
    if (PyUnicode_CompareWithASCIIString(value.get(), text) == 0) return true;
  }
  return false;
}

// Whether `obj` is a numpy boolean scalar, told by its type's module and
// name ("numpy.bool_", called "numpy.bool" from numpy 2 on), so that numpy
// never has to be imported. Plain attribute lookups: any class may claim
// these names anyway, and the descriptor route of type_name costs several
// times as much.
bool is_numpy_bool(PyObject* obj) {
  return type_attr_is(obj, "__module__", {"numpy"}) && type_attr_is(obj, "__name__", {"bool_", "bool"});
}

// Whether the object's own type converts its instances to bool. A
// metaclass's __bool__ would answer a getattr on the type, but converts only
// the type, not its instances.
bool has_bool_slot(PyObject* obj) { return PyType_GetSlot(Py_TYPE(obj), Py_nb_bool) != nullptr; }

// The truth of a value that has a bool slot.
bool truth_of(PyObject* obj) {
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) throw PythonError{};
  return truth == 1;
}

// Raises the ValueError for a key that a params dict gives twice.
[[noreturn, gnu::cold, gnu::noinline]] void raise_duplicate_key(std::string_view key) {
  const Ref text = new_ref(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
  raise(PyExc_ValueError, "duplicate param key '%U'", text.get());
}

}  // namespace

std::string_view to_utf8(PyObject* obj, const char* function, const char* param) {
  if (!PyUnicode_Check(obj)) {
    raise(PyExc_TypeError, "%s() argument '%s' must be str, not %U", function, param, type_name(obj).get());
  }
  return utf8_of(obj);
}

void raise_str_sequence(const char* param) {
  raise(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
}

void raise_not_sequence(PyObject* obj, const char* param) {
  raise(PyExc_TypeError, "argument '%s': '%U' object is not a sequence of ints", param, type_name(obj).get());
}

namespace {

// Restates the error of a failed unsigned conversion for argument `param`.
// The pending error is taken first: nothing may run with it still set.
[[noreturn]] void raise_bad_id(PyObject* item, const char* param) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  if (PyErr_GivenExceptionMatches(type, PyExc_OverflowError)) {
    raise(PyExc_OverflowError, "argument '%s': node id out of range (negative or at least 2**64)", param);
  }
  if (!PyErr_GivenExceptionMatches(type, PyExc_TypeError)) {
    // Any other error of the object's own __index__ goes up as it is.
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    throw PythonError{};
  }
  if (PyType_GetSlot(Py_TYPE(item), Py_nb_index) == nullptr) {
    raise(PyExc_TypeError, "argument '%s': '%U' object cannot be interpreted as an integer", param,
          type_name(item).get());
  }
  // __index__ raised a TypeError or returned a non-int: still no integer
  // value, reported for the parameter.
  Ref text(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString(""));
  if (!text) throw PythonError{};
  raise(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

uint64_t unsigned_of(PyObject* integer, PyObject* item, const char* param) {
  const unsigned long long v = PyLong_AsUnsignedLongLong(integer);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_bad_id(item, param);
  return v;
}

}  // namespace

uint64_t to_id(PyObject* item, const char* param) {
  if (PyLong_CheckExact(item)) return unsigned_of(item, item, param);
  Ref held = Ref::borrow(item);
  Ref index(PyNumber_Index(item));
  if (!index) raise_bad_id(item, param);
  return unsigned_of(index.get(), item, param);
}

namespace {

// Classifies one parameter value: exactly bool, float, str or int take the
// short way; then a numpy bool, before any number protocol (numpy's bool
// scalar has an __index__ in some releases, and would record as an Int);
// then an int in the 64-bit range (__index__), then a double (__float__,
// and ints too large for 64 bits), then a str subclass. A str is encoded
// later, only if the parameters have to be interned.
void classify_value(PyObject* v, ParamItem& p) {
  if (PyBool_Check(v)) {
    p.tag = ParamTag::Bool;
    p.bits = v == Py_True;
    return;
  }
  if (PyFloat_CheckExact(v)) {
    p.tag = ParamTag::Float;
    p.bits = double_bits(PyFloat_AsDouble(v));
    return;
  }
  if (PyUnicode_CheckExact(v)) {
    p.tag = ParamTag::Str;
    return;
  }
  if (!PyLong_CheckExact(v) && is_numpy_bool(v) && has_bool_slot(v)) {
    p.tag = ParamTag::Bool;
    p.bits = truth_of(v);
    return;
  }
  const long long i = PyLong_AsLongLong(v);
  if (!(i == -1 && PyErr_Occurred())) {
    p.tag = ParamTag::Int;
    p.bits = static_cast<uint64_t>(i);
    return;
  }
  discard_failed_conversion();
  const double d = PyFloat_AsDouble(v);
  if (!(d == -1.0 && PyErr_Occurred())) {
    p.tag = ParamTag::Float;
    p.bits = double_bits(d);
    return;
  }
  discard_failed_conversion();
  if (PyUnicode_Check(v)) {
    p.tag = ParamTag::Str;
    return;
  }
  raise(PyExc_TypeError, "param values must be int, float, bool, or str");
}

}  // namespace

void to_params(PyObject* obj, ParamArg& out) {
  if (obj == nullptr || obj == Py_None) return;
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "params must be a dict or None");
  // Take references first: converting a value may run code that edits the dict.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    out.held.push_back(Ref::borrow(key));
    out.held.push_back(Ref::borrow(value));
    out.items.push_back(ParamItem{key, value, ParamTag::Int, 0});
  }
  for (ParamItem& item : out.items) {
    if (!PyUnicode_Check(item.key)) {
      raise(PyExc_TypeError, "param keys must be str, not %U", type_name(item.key).get());
    }
    classify_value(item.value, item);
  }
}

void ParamArg::encode() {
  refs.resize(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    refs[i] = ParamRef{utf8_of(items[i].key), items[i].tag, items[i].bits, {}};
    if (items[i].tag == ParamTag::Str) refs[i].str = utf8_of(items[i].value);
  }
  sort_params(refs);
  // The keys of a dict are distinct objects, but two of them may still read
  // as the same text (str subclasses with their own __hash__ or __eq__); a
  // map holds every key once. Sorted, such keys are neighbours. Neighbours
  // nearly always differ in length or first byte, which settles it without
  // a call to compare the bytes.
  for (size_t i = 1; i < refs.size(); ++i) {
    const std::string_view prev = refs[i - 1].key, key = refs[i].key;
    if (prev.size() == key.size() && (key.empty() || prev[0] == key[0]) && prev == key) raise_duplicate_key(key);
  }
}

namespace {

// Looks `field` up in a descriptor dict: null when absent (or None, if
// `none_is_absent`), its UTF-8 text otherwise.
const char* lookup_field(PyObject* dict, const char* field, DescriptorArg& out, std::string_view& text,
                         bool none_is_absent) {
  Ref key = new_ref(PyUnicode_FromString(field));
  PyObject* value = PyDict_GetItemWithError(dict, key.get());
  if (value == nullptr) {
    if (PyErr_Occurred()) throw PythonError{};
    return nullptr;
  }
  if (none_is_absent && value == Py_None) return nullptr;
  if (!PyUnicode_Check(value)) {
    raise(PyExc_TypeError, "descriptor field '%s' must be str, not %U", field, type_name(value).get());
  }
  out.held.push_back(Ref::borrow(value));
  text = utf8_of(value);
  return field;
}

}  // namespace

void to_descriptor(PyObject* obj, DescriptorArg& out) {
  if (const PayloadDescriptor* d = payload_descriptor_of(obj)) {
    out.held.push_back(Ref::borrow(obj));
    out.ref = d->ref();
    return;
  }
  if (!PyDict_Check(obj)) raise(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  out.held.push_back(Ref::borrow(obj));
  std::string_view text;
  if (lookup_field(obj, kPreprocessingRef, out, text, true)) out.ref.preprocessing_ref = text;
  for (const DescriptorField& f : kDescriptorFields) {
    if (!lookup_field(obj, f.name, out, out.ref.*f.borrowed, false)) {
      raise(PyExc_ValueError, "descriptor missing required field '%s'", f.name);
    }
  }
}

bool to_fusion_flag(PyObject* obj) {
  if (obj == nullptr) return false;
  if (PyBool_Check(obj)) return obj == Py_True;
  // A numpy boolean scalar converts through its __bool__.
  if (!is_numpy_bool(obj)) {
    raise(PyExc_TypeError, "argument 'maximal_fusion': '%U' object cannot be converted to 'bool'",
          type_name(obj).get());
  }
  if (!has_bool_slot(obj)) {
    raise(PyExc_TypeError, "argument 'maximal_fusion': object of type '%U' does not define a '__bool__' conversion",
          type_name(obj).get());
  }
  return truth_of(obj);
}

std::optional<std::vector<NodeId>> to_outputs(PyObject* obj, const char* param) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  std::vector<NodeId> ids;
  to_ids(obj, param, ids);
  return ids;
}

void check_outputs(const std::vector<NodeId>& ids, uint64_t count) {
  for (NodeId id : ids) {
    if (id >= count) raise(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(id));
  }
}

}  // namespace korvane::py
