// Unicode whitespace, UTF-8 validation and splitting over UTF-8 text.
#include "common/text.h"

#include <cstdint>

namespace kubrel {

namespace {

uint8_t byte_at(std::string_view text, size_t i) {
  return static_cast<uint8_t>(text[i]);
}

// The valid range of the second byte after a lead byte; later bytes are always 80..BF.
struct LeadRule {
  int width;
  uint8_t low;
  uint8_t high;
};

LeadRule lead_rule(uint8_t lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

std::unexpected<Error> invalid_sequence(size_t length, size_t index) {
  return fail("invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
              std::to_string(index));
}

}  // namespace

size_t space_length(std::string_view text) {
  if (text.empty()) return 0;
  uint8_t b0 = byte_at(text, 0);
  if (b0 == 0x20 || (b0 >= 0x09 && b0 <= 0x0D)) return 1;
  if (b0 == 0xC2) {
    // U+0085 and U+00A0.
    return text.size() >= 2 && (byte_at(text, 1) == 0x85 || byte_at(text, 1) == 0xA0) ? 2 : 0;
  }
  if (text.size() < 3 || b0 < 0xE1 || b0 > 0xE3) return 0;
  uint8_t b1 = byte_at(text, 1);
  uint8_t b2 = byte_at(text, 2);
  switch (b0) {
    case 0xE1:  // U+1680
      return b1 == 0x9A && b2 == 0x80 ? 3 : 0;
    case 0xE2:  // U+2000..U+200A, U+2028, U+2029, U+202F, U+205F
      if (b1 == 0x80)
        return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
      return b1 == 0x81 && b2 == 0x9F ? 3 : 0;
    default:  // U+3000
      return b1 == 0x80 && b2 == 0x80 ? 3 : 0;
  }
}

// Stepping one byte over anything that is not whitespace is safe: the bytes inside a character
// (80..BF) never start a whitespace character.
std::string_view trim_space(std::string_view text) {
  size_t begin = 0;
  while (size_t n = space_length(text.substr(begin))) begin += n;
  size_t end = begin;
  for (size_t i = begin; i < text.size();) {
    if (size_t n = space_length(text.substr(i))) {
      i += n;
    } else {
      end = ++i;
    }
  }
  return text.substr(begin, end - begin);
}

std::string remove_space(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (size_t n = space_length(text.substr(i))) {
      i += n;
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

Status check_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    uint8_t lead = byte_at(bytes, i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    LeadRule rule = lead_rule(lead);
    if (rule.width == 0) return invalid_sequence(1, i);
    for (int k = 1; k < rule.width; ++k) {
      if (i + k >= bytes.size()) {
        return fail("incomplete utf-8 byte sequence from index " + std::to_string(i));
      }
      uint8_t b = byte_at(bytes, i + k);
      bool ok = k == 1 ? (b >= rule.low && b <= rule.high) : (b >= 0x80 && b <= 0xBF);
      if (!ok) return invalid_sequence(k, i);
    }
    i += rule.width;
  }
  return {};
}

}  // namespace kubrel
