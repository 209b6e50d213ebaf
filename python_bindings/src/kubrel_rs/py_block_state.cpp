// PyBlockState: the name and property pairs of a shared block state, and its text form.
#include "kubrel_rs/py_block_state.h"

#include <new>

#include "py_common/errors.h"
#include "py_common/heap_type.h"

namespace kubrel::py {

namespace {

struct StateObject {
  PyObject ob_base;
  BlockStateRef state;
};

const BlockState& state_of(PyObject* self) {
  return *reinterpret_cast<StateObject*>(self)->state;
}

PyObject* name(PyObject* self, PyObject*) {
  return guard([&] { return to_str(state_of(self).name()); });
}

PyObject* properties(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    const auto& pairs = state_of(self).properties();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < pairs.size(); ++i) {
      PyRef key = PyRef::steal(to_str(pairs[i].first));
      if (!key) return nullptr;
      PyRef value = PyRef::steal(to_str(pairs[i].second));
      if (!value) return nullptr;
      PyObject* pair = PyTuple_Pack(2, key.get(), value.get());
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyObject* text(PyObject* self) {
  return guard([&] { return to_str(state_text(state_of(self))); });
}

void dealloc(PyObject* self) {
  reinterpret_cast<StateObject*>(self)->state.~BlockStateRef();
  free_instance(self);
}

PyMethodDef methods[] = {
    {"id", name, METH_NOARGS, "id($self)\n--\n\n"},
    {"name", name, METH_NOARGS, "name($self)\n--\n\n"},
    {"properties", properties, METH_NOARGS, "properties($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_str, reinterpret_cast<void*>(text)},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.PyBlockState",
    .basicsize = sizeof(StateObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

HeapType state_type(&spec);

}  // namespace

std::string state_text(const BlockState& state) {
  std::string text = state.name();
  text += '[';
  bool first = true;
  for (const auto& [key, value] : state.properties()) {
    if (!first) text += ", ";
    first = false;
    text += key;
    text += '=';
    text += value;
  }
  text += ']';
  return text;
}

PyObject* make_block_state(BlockStateRef state) {
  PyTypeObject* type = state_type.get();
  if (type == nullptr) return nullptr;
  StateObject* object = PyObject_New(StateObject, type);
  if (object == nullptr) return nullptr;
  new (&object->state) BlockStateRef(std::move(state));
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace kubrel::py
