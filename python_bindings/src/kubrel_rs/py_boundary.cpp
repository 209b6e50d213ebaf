// PyBoundary: the minimum corner and sizes of a box, the Python constructor with its argument
// checks, the text form and the six-element NumPy view.
#include "kubrel_rs/py_boundary.h"

#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "py_common/errors.h"
#include "py_common/heap_type.h"
#include "py_common/numpy_api.h"
#include "kubrel_rs/py_block_position.h"

namespace kubrel::py {

namespace {

struct BoundaryObject {
  PyObject ob_base;
  Boundary boundary;
};

const Boundary& boundary_of(PyObject* self) {
  return reinterpret_cast<BoundaryObject*>(self)->boundary;
}

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// The Python int `value` as an integer in [low, high]. TypeErrors name the argument; a value out
// of range raises OverflowError.
std::optional<int64_t> to_integer(PyObject* value, const char* name, int64_t low, int64_t high) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyRef cause = take_exception();
      PyRef cause_text = PyRef::steal(PyObject_Str(cause.get()));
      if (!cause_text) return std::nullopt;
      PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, cause_text.get());
    }
    return std::nullopt;
  }
  int overflow = 0;
  long long result = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (result == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0 || result < low || result > high) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return std::nullopt;
  }
  return result;
}

PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    static const char* keywords[] = {"min_x", "min_y", "min_z", "d_x", "d_y", "d_z", nullptr};
    PyObject* values[6] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOO:PyBoundary",
                                     const_cast<char**>(keywords), &values[0], &values[1],
                                     &values[2], &values[3], &values[4], &values[5])) {
      return nullptr;
    }
    int64_t converted[6] = {};
    for (int i = 0; i < 6; ++i) {
      bool is_size = i >= 3;
      auto value = to_integer(values[i], keywords[i], is_size ? 0 : INT32_MIN,
                              is_size ? UINT32_MAX : INT32_MAX);
      if (!value) return nullptr;
      converted[i] = *value;
    }
    Boundary boundary{
        .min = {static_cast<int32_t>(converted[0]), static_cast<int32_t>(converted[1]),
                static_cast<int32_t>(converted[2])},
        .d_x = static_cast<uint32_t>(converted[3]),
        .d_y = static_cast<uint32_t>(converted[4]),
        .d_z = static_cast<uint32_t>(converted[5]),
    };
    return make_boundary(boundary);
  });
}

PyObject* min(PyObject* self, PyObject*) {
  return guard([&] { return make_block_position(boundary_of(self).min); });
}
PyObject* max(PyObject* self, PyObject*) {
  return guard([&] { return make_block_position(boundary_of(self).max()); });
}

PyObject* size(PyObject* self, PyObject*) {
  return guard([&] {
    const Boundary& boundary = boundary_of(self);
    return Py_BuildValue("(kkk)", static_cast<unsigned long>(boundary.d_x),
                         static_cast<unsigned long>(boundary.d_y),
                         static_cast<unsigned long>(boundary.d_z));
  });
}

PyObject* min_x(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromLong(boundary_of(self).min.x); });
}
PyObject* min_y(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromLong(boundary_of(self).min.y); });
}
PyObject* min_z(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromLong(boundary_of(self).min.z); });
}
PyObject* d_x(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromUnsignedLong(boundary_of(self).d_x); });
}
PyObject* d_y(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromUnsignedLong(boundary_of(self).d_y); });
}
PyObject* d_z(PyObject* self, PyObject*) {
  return guard([&] { return PyLong_FromUnsignedLong(boundary_of(self).d_z); });
}

PyObject* to_numpy(PyObject* self, PyObject*) {
  return guard([&] {
    const Boundary& boundary = boundary_of(self);
    const double values[6] = {
        static_cast<double>(boundary.min.x), static_cast<double>(boundary.min.y),
        static_cast<double>(boundary.min.z), static_cast<double>(boundary.d_x),
        static_cast<double>(boundary.d_y),   static_cast<double>(boundary.d_z),
    };
    return make_float64_array(values);
  });
}

PyObject* text(PyObject* self) {
  return guard([&] {
    const Boundary& boundary = boundary_of(self);
    return to_str("Boundary(min=" + position_text(boundary.min) + ", size=(" +
                  std::to_string(boundary.d_x) + ", " + std::to_string(boundary.d_y) + ", " +
                  std::to_string(boundary.d_z) + "))");
  });
}

void dealloc(PyObject* self) {
  free_instance(self);
}

PyMethodDef methods[] = {
    {"min", min, METH_NOARGS, "min($self)\n--\n\n"},
    {"max", max, METH_NOARGS, "max($self)\n--\n\n"},
    {"size", size, METH_NOARGS, "size($self)\n--\n\n"},
    {"min_x", min_x, METH_NOARGS, "min_x($self)\n--\n\n"},
    {"min_y", min_y, METH_NOARGS, "min_y($self)\n--\n\n"},
    {"min_z", min_z, METH_NOARGS, "min_z($self)\n--\n\n"},
    {"d_x", d_x, METH_NOARGS, "d_x($self)\n--\n\n"},
    {"d_y", d_y, METH_NOARGS, "d_y($self)\n--\n\n"},
    {"d_z", d_z, METH_NOARGS, "d_z($self)\n--\n\n"},
    {"to_numpy", to_numpy, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("PyBoundary(min_x, min_y, min_z, d_x, d_y, d_z)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(construct)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_str, reinterpret_cast<void*>(text)},
    {Py_tp_repr, reinterpret_cast<void*>(text)},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "builtins.PyBoundary",
    .basicsize = sizeof(BoundaryObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = slots,
};

HeapType boundary_type(&spec);

}  // namespace

PyObject* make_boundary(const Boundary& boundary) {
  PyTypeObject* type = boundary_type.get();
  if (type == nullptr) return nullptr;
  BoundaryObject* object = PyObject_New(BoundaryObject, type);
  if (object == nullptr) return nullptr;
  new (&object->boundary) Boundary(boundary);
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace kubrel::py
