// PyBoundary: the minimum corner and sizes of a box, the Python constructor with its argument
// checks, the text form and the six-element NumPy view.
#include "kubrel_rs/py_boundary.h"

#include <cstdint>
#include <optional>
#include <string>

#include "kubrel_rs/py_block_position.h"
#include "py_common/errors.h"
#include "py_common/numpy_api.h"
#include "py_common/value_class.h"

namespace kubrel::py {

namespace {

using BoundaryClass = ValueClass<Boundary>;

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

PyObject* size(const Boundary& boundary) {
  return Py_BuildValue("(kkk)", static_cast<unsigned long>(boundary.d_x),
                       static_cast<unsigned long>(boundary.d_y),
                       static_cast<unsigned long>(boundary.d_z));
}

// The accessors of one field each.
template <int axis>
PyObject* min_coordinate(const Boundary& b) {
  return PyLong_FromLong(b.min[axis]);
}
template <int axis>
PyObject* size_along(const Boundary& b) {
  return PyLong_FromUnsignedLong(b.size(axis));
}
PyObject* min_corner(const Boundary& b) {
  return make_block_position(b.min);
}
PyObject* max_corner(const Boundary& b) {
  return make_block_position(b.max());
}

PyObject* to_numpy(const Boundary& boundary) {
  const double values[6] = {
      static_cast<double>(boundary.min.x), static_cast<double>(boundary.min.y),
      static_cast<double>(boundary.min.z), static_cast<double>(boundary.d_x),
      static_cast<double>(boundary.d_y),   static_cast<double>(boundary.d_z),
  };
  return make_float64_array(values);
}

PyObject* text(const Boundary& boundary) {
  return to_str("Boundary(min=" + position_text(boundary.min) + ", size=(" +
                std::to_string(boundary.d_x) + ", " + std::to_string(boundary.d_y) + ", " +
                std::to_string(boundary.d_z) + "))");
}

PyMethodDef methods[] = {
    {"min", BoundaryClass::method<min_corner>, METH_NOARGS, "min($self)\n--\n\n"},
    {"max", BoundaryClass::method<max_corner>, METH_NOARGS, "max($self)\n--\n\n"},
    {"size", BoundaryClass::method<size>, METH_NOARGS, "size($self)\n--\n\n"},
    {"min_x", BoundaryClass::method<min_coordinate<0>>, METH_NOARGS, "min_x($self)\n--\n\n"},
    {"min_y", BoundaryClass::method<min_coordinate<1>>, METH_NOARGS, "min_y($self)\n--\n\n"},
    {"min_z", BoundaryClass::method<min_coordinate<2>>, METH_NOARGS, "min_z($self)\n--\n\n"},
    {"d_x", BoundaryClass::method<size_along<0>>, METH_NOARGS, "d_x($self)\n--\n\n"},
    {"d_y", BoundaryClass::method<size_along<1>>, METH_NOARGS, "d_y($self)\n--\n\n"},
    {"d_z", BoundaryClass::method<size_along<2>>, METH_NOARGS, "d_z($self)\n--\n\n"},
    {"to_numpy", BoundaryClass::method<to_numpy>, METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

BoundaryClass boundary_class({
    .name = "builtins.PyBoundary",
    .methods = methods,
    .text = BoundaryClass::text_slot<text>,
    .doc = "PyBoundary(min_x, min_y, min_z, d_x, d_y, d_z)\n--\n\n",
    .construct = construct,
});

}  // namespace

PyObject* make_boundary(const Boundary& boundary) {
  return boundary_class.make(boundary);
}

}  // namespace kubrel::py
