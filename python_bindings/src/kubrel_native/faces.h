// kubrel._native.visible_faces(): the blocks of an index array with a face in the open and their
// face masks, found by the core without the interpreter's lock (what a 3D view draws).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

extern PyMethodDef visible_faces_method;

}  // namespace kubrel::py
