// The kubrel._native extension module: load(), save(), save_pieces() and KubrelError, over
// the core's volume loader and savers.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kubrel_native/load.h"
#include "kubrel_native/save.h"
#include "py_common/errors.h"
#include "py_common/pyref.h"

namespace kubrel::py {

namespace {

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* method : {&load_method, &save_method, &save_pieces_method}) {
      PyRef function = PyRef::steal(PyCFunction_NewEx(method, module, module_name.get()));
      if (!function || PyModule_AddObjectRef(module, method->ml_name, function.get()) < 0) {
        return -1;
      }
    }
    PyObject* error = kubrel_error_type();
    if (error == nullptr) return -1;
    return PyModule_AddObjectRef(module, "KubrelError", error);
  });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    // The exception class is shared by the whole process, so only one interpreter may use it.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "kubrel._native",
    .m_doc = "The C++ core's array decoders and writers behind kubrel.load() and Volume.save().",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace kubrel::py

PyMODINIT_FUNC PyInit__native() {
  return PyModuleDef_Init(&kubrel::py::module_def);
}
