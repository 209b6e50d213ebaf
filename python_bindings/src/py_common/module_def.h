// The module definition every extension of ours uses: multi-phase initialisation with one
// execution step and no per-module state. The types and exception classes an extension adds are
// shared by the whole process, so only one interpreter may import it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kubrel::py {

// Returns what PyInit_<name> returns. Called once per extension: each extension is a library of
// its own, so these definitions are its own too.
inline PyObject* init_module(const char* name, const char* doc, int (*exec)(PyObject*)) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(exec)},
#ifdef Py_mod_multiple_interpreters
      {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
      {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
      {0, nullptr},
  };
  static PyModuleDef definition = {
      .m_base = PyModuleDef_HEAD_INIT,
      .m_name = name,
      .m_doc = doc,
      .m_size = 0,
      .m_methods = nullptr,
      .m_slots = slots,
      .m_traverse = nullptr,
      .m_clear = nullptr,
      .m_free = nullptr,
  };
  return PyModuleDef_Init(&definition);
}

}  // namespace kubrel::py
