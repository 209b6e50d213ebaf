// Text helpers over UTF-8 shared by the block state grammar, difference strings and the readers:
// Unicode whitespace (the White_Space property), strict UTF-8 validation and splitting. Bytes that
// are not valid UTF-8 are never taken for whitespace, so malformed text is kept as it is, never
// misread.
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

// Calls `f(piece)`, which returns a Status, on every piece of `text` between `separator`s, empty
// pieces included (an empty `text` is one empty piece); stops at the first error.
template <class F>
[[nodiscard]] Status for_each_piece(std::string_view text, char separator, F f) {
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    KUBREL_TRY(f(text.substr(start, end == text.npos ? text.npos : end - start)));
    if (end == text.npos) return {};
    start = end + 1;
  }
}

}  // namespace kubrel
