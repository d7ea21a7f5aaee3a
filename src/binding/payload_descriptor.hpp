// payload_descriptor.hpp - the PayloadDescriptor class.
#pragma once

#include "binding/python.hpp"
#include "store/descriptor.hpp"

namespace korvane::py {

/// Creates the process-wide PayloadDescriptor type on first call; returns a
/// borrowed reference to it (null with an exception set on failure).
PyObject* payload_descriptor_type();

/// The descriptor held by a PayloadDescriptor instance; null for any other object.
const PayloadDescriptor* payload_descriptor_of(PyObject* obj);

}  // namespace korvane::py
