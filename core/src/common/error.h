// Errors are values: every fallible core operation returns std::expected<T, Error>, where Error
// carries one human-readable message and, when the system refused an operation, the system's error
// number, so that a caller can report it as the system's own error. No exception crosses the
// core's interface.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace kubrel {

struct Error {
  std::string message;
  // errno of the failed system call the message words, or 0 for an error of the data.
  int os_error = 0;

  bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// Success without a value.
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
  return std::unexpected<Error>(Error{std::move(message)});
}

}  // namespace kubrel

#define KUBREL_CONCAT_INNER(a, b) a##b
#define KUBREL_CONCAT(a, b) KUBREL_CONCAT_INNER(a, b)

// Evaluates `expr` (a Result or Status) and returns its error from the enclosing function.
#define KUBREL_TRY(expr)                                            \
  do {                                                              \
    auto&& kubrel_try_result = (expr);                              \
    if (!kubrel_try_result) [[unlikely]]                            \
      return std::unexpected(std::move(kubrel_try_result.error())); \
  } while (0)

// Declares or assigns `lhs` from the value of `expr`, or returns its error.
#define KUBREL_ASSIGN_OR_RETURN(lhs, expr) \
  KUBREL_ASSIGN_OR_RETURN_IMPL(KUBREL_CONCAT(kubrel_result_, __LINE__), lhs, expr)
#define KUBREL_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr) \
  auto tmp = (expr);                                 \
  if (!tmp) [[unlikely]]                             \
    return std::unexpected(std::move(tmp.error()));  \
  lhs = std::move(*tmp)
