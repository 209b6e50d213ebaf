// The bindings' classes are heap types created from a spec the first time they are needed and kept
// for the life of the process (the module has no per-module state); an exception class is kept
// the same way. Creation may race on a free-threaded interpreter; the first object stored wins and
// the loser is dropped.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace kubrel::py {

// Stores `created` (a new reference, or null with an error set) in `slot` unless another thread
// stored an object there first, in which case `created` is dropped. Returns what `slot` holds then,
// borrowed, or null when creation failed.
inline PyObject* keep_first(std::atomic<PyObject*>& slot, PyObject* created) {
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) return created;
  Py_DECREF(created);
  return expected;
}

class HeapType {
 public:
  explicit constexpr HeapType(PyType_Spec* spec) : spec_(spec) {}

  // The type, created on first use; a borrowed reference, or null with an error set.
  PyTypeObject* get() {
    PyObject* type = type_.load(std::memory_order_acquire);
    if (type == nullptr) type = keep_first(type_, PyType_FromSpec(spec_));
    return reinterpret_cast<PyTypeObject*>(type);
  }

 private:
  PyType_Spec* spec_;
  std::atomic<PyObject*> type_{nullptr};
};

// Ends the dealloc of an object of a heap type: frees its memory, then drops the reference that
// every instance holds on its type.
inline void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

}  // namespace kubrel::py
