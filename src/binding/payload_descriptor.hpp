// payload_descriptor.hpp - the PayloadDescriptor class.
#pragma once

#include "binding/pyref.hpp"
#include "store/descriptor.hpp"

namespace korvane::py {

/// The PayloadDescriptor type as PyType_FromSpec makes it (its instances own a PayloadDescriptor).
extern PyType_Spec payload_descriptor_spec;

/// The descriptor held by a PayloadDescriptor instance; null for any other object.
const PayloadDescriptor* payload_descriptor_of(PyObject* obj);

/// Field `i` of `d` as a new str, in the order of kDescriptorFields; the
/// last (i == 5) is the preprocessing_ref, or None.
Ref descriptor_field(const PayloadDescriptor& d, size_t i);

}  // namespace korvane::py
