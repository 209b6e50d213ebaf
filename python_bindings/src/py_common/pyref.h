// An owning reference to a Python object, so that every reference the bindings hold is released
// exactly once on every path, errors included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kubrel::py {

class PyRef {
 public:
  PyRef() = default;
  PyRef(const PyRef& other) : object_(Py_XNewRef(other.object_)) {}
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference (the result of most API calls); null stays null.
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference of its own to a borrowed object.
  static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

  // Hands the reference to the caller (returns a new reference) and leaves this empty.
  [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace kubrel::py
