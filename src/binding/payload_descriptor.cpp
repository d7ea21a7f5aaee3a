// payload_descriptor.cpp - the PayloadDescriptor class.
//
//   PayloadDescriptor(*, kind, content_hash, framework, version, io_schema,
//                     preprocessing_ref=None)
//     .kind .content_hash .framework .version .io_schema   str, read-only
//     .preprocessing_ref                                    str or None
//     .__reduce__()                                         pickle and copy (pickle.cpp)
#include "binding/payload_descriptor.hpp"

#include <cstddef>
#include <memory>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/pickle.hpp"

namespace korvane::py {

namespace {

/// A PayloadDescriptor instance.
struct DescriptorObject {
  PyObject_HEAD
  PayloadDescriptor* value;  ///< owned; null only while the object is being built
};

PyObject* g_type = nullptr;  // the process-wide type object

DescriptorObject* as_descriptor(PyObject* self) { return reinterpret_cast<DescriptorObject*>(self); }

const Signature kNew{"PayloadDescriptor",
                     {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"},
                     0,
                     5};

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* a[6];
    bind(kNew, args, kwargs, a);
    auto value = std::make_unique<PayloadDescriptor>();
    std::string* fields[] = {&value->kind, &value->content_hash, &value->framework, &value->version,
                             &value->io_schema};
    const char* const names[] = {"kind", "content_hash", "framework", "version", "io_schema"};
    for (int i = 0; i < 5; ++i) *fields[i] = std::string(to_utf8(a[i], kNew.function, names[i]));
    if (a[5] != nullptr && a[5] != Py_None) {
      value->preprocessing_ref = std::string(to_utf8(a[5], kNew.function, "preprocessing_ref"));
    }
    Ref self = new_ref(PyType_GenericAlloc(type, 0));
    as_descriptor(self.get())->value = value.release();
    return self.release();
  });
}

void descriptor_dealloc(PyObject* self) {
  // Destroy the owned descriptor.
  delete as_descriptor(self)->value;
  free_instance(self);
}

PyObject* str_field(PyObject* self, void* closure) {
  const PayloadDescriptor& d = *as_descriptor(self)->value;
  const auto member = *static_cast<std::string PayloadDescriptor::**>(closure);
  const std::string& s = d.*member;
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* preprocessing_ref_field(PyObject* self, void*) {
  const auto& ref = as_descriptor(self)->value->preprocessing_ref;
  if (!ref) Py_RETURN_NONE;
  return PyUnicode_FromStringAndSize(ref->data(), static_cast<Py_ssize_t>(ref->size()));
}

std::string PayloadDescriptor::*kFieldMembers[] = {&PayloadDescriptor::kind, &PayloadDescriptor::content_hash,
                                                   &PayloadDescriptor::framework, &PayloadDescriptor::version,
                                                   &PayloadDescriptor::io_schema};

PyObject* descriptor_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    Ref fields[6];
    for (int i = 0; i < 5; ++i) fields[i] = new_ref(str_field(self, &kFieldMembers[i]));
    fields[5] = new_ref(preprocessing_ref_field(self, nullptr));
    return PyUnicode_FromFormat(
        "PayloadDescriptor(kind=%R, content_hash=%R, framework=%R, version=%R, io_schema=%R, preprocessing_ref=%R)",
        fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(), fields[4].get(), fields[5].get());
  });
}

PyGetSetDef descriptor_getset[] = {
    {"kind", str_field, nullptr, nullptr, &kFieldMembers[0]},
    {"content_hash", str_field, nullptr, nullptr, &kFieldMembers[1]},
    {"framework", str_field, nullptr, nullptr, &kFieldMembers[2]},
    {"version", str_field, nullptr, nullptr, &kFieldMembers[3]},
    {"io_schema", str_field, nullptr, nullptr, &kFieldMembers[4]},
    {"preprocessing_ref", preprocessing_ref_field, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyMethodDef descriptor_methods[] = {
    {"__reduce__", descriptor_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\nPickle and copy support: rebuilt by the constructor from the six fields."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n"
                    "--\n\n"
                    "The reproducibility metadata an External node carries; it takes part in the node's identity.")},
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {0, nullptr},  // sentinel
};

PyType_Spec descriptor_spec = {
    .name = "korvane_core.PayloadDescriptor",
    .basicsize = sizeof(DescriptorObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = descriptor_slots,
};

}  // namespace

PyObject* payload_descriptor_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&descriptor_spec);
  return g_type;
}

const PayloadDescriptor* payload_descriptor_of(PyObject* obj) {
  if (g_type == nullptr || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(g_type))) return nullptr;
  return as_descriptor(obj)->value;
}

}  // namespace korvane::py
