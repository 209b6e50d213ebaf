// PyBlock: a position and a shared state, with the "Block at ... with state ..." text form. Holds
// no Python objects, so it stays out of the cycle collector.
#include "kubrel_rs/py_block.h"

#include <new>

#include "kubrel_rs/py_block_position.h"
#include "kubrel_rs/py_block_state.h"
#include "py_common/errors.h"
#include "py_common/value_class.h"

namespace kubrel::py {

namespace {

using BlockClass = ValueClass<Block>;

#ifndef Py_GIL_DISABLED
// Memory of dropped blocks, kept for the next ones: bulks are usually dropped while the next are
// made, so this saves the allocator a round trip per block. Every allocation and dealloc runs
// with the interpreter lock held, which guards it; without that lock blocks are not kept.
constexpr size_t kMaxFreeBlocks = 4096;
PyObject* free_blocks[kMaxFreeBlocks];
size_t free_block_count = 0;
#endif

PyObject* position(const Block& block) {
  return make_block_position(block.position);
}
PyObject* state(const Block& block) {
  return make_block_state(block.state);
}
PyObject* text(const Block& block) {
  return to_str("Block at " + position_text(block.position) + " with state " +
                state_text(*block.state));
}

// Recycles the object's memory when the free list has room.
void dealloc(PyObject* self) {
#ifndef Py_GIL_DISABLED
  if (free_block_count < kMaxFreeBlocks) {
    BlockClass::value(self).~Block();
    PyTypeObject* type = Py_TYPE(self);
    free_blocks[free_block_count++] = self;
    Py_DECREF(type);
    return;
  }
#endif
  BlockClass::dealloc(self);
}

PyMethodDef methods[] = {
    {"position", BlockClass::method<position>, METH_NOARGS, "position($self)\n--\n\n"},
    {"state", BlockClass::method<state>, METH_NOARGS, "state($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

BlockClass block_class({
    .name = "builtins.PyBlock",
    .methods = methods,
    .text = BlockClass::text_slot<text>,
    .dealloc = dealloc,
});

// A new PyBlock holding `block`'s position and state, moved out of it; a new reference.
PyObject* new_block(PyTypeObject* type, Block& block) {
  BlockClass::Object* object;
#ifndef Py_GIL_DISABLED
  if (free_block_count > 0) {
    // Takes a reference to the type and sets the object's own count, as a new object's.
    object =
        reinterpret_cast<BlockClass::Object*>(PyObject_Init(free_blocks[--free_block_count], type));
  } else {
    object = PyObject_New(BlockClass::Object, type);
  }
#else
  object = PyObject_New(BlockClass::Object, type);
#endif
  if (object == nullptr) return nullptr;
  new (&object->value) Block(std::move(block));
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace

PyObject* make_block_list(std::vector<Block>&& blocks) {
  PyTypeObject* type = block_class.type();
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
  PyTypeObject* type = block_class.type();
  if (type == nullptr) return false;
  for (Block& block : blocks) {
    PyRef object = PyRef::steal(new_block(type, block));
    if (!object || PyList_Append(list, object.get()) < 0) return false;
  }
  return true;
}

}  // namespace kubrel::py
