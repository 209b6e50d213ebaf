// kubrel._native.count_indices(): how many positions of an index array hold each palette entry,
// counted by the core without the interpreter's lock (a materials list of a large volume).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

extern PyMethodDef count_indices_method;

}  // namespace kubrel::py
