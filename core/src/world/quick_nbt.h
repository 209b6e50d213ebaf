// A walk of NBT in memory for the documents a reader meets most, kept to offsets and sizes: no
// results, events or texts are built for what it steps over, a list of numbers or an array is
// passed in one step, and every read checks the bytes left first. Anything out of the ordinary
// (a negative count, a list of End tags that claims elements, a type id past the last, nesting
// past kQuickNbtDepth) ends the walk with 0, for the caller to hand the document to the checked
// cursor (nbt_view.h), which says what is wrong or reads what is merely unusual.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace kubrel {

// Shallower than the checked cursor's bound, so that whatever this walk passes that one does too.
inline constexpr int kQuickNbtDepth = 64;
// What a visitor returns to give up the walk.
inline constexpr size_t kQuickGiveUp = SIZE_MAX;

class QuickNbt {
 public:
  explicit QuickNbt(std::span<const uint8_t> doc) : doc_(doc) {}

  bool has(size_t at, size_t n) const { return at <= doc_.size() && doc_.size() - at >= n; }
  const uint8_t* at(size_t offset) const { return doc_.data() + offset; }
  uint16_t u16(size_t offset) const {
    return static_cast<uint16_t>(doc_[offset] << 8 | doc_[offset + 1]);
  }
  uint32_t u32(size_t offset) const {
    uint32_t value;
    std::memcpy(&value, doc_.data() + offset, 4);
    return std::byteswap(value);
  }

  // The offset just past the payload of `kind` at `at`, 0 when the walk gives up.
  size_t skip(uint8_t kind, size_t at, int depth) const {
    static constexpr uint8_t kFixed[] = {0, 1, 2, 4, 8, 4, 8};
    if (kind >= 1 && kind <= 6) return has(at, kFixed[kind]) ? at + kFixed[kind] : 0;
    switch (kind) {
      case 7:
      case 11:
      case 12: {
        if (!has(at, 4) || (u32(at) >> 31)) return 0;
        const size_t bytes = size_t{u32(at)} * (kind == 7 ? 1 : kind == 11 ? 4 : 8);
        return has(at + 4, bytes) ? at + 4 + bytes : 0;
      }
      case 8:
        return has(at, 2) && has(at + 2, u16(at)) ? at + 2 + u16(at) : 0;
      case 9: {
        if (depth >= kQuickNbtDepth || !has(at, 5) || (u32(at + 1) >> 31)) return 0;
        const uint8_t element = *this->at(at);
        const uint32_t length = u32(at + 1);
        at += 5;
        if (length == 0) return element <= 12 ? at : 0;
        if (element == 0 || element > 12 || !has(at, length)) return 0;
        if (element <= 6) {
          static constexpr uint8_t kWidth[] = {0, 1, 2, 4, 8, 4, 8};
          const size_t bytes = size_t{length} * kWidth[element];
          return has(at, bytes) ? at + bytes : 0;
        }
        for (uint32_t i = 0; i < length && at; ++i) at = skip(element, at, depth + 1);
        return at;
      }
      case 10:
        if (depth >= kQuickNbtDepth) return 0;
        return entries(at, depth, [](uint8_t, std::string_view, size_t) -> size_t { return 0; });
      default:
        return 0;
    }
  }

  // Calls visit(kind, name, payload) for each entry of the compound whose payload is at `at`:
  // it returns the offset past the payload when it read it, 0 to have it skipped, or
  // kQuickGiveUp. Returns the offset past the compound's End tag, 0 when the walk gives up.
  template <class Visit>
  size_t entries(size_t at, int depth, Visit&& visit) const {
    while (true) {
      if (!has(at, 1)) return 0;
      const uint8_t kind = *this->at(at);
      if (kind == 0) return at + 1;
      if (kind > 12 || !has(at + 1, 2) || !has(at + 3, u16(at + 1))) return 0;
      const std::string_view name(reinterpret_cast<const char*>(this->at(at + 3)), u16(at + 1));
      const size_t payload = at + 3 + name.size();
      const size_t end = visit(kind, name, payload);
      if (end == kQuickGiveUp) return 0;
      at = end ? end : skip(kind, payload, depth + 1);
      if (!at) return 0;
    }
  }

  // The raw bytes of the String payload at `at` when they are ASCII (which modified UTF-8 leaves
  // as it is); false otherwise.
  bool ascii_text(size_t at, std::string_view& text) const {
    if (!has(at, 2) || !has(at + 2, u16(at))) return false;
    text = {reinterpret_cast<const char*>(this->at(at + 2)), u16(at)};
    for (char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
  }

 private:
  std::span<const uint8_t> doc_;
};

}  // namespace kubrel
