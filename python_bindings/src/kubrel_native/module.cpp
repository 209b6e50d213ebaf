// The kubrel._native extension module: load(), save(), save_pieces(), count_indices(),
// visible_faces(), split_state(), join_state(), build_info(), the world readers, KubrelError and
// MAX_DOCUMENT (load's default limit), over the core's volume loader, savers, palette counter,
// visible-face pass, state text reader and writer, and world room.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "io/inflater.h"
#include "kubrel_native/count.h"
#include "kubrel_native/faces.h"
#include "kubrel_native/load.h"
#include "kubrel_native/save.h"
#include "kubrel_native/state_text.h"
#include "kubrel_native/world.h"
#include "py_common/errors.h"
#include "py_common/module_def.h"
#include "py_common/pyref.h"
#include "volume/volume_loader.h"

namespace kubrel::py {

namespace {

PyObject* build_info(PyObject*, PyObject*) {
  return Py_BuildValue("{s:s}", "inflaters", inflater_names());
}

PyMethodDef build_info_method = {
    "build_info", build_info, METH_NOARGS,
    "build_info() -> dict: how the extension was built; 'inflaters' names the gzip libraries."};

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* method :
         {&load_method, &save_method, &save_pieces_method, &count_indices_method,
          &visible_faces_method, &split_state_method, &join_state_method, &build_info_method,
          &world_info_method, &world_dimensions_method, &world_region_files_method,
          &world_chunks_method, &world_load_box_method, &world_load_chunk_method,
          &world_surface_method, &count_region_method, &chunk_versions_method}) {
      PyRef function = PyRef::steal(PyCFunction_NewEx(method, module, module_name.get()));
      if (!function || PyModule_AddObjectRef(module, method->ml_name, function.get()) < 0) {
        return -1;
      }
    }
    PyRef max_document = PyRef::steal(PyLong_FromUnsignedLongLong(kDefaultMaxDocument));
    if (!max_document || PyModule_AddObjectRef(module, "MAX_DOCUMENT", max_document.get()) < 0) {
      return -1;
    }
    PyObject* error = kubrel_error_type();
    if (error == nullptr) return -1;
    return PyModule_AddObjectRef(module, "KubrelError", error);
  });
}

}  // namespace

}  // namespace kubrel::py

PyMODINIT_FUNC PyInit__native() {
  return kubrel::py::init_module(
      "kubrel._native",
      "The C++ core's array decoders and writers behind kubrel.load() and Volume.save().",
      kubrel::py::exec_module);
}
