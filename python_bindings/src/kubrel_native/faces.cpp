#include "kubrel_native/faces.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "mesh/visible_faces.h"
#include "py_common/buffer_view.h"
#include "py_common/errors.h"
#include "py_common/interpreter_lock.h"
#include "py_common/pyref.h"

namespace kubrel::py {

namespace {

// Returns a new reference: the vector's bytes as a bytes object.
template <class T>
PyObject* to_bytes(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* visible_faces(PyObject*, PyObject* args) {
  return guard([&]() -> PyObject* {
    PyObject* blocks = nullptr;
    PyObject* looks_object = nullptr;
    if (!PyArg_ParseTuple(args, "OO:visible_faces", &blocks, &looks_object)) return nullptr;
    BufferView looks;
    if (!looks.acquire(looks_object)) return nullptr;
    BufferView array;
    if (!array.acquire(blocks, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return nullptr;
    const Py_buffer& view = array.view();
    if (!holds_unsigned_indices(view) || view.ndim != 3) {
      PyErr_SetString(PyExc_TypeError,
                      "blocks must be a contiguous 3-dimensional uint8, uint16 or uint32 array");
      return nullptr;
    }
    // The array is indexed [y, z, x]; the core takes sizes as (x, y, z).
    const std::array<uint32_t, 3> size = {static_cast<uint32_t>(view.shape[2]),
                                          static_cast<uint32_t>(view.shape[0]),
                                          static_cast<uint32_t>(view.shape[1])};
    for (int axis = 0; axis < 3; ++axis) {
      if (view.shape[axis] > UINT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "blocks is too large for a view");
        return nullptr;
      }
    }
    const size_t cells = static_cast<size_t>(view.len / view.itemsize);
    Result<VisibleBlocks> found;
    {
      ReleasedLock unlocked;
      if (view.itemsize == 1)
        found = kubrel::visible_faces<uint8_t>({static_cast<const uint8_t*>(view.buf), cells}, size,
                                               looks.bytes());
      if (view.itemsize == 2)
        found = kubrel::visible_faces<uint16_t>({static_cast<const uint16_t*>(view.buf), cells},
                                                size, looks.bytes());
      if (view.itemsize == 4)
        found = kubrel::visible_faces<uint32_t>({static_cast<const uint32_t*>(view.buf), cells},
                                                size, looks.bytes());
    }
    if (!found) return raise_error(found.error());
    PyRef cells_out = PyRef::steal(to_bytes(found->cells));
    if (!cells_out) return nullptr;
    PyRef states_out = PyRef::steal(to_bytes(found->states));
    if (!states_out) return nullptr;
    PyRef masks_out = PyRef::steal(to_bytes(found->masks));
    if (!masks_out) return nullptr;
    return Py_BuildValue("(OOOK)", cells_out.get(), states_out.get(), masks_out.get(),
                         static_cast<unsigned long long>(found->faces));
  });
}

}  // namespace

PyMethodDef visible_faces_method = {
    "visible_faces", visible_faces, METH_VARARGS,
    "visible_faces(blocks, looks) -> (cells, states, masks, faces): the blocks with a face in the "
    "open, as bytes of uint32 cell numbers, uint32 palette indices and uint8 face masks (-x, +x, "
    "-y, +y, -z, +z), and how many faces they show. looks holds a byte per palette entry: 0 "
    "empty, 1 opaque cube, 2 partial, 3 and above a see-through kind."};

}  // namespace kubrel::py
