// PyBlock: one block handed to Python. Bulks of these are the product's hot path, so a block holds
// no state handle of its own: it holds a strong reference to its state's owner, one Python object
// per entry of its reader's state table, counted under the interpreter lock. A handle per block
// would cost two atomic operations over its life; the owner's reference counts cost neither.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "common/block_state.h"

namespace kubrel {
class SchematicInputStream;
}

namespace kubrel::py {

// The owners of one reader's states, by index, each made on first use. Touched only with the
// interpreter lock held; each owner outlives the table as long as blocks refer to it, so blocks
// stay valid after their reader is gone.
class StateOwners {
 public:
  StateOwners() = default;
  StateOwners(const StateOwners&) = delete;
  StateOwners& operator=(const StateOwners&) = delete;
  ~StateOwners() { clear(); }

  // The owner of `stream`'s state `index` (an index its read_indexed handed out), borrowed; null
  // with an error set when it cannot be made.
  PyObject* get(const SchematicInputStream& stream, uint32_t index) {
    if (index < owners_.size() && owners_[index] != nullptr) [[likely]]
      return owners_[index];
    return make(stream, index);
  }
  // Drops the table's references; blocks keep theirs.
  void clear();

 private:
  PyObject* make(const SchematicInputStream& stream, uint32_t index);

  std::vector<PyObject*> owners_;
};

// A new list of PyBlocks, one per element of `blocks` in order, their states from `stream`
// through `owners`. Returns a new reference, or null with an error set.
PyObject* make_block_list(const std::vector<IndexedBlock>& blocks, StateOwners& owners,
                          const SchematicInputStream& stream);

// Appends one new PyBlock per element of `blocks` to `list`, in order, as make_block_list makes
// them. Returns false with an error set on failure (blocks appended before it stay in the list).
bool extend_block_list(PyObject* list, const std::vector<IndexedBlock>& blocks, StateOwners& owners,
                       const SchematicInputStream& stream);

}  // namespace kubrel::py
