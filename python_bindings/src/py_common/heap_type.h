// The bindings' classes are heap types created from a spec the first time they are needed and kept
// for the life of the process (the module has no per-module state). Creation may race on a
// free-threaded interpreter; the first type stored wins and the loser is dropped.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace kubrel::py {

class HeapType {
 public:
  explicit constexpr HeapType(PyType_Spec* spec) : spec_(spec) {}

  // The type, created on first use; a borrowed reference, or null with an error set.
  PyTypeObject* get() {
    PyTypeObject* type = type_.load(std::memory_order_acquire);
    return type != nullptr ? type : create();
  }

 private:
  PyTypeObject* create();

  PyType_Spec* spec_;
  std::atomic<PyTypeObject*> type_{nullptr};
};

inline PyTypeObject* HeapType::create() {
  PyObject* created = PyType_FromSpec(spec_);
  if (created == nullptr) return nullptr;
  PyTypeObject* expected = nullptr;
  if (type_.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(created),
                                    std::memory_order_acq_rel)) {
    return reinterpret_cast<PyTypeObject*>(created);
  }
  Py_DECREF(created);
  return expected;
}

// Ends the dealloc of an object of a heap type: frees its memory, then drops the reference that
// every instance holds on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace kubrel::py
