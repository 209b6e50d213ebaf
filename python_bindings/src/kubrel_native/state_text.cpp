#include "kubrel_native/state_text.h"

#include "common/state_text.h"
#include "kubrel_native/load.h"
#include "py_common/errors.h"
#include "py_common/pyref.h"

namespace kubrel::py {

namespace {

// Returns a new reference to the 2-tuple (key, value), or null with an error set.
PyObject* pair_tuple(const Property& pair) {
  PyRef key = PyRef::steal(to_str(pair.first));
  if (!key) return nullptr;
  PyRef value = PyRef::steal(to_str(pair.second));
  if (!value) return nullptr;
  return PyTuple_Pack(2, key.get(), value.get());
}

PyObject* split_state(PyObject*, PyObject* arg) {
  return guard([&]() -> PyObject* {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(arg, &length);
    if (text == nullptr) return nullptr;
    auto state = parse_state_text({text, static_cast<size_t>(length)});
    if (!state) {
      PyObject* kind = kubrel_error_type();
      return kind == nullptr ? nullptr : raise_text(kind, state.error().message);
    }
    const auto& properties = state->properties();
    PyRef pairs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(properties.size())));
    if (!pairs) return nullptr;
    for (size_t i = 0; i < properties.size(); ++i) {
      PyObject* pair = pair_tuple(properties[i]);
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
    }
    PyRef name = PyRef::steal(to_str(state->name()));
    if (!name) return nullptr;
    return PyTuple_Pack(2, name.get(), pairs.get());
  });
}

}  // namespace

PyMethodDef split_state_method = {
    "split_state", split_state, METH_O,
    "split_state(text) -> (name, [(key, value), ...]): a state text read as every reader and "
    "writer reads it (quoted tokens unquoted, pairs in written order); KubrelError when it is not "
    "state text."};

}  // namespace kubrel::py
