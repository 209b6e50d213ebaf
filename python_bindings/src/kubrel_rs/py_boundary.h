// PyBoundary: a box handed to Python (or built there), read-only, convertible to a NumPy array.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "common/geometry.h"

namespace kubrel::py {

// A new PyBoundary holding a copy of `boundary`; returns a new reference, or null with an error
// set.
PyObject* make_boundary(const Boundary& boundary);

}  // namespace kubrel::py
