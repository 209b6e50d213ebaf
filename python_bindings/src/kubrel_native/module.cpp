// The kubrel._native extension module: load() and KubrelError, over the core's volume loader.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kubrel_native/load.h"
#include "py_common/errors.h"
#include "py_common/module_def.h"
#include "py_common/pyref.h"

namespace kubrel::py {

namespace {

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    PyRef load = PyRef::steal(PyCFunction_NewEx(&load_method, module, module_name.get()));
    if (!load || PyModule_AddObjectRef(module, "load", load.get()) < 0) return -1;
    PyObject* error = kubrel_error_type();
    if (error == nullptr) return -1;
    return PyModule_AddObjectRef(module, "KubrelError", error);
  });
}

}  // namespace

}  // namespace kubrel::py

PyMODINIT_FUNC PyInit__native() {
  return kubrel::py::init_module("kubrel._native", "The C++ core's array decoders for kubrel.load().", kubrel::py::exec_module);
}
