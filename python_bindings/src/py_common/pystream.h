// The byte sources behind open(): a file, an owned copy of a bytes object, or a Python file-like
// object read through its read(n) method.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <optional>
#include <string>

#include "io/byte_source.h"
#include "py_common/pyref.h"

namespace kubrel::py {

// What the owner of a file-like input (a reader object) shares with the adapter that reads it,
// which lies deep inside the core's stream: the object, for the cycle collector, and the
// exception that must reach the caller unchanged instead of the stream's error.
struct PySourceLink {
  // The adapter's reference, borrowed; null once the adapter is gone.
  PyObject* object = nullptr;
  // An exception raised by read() that is not an Exception (KeyboardInterrupt, SystemExit, ...),
  // waiting to be raised by the owner; the stream only sees an error.
  PyRef interrupt;
};

// Reads a Python object through its `read` method. Attaches the calling thread to the
// interpreter for every call, so it may be used from a thread that does not hold the lock.
class PyStreamAdapter final : public ByteSource {
 public:
  PyStreamAdapter(PyRef object, std::shared_ptr<PySourceLink> link);
  ~PyStreamAdapter() override;

  // Calls object.read(n) and copies at most `n` bytes of its result, which may be any bytes-like
  // object. An Exception raised by the call becomes the error "TypeName: message" (and is
  // cleared); a result that is not bytes-like is the error "Failed to extract bytes ". Any other
  // exception is kept in the link, and this read and every later one fail with its "TypeName:
  // message" without calling read() again.
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  Result<size_t> failed_read();

  PyRef object_;
  std::shared_ptr<PySourceLink> link_;
  std::optional<std::string> interruption_;
};

// The byte source for an input of open(): a path (str, through the file system's encoding), the
// contents of a bytes object, or a file-like object (anything with a `read` attribute), whose
// adapter is then tied to a new `link`. Returns null with a Python error set:
// NotImplementedError for URLs ("http://..." and "https://..."), the
// OSError family when a file cannot be opened, TypeError for any other input.
std::unique_ptr<ByteSource> reader_from(PyObject* input, std::shared_ptr<PySourceLink>& link);

// Raises the interrupt that the file-like object raised, if any: a stream error then stands for
// it, and it must reach the caller unchanged. Returns whether it did.
bool raise_interrupt(const std::shared_ptr<PySourceLink>& link);

}  // namespace kubrel::py
