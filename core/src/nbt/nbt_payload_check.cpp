// The in-memory payload check: a recursive descent over a pointer that never passes the end.
#include "nbt/nbt_payload_check.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "nbt/modified_utf8.h"
#include "nbt/nbt_tree.h"

namespace kubrel {

namespace {

// Whether every byte is below 0x80, eight at a time.
bool ascii(std::span<const uint8_t> chars) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  size_t i = 0;
  for (; i + 8 <= chars.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, chars.data() + i, sizeof(word));
    if (word & kHighBits) return false;
  }
  return std::ranges::all_of(chars.subspan(i), [](uint8_t c) { return c < 0x80; });
}

class Checker {
 public:
  Checker(const uint8_t* at, const uint8_t* end) : at_(at), end_(end) {}

  const uint8_t* at() const { return at_; }

  bool take(uint64_t n) {
    if (n > static_cast<uint64_t>(end_ - at_)) return false;
    at_ += n;
    return true;
  }

  bool text() {
    if (end_ - at_ < 2) return false;
    const size_t length = size_t{at_[0]} << 8 | at_[1];
    if (length > static_cast<size_t>(end_ - at_) - 2) return false;
    const std::span<const uint8_t> chars(at_ + 2, length);
    at_ += 2 + length;
    // Mostly ASCII, which is modified UTF-8 as it stands; the decoder runs only on the rest.
    if (ascii(chars)) return true;
    std::string scratch;
    return decode_modified_utf8(chars, scratch);
  }

  bool payload(NbtKind kind, int depth) {
    if (size_t width = nbt_number_size(kind)) return take(width);
    switch (kind) {
      case NbtKind::ByteArray:
      case NbtKind::IntArray:
      case NbtKind::LongArray: {
        int32_t length = 0;
        if (!int32(length) || length < 0) return false;
        return take(uint64_t(uint32_t(length)) * nbt_array_element_size(kind));
      }
      case NbtKind::String:
        return text();
      case NbtKind::List:
      case NbtKind::Compound:
        break;
      default:
        return false;
    }
    if (depth >= kNbtMaxTreeDepth) return false;
    if (kind == NbtKind::List) {
      if (at_ == end_ || *at_ > kNbtMaxTypeId) return false;
      const auto element = static_cast<NbtKind>(*at_++);
      int32_t count = 0;
      if (!int32(count)) return false;
      if (element == NbtKind::End && count > 0) return false;
      if (count <= 0) return true;
      if (size_t width = nbt_number_size(element)) return take(uint64_t(count) * width);
      for (int32_t i = 0; i < count; ++i)
        if (!payload(element, depth + 1)) return false;
      return true;
    }
    while (true) {
      if (at_ == end_ || *at_ > kNbtMaxTypeId) return false;
      const auto member = static_cast<NbtKind>(*at_++);
      if (member == NbtKind::End) return true;
      if (!text() || !payload(member, depth + 1)) return false;
    }
  }

 private:
  bool int32(int32_t& value) {
    if (end_ - at_ < 4) return false;
    value = static_cast<int32_t>(uint32_t{at_[0]} << 24 | uint32_t{at_[1]} << 16 |
                                 uint32_t{at_[2]} << 8 | at_[3]);
    at_ += 4;
    return true;
  }

  const uint8_t* at_;
  const uint8_t* end_;
};

}  // namespace

std::optional<size_t> checked_payload_size(std::span<const uint8_t> bytes, NbtKind kind,
                                           int depth) {
  Checker checker(bytes.data(), bytes.data() + bytes.size());
  if (!checker.payload(kind, depth)) return std::nullopt;
  return static_cast<size_t>(checker.at() - bytes.data());
}

std::optional<size_t> checked_text_size(std::span<const uint8_t> bytes) {
  Checker checker(bytes.data(), bytes.data() + bytes.size());
  if (!checker.text()) return std::nullopt;
  return static_cast<size_t>(checker.at() - bytes.data());
}

}  // namespace kubrel
