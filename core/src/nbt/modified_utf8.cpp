// Decoding of Java's modified UTF-8 into UTF-8, with a lenient rendering for messages.
#include "nbt/modified_utf8.h"

#include <optional>

namespace kubrel {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_continuation(uint8_t byte) {
  return (byte & 0xC0) == 0x80;
}

void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The UTF-16 unit of a well-formed three-byte sequence at the start of `rest`, or none when the
// sequence is incomplete or malformed. `valid_length` gets the length of its longest valid prefix
// (at least 1).
std::optional<char16_t> three_byte_unit(std::span<const uint8_t> rest, size_t& valid_length) {
  valid_length = 1;
  if (rest.size() < 2 || !is_continuation(rest[1])) return std::nullopt;
  valid_length = 2;
  if (rest.size() < 3 || !is_continuation(rest[2])) return std::nullopt;
  valid_length = 3;
  return static_cast<char16_t>(((rest[0] & 0x0F) << 12) | ((rest[1] & 0x3F) << 6) |
                               (rest[2] & 0x3F));
}

}  // namespace

bool decode_modified_utf8(std::span<const uint8_t> bytes, std::string& out) {
  bool valid = true;
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    uint8_t lead = bytes[i];
    if (lead < 0x80) {
      // Texts are mostly ASCII: a run of it is copied at once, not one byte per call.
      size_t run = i + 1;
      while (run < n && bytes[run] < 0x80) ++run;
      out.append(reinterpret_cast<const char*>(bytes.data() + i), run - i);
      i = run;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      if (i + 1 < n && is_continuation(bytes[i + 1])) {
        char32_t c = ((lead & 0x1F) << 6) | (bytes[i + 1] & 0x3F);
        // C0 80 is the only short form allowed: it is how NUL is written.
        bool ok = c >= 0x80 || c == 0;
        append_utf8(ok ? c : kReplacement, out);
        valid = valid && ok;
        i += 2;
      } else {
        append_utf8(kReplacement, out);
        valid = false;
        ++i;
      }
      continue;
    }
    if ((lead & 0xF0) == 0xE0) {
      size_t length = 0;
      std::optional<char16_t> unit = three_byte_unit(bytes.subspan(i), length);
      if (!unit || *unit < 0x800 || (*unit >= 0xDC00 && *unit <= 0xDFFF)) {
        append_utf8(kReplacement, out);
        valid = false;
        i += length;
        continue;
      }
      if (*unit >= 0xD800 && *unit <= 0xDBFF) {
        size_t low_length = 0;
        std::optional<char16_t> low;
        if (i + 3 < n && (bytes[i + 3] & 0xF0) == 0xE0)
          low = three_byte_unit(bytes.subspan(i + 3), low_length);
        if (!low || *low < 0xDC00 || *low > 0xDFFF) {
          append_utf8(kReplacement, out);
          valid = false;
          i += 3;
          continue;
        }
        append_utf8(0x10000 + ((char32_t{*unit} - 0xD800) << 10) + (*low - 0xDC00), out);
        i += 6;
        continue;
      }
      append_utf8(*unit, out);
      i += 3;
      continue;
    }
    // A continuation byte without a lead, or a lead of a four-byte (or longer) form.
    append_utf8(kReplacement, out);
    valid = false;
    ++i;
  }
  return valid;
}

}  // namespace kubrel
