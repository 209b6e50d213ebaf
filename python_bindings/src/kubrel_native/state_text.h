// kubrel._native.split_state() and join_state(): the core's reading and writing of a state text,
// so that Python never cuts or quotes state text by rules of its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

extern PyMethodDef split_state_method;
extern PyMethodDef join_state_method;

}  // namespace kubrel::py
