// payload_descriptor.cpp - the PayloadDescriptor class.
//
//   PayloadDescriptor(*, kind, content_hash, framework, version, io_schema,
//                     preprocessing_ref=None)
//     .kind .content_hash .framework .version .io_schema   str, read-only
//     .preprocessing_ref                                    str or None
//     .__reduce__()                                         pickle and copy (pickle.cpp)
#include "binding/payload_descriptor.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/owner.hpp"
#include "binding/pickle.hpp"

namespace korvane::py {

namespace {

const auto kNew = signature("PayloadDescriptor",
                            {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"}, 0, 5);

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const auto a = bind(kNew, args, kwargs);
    PayloadDescriptor value;
    for (size_t i = 0; i < kDescriptorFields.size(); ++i) {
      const DescriptorField& f = kDescriptorFields[i];
      value.*f.owned = std::string(to_utf8(a[i], kNew.function, f.name));
    }
    if (a[5] != nullptr && a[5] != Py_None) {
      value.preprocessing_ref = std::string(to_utf8(a[5], kNew.function, kPreprocessingRef));
    }
    return new_owner<PayloadDescriptor>(reinterpret_cast<PyObject*>(type), std::move(value)).release();
  });
}

// The getter of field `closure` (its position; the last is the optional one).
PyObject* field_getter(PyObject* self, void* closure) {
  return guarded([&]() -> PyObject* {
    return descriptor_field(owned<PayloadDescriptor>(self), reinterpret_cast<uintptr_t>(closure)).release();
  });
}

PyObject* descriptor_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PayloadDescriptor& d = owned<PayloadDescriptor>(self);
    Ref text = new_ref(PyUnicode_FromString("PayloadDescriptor("));
    for (size_t i = 0; i <= kDescriptorFields.size(); ++i) {
      const char* name = i < kDescriptorFields.size() ? kDescriptorFields[i].name : kPreprocessingRef;
      Ref part = new_ref(PyUnicode_FromFormat("%s%s=%R", i == 0 ? "" : ", ", name, descriptor_field(d, i).get()));
      text = new_ref(PyUnicode_Concat(text.get(), part.get()));
    }
    Ref close = new_ref(PyUnicode_FromString(")"));
    return PyUnicode_Concat(text.get(), close.get());
  });
}

// One getter per field, in the fields' order; the closure is the position.
PyGetSetDef descriptor_getset[] = {
    {kDescriptorFields[0].name, field_getter, nullptr, nullptr, reinterpret_cast<void*>(0)},
    {kDescriptorFields[1].name, field_getter, nullptr, nullptr, reinterpret_cast<void*>(1)},
    {kDescriptorFields[2].name, field_getter, nullptr, nullptr, reinterpret_cast<void*>(2)},
    {kDescriptorFields[3].name, field_getter, nullptr, nullptr, reinterpret_cast<void*>(3)},
    {kDescriptorFields[4].name, field_getter, nullptr, nullptr, reinterpret_cast<void*>(4)},
    {kPreprocessingRef, field_getter, nullptr, nullptr, reinterpret_cast<void*>(5)},
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
    {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<PayloadDescriptor>)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_methods, descriptor_methods},
    {0, nullptr},  // sentinel
};

}  // namespace

PyType_Spec payload_descriptor_spec = {
    .name = "korvane_core.PayloadDescriptor",
    .basicsize = sizeof(Owner<PayloadDescriptor>),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = descriptor_slots,
};

const PayloadDescriptor* payload_descriptor_of(PyObject* obj) {
  return is_instance(obj, types().payload_descriptor) ? &owned<PayloadDescriptor>(obj) : nullptr;
}

Ref descriptor_field(const PayloadDescriptor& d, size_t i) {
  if (i < kDescriptorFields.size()) return new_str(d.*kDescriptorFields[i].owned);
  return d.preprocessing_ref ? new_str(*d.preprocessing_ref) : Ref::borrow(Py_None);
}

}  // namespace korvane::py
