// Byte sources over Python inputs. A file-like object's exceptions are turned into I/O error
// texts here, because the readers above only carry messages.
#include "py_common/pystream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "io/file_source.h"
#include "py_common/buffer_view.h"
#include "py_common/errors.h"
#include "py_common/interpreter_lock.h"

namespace kubrel::py {

namespace {

// "TypeName: str(exception)" for the exception just taken.
std::string describe(PyObject* exception) {
  std::string text;
  PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(exception)));
  Py_ssize_t length = 0;
  const char* utf8 = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &length) : nullptr;
  if (utf8 != nullptr) {
    text.append(utf8, static_cast<size_t>(length));
  } else {
    PyErr_Clear();
    text += "<unknown>";
  }
  text += ": ";
  PyRef message = PyRef::steal(PyObject_Str(exception));
  utf8 = message ? PyUnicode_AsUTF8AndSize(message.get(), &length) : nullptr;
  if (utf8 != nullptr) {
    text.append(utf8, static_cast<size_t>(length));
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

// Raises the OSError subclass that the interpreter picks for `error_number`, with the message
// "<system text> (os error N)" and errno set.
void raise_os_error(int error_number) {
  // OSError(errno, text) picks the subclass (FileNotFoundError, PermissionError, ...); the raised
  // exception is then built from that class with the message alone so that str() is exactly it.
  PyRef probe = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", error_number, ""));
  if (!probe) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  PyRef text = PyRef::steal(to_str(os_error_message(error_number)));
  if (!text) return;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) return;
  PyRef number = PyRef::steal(PyLong_FromLong(error_number));
  if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) {
    return;
  }
  PyErr_SetObject(type, exception.get());
}

// Only a web address is one: a file whose name merely begins with these letters is a file.
bool is_url(std::string_view path) {
  return path.starts_with("http://") || path.starts_with("https://");
}

}  // namespace

PyStreamAdapter::PyStreamAdapter(PyRef object, std::shared_ptr<PySourceLink> link)
    : object_(std::move(object)), link_(std::move(link)) {
  link_->object = object_.get();
}

PyStreamAdapter::~PyStreamAdapter() {
  AttachedThread attached;
  link_->object = nullptr;
  object_ = PyRef();
  // The link may hold the last reference to an exception.
  link_.reset();
}

// The error of a read() whose exception was just raised: "TypeName: message". An exception that
// is not an Exception is kept for the owner to raise, and ends this adapter's reads.
Result<size_t> PyStreamAdapter::failed_read() {
  PyRef exception = take_exception();
  if (!exception) return fail("Failed to call read");
  std::string text = describe(exception.get());
  if (!PyErr_GivenExceptionMatches(exception.get(), PyExc_Exception)) {
    interruption_ = text;
    link_->interrupt = std::move(exception);
  }
  return fail(std::move(text));
}

Result<size_t> PyStreamAdapter::read(uint8_t* dst, size_t n) {
  if (interruption_) return fail(*interruption_);
  AttachedThread attached;
  PyRef count = PyRef::steal(PyLong_FromSize_t(n));
  PyRef result;
  if (count) {
    static PyObject* read_name = PyUnicode_InternFromString("read");
    if (read_name != nullptr) {
      result = PyRef::steal(PyObject_CallMethodOneArg(object_.get(), read_name, count.get()));
    }
  }
  if (!result) return failed_read();
  // Any bytes-like result (bytearray, memoryview, ...) is taken as the bytes it holds.
  BufferView view;
  if (!view.acquire(result.get())) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return failed_read();
    PyErr_Clear();
    return fail("Failed to extract bytes ");
  }
  size_t copied = std::min(n, view.bytes().size());
  if (copied > 0) std::memcpy(dst, view.bytes().data(), copied);
  return copied;
}

std::unique_ptr<ByteSource> reader_from(PyObject* input, std::shared_ptr<PySourceLink>& link) {
  if (PyUnicode_Check(input)) {
    // Through the file system's encoding, so that a name that is not UTF-8 (which the interpreter
    // hands out surrogate-escaped) opens the file it came from.
    PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(input));
    if (!encoded) return nullptr;
    std::string_view path(PyBytes_AS_STRING(encoded.get()),
                          static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (is_url(path)) {
      PyErr_SetString(PyExc_NotImplementedError, "HTTP not linked");
      return nullptr;
    }
    // A path with a NUL in it cannot name a file; opening its first part instead would be wrong.
    if (path.find('\0') != std::string_view::npos) {
      raise_os_error(EINVAL);
      return nullptr;
    }
    auto file = FileSource::open(std::string(path));
    if (!file) {
      raise_os_error(file.error());
      return nullptr;
    }
    return std::move(*file);
  }
  if (PyBytes_Check(input)) {
    const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(input));
    std::vector<uint8_t> copy(data, data + PyBytes_GET_SIZE(input));
    return std::make_unique<MemorySource>(std::move(copy));
  }
  PyRef read = PyRef::steal(PyObject_GetAttrString(input, "read"));
  if (read) {
    link = std::make_shared<PySourceLink>();
    return std::make_unique<PyStreamAdapter>(PyRef::borrow(input), link);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  PyErr_SetString(PyExc_TypeError, "Input must be a path, URL, bytes, or file-like object");
  return nullptr;
}

bool raise_interrupt(const std::shared_ptr<PySourceLink>& link) {
  if (!link || !link->interrupt) return false;
  restore_exception(std::move(link->interrupt));
  return true;
}

}  // namespace kubrel::py
