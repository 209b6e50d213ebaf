// The few NumPy C API calls the bindings make, reached at call time through the "_ARRAY_API"
// capsule of NumPy's multiarray module, so that the module imports and works without NumPy until
// an array is asked for, and one build serves NumPy 1.x and 2.x alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace kubrel::py {

// A new writeable one-dimensional float64 array holding a copy of `values`; the array owns its
// buffer through its base object. Returns a new reference, or null with an error set ("Failed to
// access NumPy array API capsule" when NumPy cannot be reached).
PyObject* make_float64_array(std::span<const double> values);

}  // namespace kubrel::py
