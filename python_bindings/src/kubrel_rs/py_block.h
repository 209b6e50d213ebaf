// PyBlock: one block handed to Python. Bulks of these are the product's hot path, so a block is
// moved into its object (the state handle changes owner without touching its count).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "common/block_state.h"

namespace kubrel::py {

// A new list of PyBlocks, one per element of `blocks` in order, each block moved into its object.
// Returns a new reference, or null with an error set.
PyObject* make_block_list(std::vector<Block>&& blocks);

// Appends one new PyBlock per element of `blocks` to `list`, in order, moving each block into its
// object; `blocks` is left with moved-from elements. Returns false with an error set on failure
// (blocks appended before it stay in the list).
bool extend_block_list(PyObject* list, std::vector<Block>& blocks);

}  // namespace kubrel::py
