// Java's modified UTF-8, the text encoding of NBT names and strings: NUL is written as C0 80 and a
// character outside the Basic Multilingual Plane as the two three-byte encodings of its UTF-16
// surrogate pair. Decoding turns it into ordinary UTF-8.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kubrel {

// Appends the UTF-8 form of `bytes` to `out` and returns whether `bytes` was valid modified UTF-8.
// Invalid input is still rendered: each undecodable part becomes U+FFFD, so `out` can be shown in a
// message. Accepted beyond what Java writes: a raw 00 byte (as NUL). Refused: overlong forms other
// than C0 80, lone surrogates, four-byte sequences and stray continuation bytes.
bool decode_modified_utf8(std::span<const uint8_t> bytes, std::string& out);

}  // namespace kubrel
