// The few NumPy C API calls the bindings make, reached at call time through the "_ARRAY_API"
// capsule of NumPy's multiarray module, so that the module imports and works without NumPy until
// an array is asked for, and one build serves NumPy 1.x and 2.x alike.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "common/page_buffer.h"

namespace kubrel::py {

// A new writeable one-dimensional float64 array holding a copy of `values`; the array owns its
// buffer through its base object. Returns a new reference, or null with an error set ("Failed to
// access NumPy array API capsule" when NumPy cannot be reached).
PyObject* make_float64_array(std::span<const double> values);

// A new writeable C-contiguous array of unsigned integers of `item_size` bytes (1, 2 or 4, native
// byte order) and the given `shape`, over `bytes`, which it takes over without a copy: a capsule
// that owns them is the array's base. Returns a new reference, or null with an error set.
PyObject* make_unsigned_array(PageBuffer bytes, int item_size, std::span<const Py_ssize_t> shape);

}  // namespace kubrel::py
