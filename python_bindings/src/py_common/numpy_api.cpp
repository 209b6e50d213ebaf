// NumPy access without NumPy's headers: the table slots below are part of NumPy's stable C ABI and
// hold the same functions in NumPy 1.x and 2.x.
#include "py_common/numpy_api.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "py_common/errors.h"
#include "py_common/pyref.h"

namespace kubrel::py {

namespace {

constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kSetBaseObjectSlot = 282;
constexpr int kFloat64TypeNumber = 12;  // NPY_DOUBLE
constexpr int kUint8TypeNumber = 2;     // NPY_UBYTE
constexpr int kUint16TypeNumber = 4;    // NPY_USHORT
constexpr int kUint32TypeNumber = 6;    // NPY_UINT
constexpr int kWriteableFlag = 0x0400;  // NPY_ARRAY_WRITEABLE

using DescrFromType = PyObject* (*)(int);
// Steals the descriptor.
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                   const Py_ssize_t*, void*, int, PyObject*);
// Steals the base object, also on failure.
using SetBaseObject = int (*)(PyObject*, PyObject*);

constexpr const char* kBufferName = "kubrel_rs.float64_buffer";
constexpr const char* kByteBufferName = "kubrel.byte_buffer";

std::atomic<void**> cached_api{nullptr};

void** load_api() {
  PyRef last_error;
  // NumPy 2 moved the module under numpy._core; numpy.core is only tried for NumPy 1.x.
  for (const char* module_name : {"numpy._core.multiarray", "numpy.core.multiarray"}) {
    PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
    PyRef capsule;
    if (module) capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    void* table = capsule ? PyCapsule_GetPointer(capsule.get(), nullptr) : nullptr;
    if (table != nullptr) {
      cached_api.store(static_cast<void**>(table), std::memory_order_release);
      return static_cast<void**>(table);
    }
    last_error = take_exception();
  }
  raise_text(PyExc_ImportError, "Failed to access NumPy array API capsule");
  PyRef raised = take_exception();
  if (raised && last_error) {
    PyException_SetCause(raised.get(), Py_NewRef(last_error.get()));
    PyException_SetContext(raised.get(), last_error.release());
  }
  if (raised) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
  return nullptr;
}

void** numpy_api() {
  void** api = cached_api.load(std::memory_order_acquire);
  return api != nullptr ? api : load_api();
}

void free_buffer(PyObject* capsule) {
  delete[] static_cast<double*>(PyCapsule_GetPointer(capsule, kBufferName));
}

void free_byte_buffer(PyObject* capsule) {
  delete static_cast<PageBuffer*>(PyCapsule_GetPointer(capsule, kByteBufferName));
}

// A new array of `type_number` over `data`, which `owner` (stolen, also on failure) keeps alive.
PyObject* array_over(void** api, int type_number, std::span<const Py_ssize_t> shape,
                     std::span<const Py_ssize_t> strides, void* data, PyRef owner) {
  auto descr_from_type = reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot]);
  auto new_from_descr = reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot]);
  auto set_base_object = reinterpret_cast<SetBaseObject>(api[kSetBaseObjectSlot]);
  auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
  PyObject* descr = descr_from_type(type_number);
  if (descr == nullptr) return nullptr;
  PyRef array =
      PyRef::steal(new_from_descr(array_type, descr, static_cast<int>(shape.size()), shape.data(),
                                  strides.data(), data, kWriteableFlag, nullptr));
  if (!array) return nullptr;
  if (set_base_object(array.get(), owner.release()) < 0) return nullptr;
  return array.release();
}

}  // namespace

PyObject* make_unsigned_array(PageBuffer bytes, int item_size, std::span<const Py_ssize_t> shape) {
  void** api = numpy_api();
  if (api == nullptr) return nullptr;
  int type_number = item_size == 1   ? kUint8TypeNumber
                    : item_size == 2 ? kUint16TypeNumber
                                     : kUint32TypeNumber;
  std::vector<Py_ssize_t> strides(shape.size());
  Py_ssize_t stride = item_size;
  for (size_t i = shape.size(); i-- > 0;) {
    strides[i] = stride;
    stride *= shape[i];
  }
  // An empty array still needs a buffer of its own, so that NumPy does not allocate one.
  if (!bytes.reserve(1)) return PyErr_NoMemory();
  auto owned = std::make_unique<PageBuffer>(std::move(bytes));
  PyRef owner = PyRef::steal(PyCapsule_New(owned.get(), kByteBufferName, free_byte_buffer));
  if (!owner) return nullptr;
  void* data = owned.release()->data();
  return array_over(api, type_number, shape, strides, data, std::move(owner));
}

PyObject* make_float64_array(std::span<const double> values) {
  void** api = numpy_api();
  if (api == nullptr) return nullptr;
  auto buffer = std::make_unique<double[]>(values.size());
  std::copy(values.begin(), values.end(), buffer.get());
  PyRef owner = PyRef::steal(PyCapsule_New(buffer.get(), kBufferName, free_buffer));
  if (!owner) return nullptr;
  double* data = buffer.release();
  const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(values.size())};
  const Py_ssize_t strides[1] = {static_cast<Py_ssize_t>(sizeof(double))};
  return array_over(api, kFloat64TypeNumber, shape, strides, data, std::move(owner));
}

}  // namespace kubrel::py
