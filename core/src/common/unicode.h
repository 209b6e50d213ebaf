// Text helpers over UTF-8 shared by the block state grammar, difference strings and the readers:
// Unicode whitespace (the White_Space property) and strict UTF-8 validation. Bytes that are not
// valid UTF-8 are never taken for whitespace, so malformed text is kept as it is, never misread.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace kubrel {

// The byte length of the whitespace character that starts `text`, or 0 when `text` does not
// start with one.
size_t space_length(std::string_view text);

// `text` without whitespace at either end.
std::string_view trim_space(std::string_view text);

// `text` with every whitespace character removed wherever it stands.
std::string remove_space(std::string_view text);

// Succeeds when `bytes` is well-formed UTF-8. Otherwise fails with
// "invalid utf-8 sequence of N bytes from index I" (N bytes starting at I can begin no character)
// or "incomplete utf-8 byte sequence from index I" (the text ends inside a character).
[[nodiscard]] Status check_utf8(std::string_view bytes);

}  // namespace kubrel
