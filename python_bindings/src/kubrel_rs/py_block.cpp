// PyBlock: a position and a shared state, with the "Block at ... with state ..." text form. Holds
// no Python objects, so it stays out of the cycle collector.
#include "kubrel_rs/py_block.h"

#include <new>

#include "py_common/errors.h"
#include "py_common/heap_type.h"
#include "kubrel_rs/py_block_position.h"
#include "kubrel_rs/py_block_state.h"

namespace kubrel::py {

namespace {

struct BlockObject {
  PyObject ob_base;
  BlockPosition position;
  BlockStateRef state;
};

BlockObject* block_of(PyObject* self) {
  return reinterpret_cast<BlockObject*>(self);
}

#ifndef Py_GIL_DISABLED
// Memory of dropped blocks, kept for the next ones: bulks are usually dropped while the next are
// made, so this saves the allocator a round trip per block. Every allocation and dealloc runs
// with the interpreter lock held, which guards it; without that lock blocks are not kept.
constexpr size_t kMaxFreeBlocks = 4096;
PyObject* free_blocks[kMaxFreeBlocks];
size_t free_block_count = 0;
#endif

PyObject* position(PyObject* self, PyObject*) {
  return guard([&] { return make_block_position(block_of(self)->position); });
}

PyObject* state(PyObject* self, PyObject*) {
  return guard([&] { return make_block_state(block_of(self)->state); });
}

PyObject* text(PyObject* self) {
  return guard([&] {
    const BlockObject* block = block_of(self);
    return to_str("Block at " + position_text(block->position) + " with state " +
                  state_text(*block->state));
  });
}

void dealloc(PyObject* self) {
  block_of(self)->state.~BlockStateRef();
#ifndef Py_GIL_DISABLED
  if (free_block_count < kMaxFreeBlocks) {
    PyTypeObject* type = Py_TYPE(self);
    free_blocks[free_block_count++] = self;
    Py_DECREF(type);
    return;
  }
#endif
  free_instance(self);
}

PyMethodDef methods[] = {
    {"position", position, METH_NOARGS, "position($self)\n--\n\n"},
    {"state", state, METH_NOARGS, "state($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_str, reinterpret_cast<void*>(text)},
    {Py_tp_repr, reinterpret_cast<void*>(text)},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.PyBlock",
    .basicsize = sizeof(BlockObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

HeapType block_type(&spec);

// A new PyBlock holding `block`'s position and state, moved out of it; a new reference.
PyObject* new_block(PyTypeObject* type, Block& block) {
  BlockObject* object;
#ifndef Py_GIL_DISABLED
  if (free_block_count > 0) {
    // Takes a reference to the type and sets the object's own count, as a new object's.
    object = reinterpret_cast<BlockObject*>(PyObject_Init(free_blocks[--free_block_count], type));
  } else {
    object = PyObject_New(BlockObject, type);
  }
#else
  object = PyObject_New(BlockObject, type);
#endif
  if (object == nullptr) return nullptr;
  new (&object->position) BlockPosition(block.position);
  new (&object->state) BlockStateRef(std::move(block.state));
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace

PyObject* make_block_list(std::vector<Block>&& blocks) {
  PyTypeObject* type = block_type.get();
  if (type == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < blocks.size(); ++i) {
    // A list left partly filled on failure is still safe to release: empty slots are null.
    PyObject* object = new_block(type, blocks[i]);
    if (object == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list.release();
}

bool extend_block_list(PyObject* list, std::vector<Block>& blocks) {
  PyTypeObject* type = block_type.get();
  if (type == nullptr) return false;
  for (Block& block : blocks) {
    PyRef object = PyRef::steal(new_block(type, block));
    if (!object || PyList_Append(list, object.get()) < 0) return false;
  }
  return true;
}

}  // namespace kubrel::py
