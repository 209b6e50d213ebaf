// KubrelReader, the context-managed reader over one schematic stream, and open(), which builds
// the stream for an input and returns a reader over it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

// The KubrelReader class, created on first use; a borrowed reference, or null with an error set.
PyTypeObject* reader_type();

// The module function open(input).
extern PyMethodDef open_method;

}  // namespace kubrel::py
