// PyBlockState: a shared block state handed to Python, read-only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "common/block_state.h"

namespace kubrel::py {

// "name[key=value, ...]", always with the brackets; pairs in stored order.
std::string state_text(const BlockState& state);

// A new PyBlockState sharing `state` (no copy); returns a new reference, or null with an error set.
PyObject* make_block_state(BlockStateRef state);

}  // namespace kubrel::py
