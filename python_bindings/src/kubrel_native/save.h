// kubrel._native.save() and save_pieces(): a volume given as its parts (the interface's dict keys)
// written by the core's savers, atomically, with the interpreter's lock released while they work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

extern PyMethodDef save_method;
extern PyMethodDef save_pieces_method;

}  // namespace kubrel::py
