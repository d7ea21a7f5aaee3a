// python.hpp - the one place the binding includes Python.h, against the
// stable ABI of CPython 3.10.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
