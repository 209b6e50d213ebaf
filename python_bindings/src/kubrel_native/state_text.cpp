#include "kubrel_native/state_text.h"

#include <string>
#include <vector>

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

// The UTF-8 of a str, or false with an error set.
bool text_of(PyObject* object, std::string& out) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr) return false;
  out.assign(text, static_cast<size_t>(length));
  return true;
}

PyObject* join_state(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    PyObject* name_object = nullptr;
    PyObject* pairs_object = nullptr;
    if (!PyArg_ParseTuple(args, "UO:join_state", &name_object, &pairs_object)) return nullptr;
    std::string name;
    if (!text_of(name_object, name)) return nullptr;
    PyRef pairs = PyRef::steal(PySequence_Fast(
        pairs_object, "join_state() takes its pairs as a sequence of (key, value)"));
    if (!pairs) return nullptr;
    std::vector<Property> properties(static_cast<size_t>(PySequence_Fast_GET_SIZE(pairs.get())));
    for (size_t i = 0; i < properties.size(); ++i) {
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i)),
                            "UU;a pair is (key, value), both str", &key, &value) ||
          !text_of(key, properties[i].first) || !text_of(value, properties[i].second)) {
        return nullptr;
      }
    }
    return to_str(canonical_state_text(name, std::move(properties)));
  });
}

}  // namespace

PyMethodDef join_state_method = {
    "join_state", join_state, METH_VARARGS,
    "join_state(name, [(key, value), ...]) -> str: the canonical text of a state, its pairs "
    "sorted by key and each token quoted where the state-text syntax needs it; split_state reads "
    "it back."};

PyMethodDef split_state_method = {
    "split_state", split_state, METH_O,
    "split_state(text) -> (name, [(key, value), ...]): a state text read as every reader and "
    "writer reads it (quoted tokens unquoted, pairs in written order); KubrelError when it is not "
    "state text."};

}  // namespace kubrel::py
