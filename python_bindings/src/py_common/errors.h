// How failures cross into Python: core errors become RuntimeError with their message unchanged,
// and every entry point runs inside guard() so that no C++ exception reaches the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "common/error.h"
#include "py_common/pyref.h"

namespace kubrel::py {

// Raises RuntimeError carrying the core error's message unchanged; returns null for chaining.
PyObject* raise_error(const Error& error);
// Raises `type` with a UTF-8 message (embedded NULs are kept); returns null for chaining.
PyObject* raise_text(PyObject* type, std::string_view message);

// Takes the pending exception, leaving none; returns a new reference (null if none was pending).
PyRef take_exception();
// Makes `exception` (from take_exception) pending again; does nothing for an empty reference.
void restore_exception(PyRef exception);
// Decodes text that should be UTF-8 into a new str; bytes that are not valid UTF-8 are escaped
// instead of failing. Returns a new reference, or null with an error set.
PyObject* to_str(std::string_view text);

// Turns whatever a stray C++ exception is into a pending Python error.
void raise_current_exception() noexcept;

// Runs `body` and converts any escaping C++ exception (bad_alloc becomes MemoryError) into a
// Python error and the usual failure value: null for object results, -1 for int results.
template <class Body>
auto guard(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (...) {
    raise_current_exception();
  }
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else if constexpr (std::is_same_v<R, int>) {
    return -1;
  } else {
    static_assert(std::is_void_v<R>, "guard() supports pointer, int and void entry points");
  }
}

}  // namespace kubrel::py
