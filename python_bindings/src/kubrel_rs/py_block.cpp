// PyBlock: a position and its state's owner, with the "Block at ... with state ..." text form. The
// owner is a capsule around a state handle and refers to no Python object, so blocks stay out of
// the cycle collector.
#include "kubrel_rs/py_block.h"

#include <new>

#include "formats/stream.h"
#include "kubrel_rs/py_block_position.h"
#include "kubrel_rs/py_block_state.h"
#include "py_common/errors.h"
#include "py_common/value_class.h"

namespace kubrel::py {

namespace {

constexpr const char* kOwnerName = "kubrel_rs.state_owner";

void free_owned_state(PyObject* owner) {
  delete static_cast<BlockStateRef*>(PyCapsule_GetPointer(owner, kOwnerName));
}

const BlockStateRef& owned_state(PyObject* owner) {
  return *static_cast<const BlockStateRef*>(PyCapsule_GetPointer(owner, kOwnerName));
}

// What a PyBlock holds: its position and a strong reference to its state's owner.
struct HeldBlock {
  BlockPosition position;
  PyObject* owner;

  HeldBlock(const BlockPosition& at, PyObject* state_owner)
      : position(at), owner(Py_NewRef(state_owner)) {}
  HeldBlock(const HeldBlock&) = delete;
  HeldBlock& operator=(const HeldBlock&) = delete;
  ~HeldBlock() { Py_DECREF(owner); }
};

using BlockClass = ValueClass<HeldBlock>;

#ifndef Py_GIL_DISABLED
// Memory of dropped blocks, kept for the next ones: bulks are usually dropped while the next are
// made, so this saves the allocator a round trip per block. Every allocation and dealloc runs
// with the interpreter lock held, which guards it; without that lock blocks are not kept.
constexpr size_t kMaxFreeBlocks = 4096;
PyObject* free_blocks[kMaxFreeBlocks];
size_t free_block_count = 0;
#endif

PyObject* position(const HeldBlock& block) {
  return make_block_position(block.position);
}
PyObject* state(const HeldBlock& block) {
  return make_block_state(owned_state(block.owner));
}
PyObject* text(const HeldBlock& block) {
  return to_str("Block at " + position_text(block.position) + " with state " +
                state_text(*owned_state(block.owner)));
}

// Recycles the object's memory when the free list has room.
void dealloc(PyObject* self) {
#ifndef Py_GIL_DISABLED
  if (free_block_count < kMaxFreeBlocks) {
    BlockClass::value(self).~HeldBlock();
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

// A new PyBlock at `position` referring to `owner`; a new reference.
PyObject* new_block(PyTypeObject* type, const BlockPosition& position, PyObject* owner) {
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
  new (&object->value) HeldBlock(position, owner);
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace

void StateOwners::clear() {
  for (PyObject* owner : owners_) Py_XDECREF(owner);
  owners_.clear();
}

PyObject* StateOwners::make(const SchematicInputStream& stream, uint32_t index) {
  if (index >= owners_.size()) owners_.resize(static_cast<size_t>(index) + 1, nullptr);
  // The handle is copied once per state; the capsule's destructor releases it.
  auto* handle = new BlockStateRef(stream.indexed_state(index));
  PyObject* owner = PyCapsule_New(handle, kOwnerName, free_owned_state);
  if (owner == nullptr) {
    delete handle;
    return nullptr;
  }
  owners_[index] = owner;
  return owner;
}

PyObject* make_block_list(const std::vector<IndexedBlock>& blocks, StateOwners& owners,
                          const SchematicInputStream& stream) {
  PyTypeObject* type = block_class.type();
  if (type == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(blocks.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < blocks.size(); ++i) {
    PyObject* owner = owners.get(stream, blocks[i].state);
    if (owner == nullptr) return nullptr;
    // A list left partly filled on failure is still safe to release: empty slots are null.
    PyObject* object = new_block(type, blocks[i].position, owner);
    if (object == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), object);
  }
  return list.release();
}

bool extend_block_list(PyObject* list, const std::vector<IndexedBlock>& blocks, StateOwners& owners,
                       const SchematicInputStream& stream) {
  PyTypeObject* type = block_class.type();
  if (type == nullptr) return false;
  for (const IndexedBlock& block : blocks) {
    PyObject* owner = owners.get(stream, block.state);
    if (owner == nullptr) return false;
    PyRef object = PyRef::steal(new_block(type, block.position, owner));
    if (!object || PyList_Append(list, object.get()) < 0) return false;
  }
  return true;
}

}  // namespace kubrel::py
