// PyBlockPosition: three signed coordinates with accessor methods and the "(x, y, z)" text form.
#include "kubrel_rs/py_block_position.h"

#include <new>

#include "py_common/errors.h"
#include "py_common/heap_type.h"

namespace kubrel::py {

namespace {

struct PositionObject {
  PyObject ob_base;
  BlockPosition position;
};

const BlockPosition& position_of(PyObject* self) {
  return reinterpret_cast<PositionObject*>(self)->position;
}

PyObject* x(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromLong(position_of(self).x); });
}
PyObject* y(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromLong(position_of(self).y); });
}
PyObject* z(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromLong(position_of(self).z); });
}

PyObject* text(PyObject* self) {
  return guard([&] { return to_str(position_text(position_of(self))); });
}

void dealloc(PyObject* self) {
  free_instance(self);
}

PyMethodDef methods[] = {
    {"x", x, METH_NOARGS, "x($self)\n--\n\n"},
    {"y", y, METH_NOARGS, "y($self)\n--\n\n"},
    {"z", z, METH_NOARGS, "z($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_str, reinterpret_cast<void*>(text)},
    {Py_tp_repr, reinterpret_cast<void*>(text)},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.PyBlockPosition",
    .basicsize = sizeof(PositionObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = slots,
};

HeapType position_type(&spec);

}  // namespace

std::string position_text(const BlockPosition& position) {
  return "(" + std::to_string(position.x) + ", " + std::to_string(position.y) + ", " +
         std::to_string(position.z) + ")";
}

PyObject* make_block_position(const BlockPosition& position) {
  PyTypeObject* type = position_type.get();
  if (type == nullptr) return nullptr;
  PositionObject* object = PyObject_New(PositionObject, type);
  if (object == nullptr) return nullptr;
  new (&object->position) BlockPosition(position);
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace kubrel::py
