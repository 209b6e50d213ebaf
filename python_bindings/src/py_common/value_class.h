// The Python classes that wrap one C++ value (a position, a box, a state handle, a block): their
// object layout, access to the value, dealloc, slots, spec and construction, written once. Each
// class's own file keeps only its methods and text form.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <new>
#include <utility>

#include "py_common/errors.h"
#include "py_common/heap_type.h"

namespace kubrel::py {

template <class T>
class ValueClass {
 public:
  struct Object {
    PyObject ob_base;
    T value;
  };

  struct Options {
    // "builtins.Name".
    const char* name;
    PyMethodDef* methods;
    // str(), and repr() too when text_is_repr.
    reprfunc text;
    bool text_is_repr = true;
    const char* doc = nullptr;
    // When given, Python may construct the class; otherwise only make() does.
    newfunc construct = nullptr;
    // Replaces the default dealloc (destroy the value, free the object) for classes that recycle
    // their memory.
    destructor dealloc = nullptr;
  };

  explicit ValueClass(const Options& options)
      : spec_{.name = options.name,
              .basicsize = sizeof(Object),
              .itemsize = 0,
              // The flags are unsigned long in newer headers; every one fits the field's 32 bits.
              .flags = static_cast<unsigned int>(
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                  (options.construct ? 0u : Py_TPFLAGS_DISALLOW_INSTANTIATION)),
              .slots = slots_.data()},
        type_(&spec_) {
    size_t n = 0;
    auto add = [&](int slot, void* function) {
      if (function != nullptr) slots_[n++] = {slot, function};
    };
    add(Py_tp_doc, const_cast<char*>(options.doc));
    add(Py_tp_new, reinterpret_cast<void*>(options.construct));
    add(Py_tp_dealloc, reinterpret_cast<void*>(options.dealloc ? options.dealloc : &dealloc));
    add(Py_tp_methods, options.methods);
    add(Py_tp_str, reinterpret_cast<void*>(options.text));
    if (options.text_is_repr) add(Py_tp_repr, reinterpret_cast<void*>(options.text));
  }
  ValueClass(const ValueClass&) = delete;
  ValueClass& operator=(const ValueClass&) = delete;

  static T& value(PyObject* self) { return reinterpret_cast<Object*>(self)->value; }

  // Destroys the value and frees the object.
  static void dealloc(PyObject* self) {
    value(self).~T();
    free_instance(self);
  }

  // A METH_NOARGS method, or a str/repr slot, that returns get(value) (a new reference),
  // under the error guard: one line per accessor.
  template <auto get>
  static PyObject* method(PyObject* self, PyObject*) {
    return guard([&] { return get(value(self)); });
  }
  template <auto get>
  static PyObject* text_slot(PyObject* self) {
    return guard([&] { return get(value(self)); });
  }

  // The type, created on first use; a borrowed reference, or null with an error set.
  PyTypeObject* type() { return type_.get(); }

  // A new object holding T(args...); a new reference, or null with an error set.
  template <class... Args>
  PyObject* make(Args&&... args) {
    PyTypeObject* type = type_.get();
    if (type == nullptr) return nullptr;
    Object* object = PyObject_New(Object, type);
    if (object == nullptr) return nullptr;
    new (&object->value) T(std::forward<Args>(args)...);
    return reinterpret_cast<PyObject*>(object);
  }

 private:
  // At most six slots and the terminator, which stays zero.
  std::array<PyType_Slot, 7> slots_{};
  PyType_Spec spec_;
  HeapType type_;
};

}  // namespace kubrel::py
