// PyBlockState: the name and property pairs of a shared block state, and its text form.
#include "kubrel_rs/py_block_state.h"

#include "py_common/errors.h"
#include "py_common/value_class.h"

namespace kubrel::py {

namespace {

using StateClass = ValueClass<BlockStateRef>;

PyObject* name(const BlockStateRef& state) {
  return to_str(state->name());
}

PyObject* properties(const BlockStateRef& state) {
  const auto& pairs = state->properties();
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
}

PyMethodDef methods[] = {
    {"id", StateClass::method<name>, METH_NOARGS, "id($self)\n--\n\n"},
    {"name", StateClass::method<name>, METH_NOARGS, "name($self)\n--\n\n"},
    {"properties", StateClass::method<properties>, METH_NOARGS, "properties($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

StateClass state_class({
    .name = "builtins.PyBlockState",
    .methods = methods,
    .text = StateClass::text_slot<[](const BlockStateRef& state) {
      return to_str(state_text(*state));
    }>,
    .text_is_repr = false,
});

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
  return state_class.make(std::move(state));
}

}  // namespace kubrel::py
