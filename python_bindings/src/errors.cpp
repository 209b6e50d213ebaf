// Error conversion between the core, the operating system and the interpreter.
#include "errors.h"

#include <cstring>

namespace kubrel::py {

namespace {

// strerror_r comes in a GNU flavour (returns the text) and a POSIX one (fills the buffer).
[[maybe_unused]] const char* strerror_text(char* result, const char*) {
  return result;
}
[[maybe_unused]] const char* strerror_text(int, const char* buffer) {
  return buffer;
}

std::string system_error_text(int error_number) {
  char buffer[256] = {};
  return strerror_text(strerror_r(error_number, buffer, sizeof buffer), buffer);
}

}  // namespace

PyObject* raise_text(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(to_str(message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise_error(const Error& error) {
  return raise_text(PyExc_RuntimeError, error.message);
}

PyObject* raise_os_error(int error_number) {
  // OSError(errno, text) picks the subclass (FileNotFoundError, PermissionError, ...); the raised
  // exception is then built from that class with the message alone so that str() is exactly it.
  PyRef probe = PyRef::steal(PyObject_CallFunction(PyExc_OSError, "is", error_number, ""));
  if (!probe) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  std::string message =
      system_error_text(error_number) + " (os error " + std::to_string(error_number) + ")";
  PyRef text = PyRef::steal(to_str(message));
  if (!text) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!exception) return nullptr;
  PyRef number = PyRef::steal(PyLong_FromLong(error_number));
  if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) {
    return nullptr;
  }
  PyErr_SetObject(type, exception.get());
  return nullptr;
}

PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

void restore_exception(PyRef exception) {
  if (!exception) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())));
  PyObject* traceback = PyException_GetTraceback(exception.get());
  PyErr_Restore(type, exception.release(), traceback);
#endif
}

PyObject* to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    PyErr_SetString(PyExc_SystemError, exception.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

}  // namespace kubrel::py
