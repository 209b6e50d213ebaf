// The byte sources behind open(): a file, an owned copy of a bytes object, or a Python file-like
// object read through its read(n) method.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "py_common/pyref.h"
#include "io/byte_source.h"

namespace kubrel::py {

// Reads a Python object through its `read` method. Attaches the calling thread to the
// interpreter for every call, so it may be used from a thread that does not hold the lock.
class PyStreamAdapter final : public ByteSource {
 public:
  explicit PyStreamAdapter(PyRef object) : object_(std::move(object)) {}
  ~PyStreamAdapter() override;

  // Calls object.read(n) and copies at most `n` bytes of its result. An exception raised by the
  // call becomes the error "TypeName: message" (and is cleared); a result that is not bytes is
  // the error "Failed to extract bytes ".
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  PyRef object_;
};

// The byte source for an input of open(): a path (str), the contents of a bytes object, or a
// file-like object (anything with a `read` attribute). Returns null with a Python error set:
// NotImplementedError for "http..." strings, the OSError family when a file cannot be opened,
// TypeError for any other input.
std::unique_ptr<ByteSource> reader_from(PyObject* input);

}  // namespace kubrel::py
