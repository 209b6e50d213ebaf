// PyBlockPosition: a block position handed to Python, read-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "common/geometry.h"

namespace kubrel::py {

// "(x, y, z)", the text form of a position wherever one is shown.
std::string position_text(const BlockPosition& position);

// A new PyBlockPosition; returns a new reference, or null with an error set.
PyObject* make_block_position(const BlockPosition& position);

}  // namespace kubrel::py
