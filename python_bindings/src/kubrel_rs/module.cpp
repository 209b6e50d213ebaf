// The kubrel_rs extension module: multi-phase initialisation whose execution step adds open()
// and the KubrelReader class, each also listed in __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kubrel_rs/reader.h"
#include "py_common/errors.h"
#include "py_common/module_def.h"
#include "py_common/pyref.h"

namespace kubrel::py {

namespace {

// Appends `name` to the module's __all__ (created empty if missing), then sets the attribute.
int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = PyRef::steal(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ is not a list");
    return -1;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef open = PyRef::steal(PyCFunction_NewEx(&open_method, module, module_name.get()));
    if (!open || add_public(module, "open", open.get()) < 0) return -1;
    PyTypeObject* reader = reader_type();
    if (reader == nullptr) return -1;
    return add_public(module, "KubrelReader", reinterpret_cast<PyObject*>(reader));
  });
}

}  // namespace

}  // namespace kubrel::py

PyMODINIT_FUNC PyInit_kubrel_rs() {
  return kubrel::py::init_module("kubrel_rs", "", kubrel::py::exec_module);
}
