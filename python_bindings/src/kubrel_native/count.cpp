#include "kubrel_native/count.h"

#include <cstdint>
#include <vector>

#include "py_common/buffer_view.h"
#include "py_common/errors.h"
#include "py_common/interpreter_lock.h"
#include "py_common/pyref.h"
#include "volume/palette_plan.h"

namespace kubrel::py {

namespace {

PyObject* count_indices(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    PyObject* blocks = nullptr;
    Py_ssize_t palette_size = 0;
    if (!PyArg_ParseTuple(args, "On:count_indices", &blocks, &palette_size)) return nullptr;
    if (palette_size < 0) {
      PyErr_SetString(PyExc_ValueError, "palette_size must not be negative");
      return nullptr;
    }
    BufferView array;
    if (!array.acquire(blocks, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
    const Py_buffer& view = array.view();
    if (!holds_unsigned_indices(view)) {
      PyErr_SetString(PyExc_TypeError, "blocks must be a contiguous uint8, uint16 or uint32 array");
      return nullptr;
    }
    // Indices outside the palette are left out, as a volume's palette names no state for them.
    PaletteUseCounter counter(static_cast<size_t>(palette_size));
    {
      ReleasedLock unlocked;
      const uint64_t cells = static_cast<uint64_t>(view.len / view.itemsize);
      if (view.itemsize == 1) counter.add(static_cast<const uint8_t*>(view.buf), cells);
      if (view.itemsize == 2) counter.add(static_cast<const uint16_t*>(view.buf), cells);
      if (view.itemsize == 4) counter.add(static_cast<const uint32_t*>(view.buf), cells);
    }
    std::vector<uint64_t> totals = counter.totals();
    PyRef counts = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(totals.size())));
    if (!counts) return nullptr;
    for (size_t index = 0; index < totals.size(); ++index) {
      PyObject* count = PyLong_FromUnsignedLongLong(totals[index]);
      if (count == nullptr) return nullptr;
      PyList_SET_ITEM(counts.get(), static_cast<Py_ssize_t>(index), count);
    }
    return counts.release();
  });
}

}  // namespace

PyMethodDef count_indices_method = {
    "count_indices", count_indices, METH_VARARGS,
    "count_indices(blocks, palette_size) -> list[int]: the positions holding each palette index."};

}  // namespace kubrel::py
