// The plain floor of handing blocks to Python: one object per block, made in C, of a block
// object's size and, like one, untracked by the cycle collector, with nothing else done. kept(n)
// keeps them in one list, as read_full() does; bulks(n, size) makes lists of `size` of them and
// drops each, as a loop over iter_bulks() that keeps nothing does. A module for the bench's own
// Python, built beside the core tool.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

#include "common/block_state.h"

namespace {

struct FloorObject {
  PyObject ob_base;
  alignas(kubrel::Block) unsigned char payload[sizeof(kubrel::Block)];
};

PyTypeObject* floor_type = nullptr;

void floor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);
  Py_DECREF(type);
}

PyType_Slot floor_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(floor_dealloc)}, {0, nullptr}};
PyType_Spec floor_spec = {.name = "kubrel_object_floor.Object",
                          .basicsize = sizeof(FloorObject),
                          .itemsize = 0,
                          .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                          .slots = floor_slots};

// A new list of `count` new objects; a new reference, or null with an error set.
PyObject* make_list(Py_ssize_t count) {
  PyObject* list = PyList_New(count);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    FloorObject* object = PyObject_New(FloorObject, floor_type);
    if (object == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    // A block object's payload is written when it is made.
    std::memset(object->payload, 0, sizeof object->payload);
    PyList_SET_ITEM(list, i, reinterpret_cast<PyObject*>(object));
  }
  return list;
}

PyObject* kept(PyObject*, PyObject* arg) {
  Py_ssize_t count = PyLong_AsSsize_t(arg);
  if (count < 0) return PyErr_Occurred() ? nullptr : PyList_New(0);
  return make_list(count);
}

PyObject* bulks(PyObject*, PyObject* args) {
  Py_ssize_t count = 0;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(args, "nn:bulks", &count, &size) || size <= 0) return nullptr;
  for (Py_ssize_t left = count; left > 0; left -= size) {
    PyObject* list = make_list(left < size ? left : size);
    if (list == nullptr) return nullptr;
    Py_DECREF(list);
  }
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"kept", kept, METH_O, "kept(n): a list of n new objects"},
    {"bulks", bulks, METH_VARARGS, "bulks(n, size): n new objects in lists of size, dropped"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {.m_base = PyModuleDef_HEAD_INIT,
                      .m_name = "kubrel_object_floor",
                      .m_doc = nullptr,
                      .m_size = -1,
                      .m_methods = methods};

}  // namespace

PyMODINIT_FUNC PyInit_kubrel_object_floor() {
  floor_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&floor_spec));
  if (floor_type == nullptr) return nullptr;
  return PyModule_Create(&module);
}
