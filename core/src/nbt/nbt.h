// What the NBT tree decoder and the NBT event parser share: the tag kinds, the array types, and the
// wire primitives (big-endian numbers, length-prefixed modified UTF-8 text, arrays that grow as
// their bytes arrive). The primitives pass the byte source's own messages through unchanged; each
// decoder words its failures itself.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/huge_pages.h"
#include "io/byte_source.h"

namespace kubrel {

// Tag kinds with their type ids on the wire, for both decoders. ListEnd is no tag: the event parser
// reports it after a list's last element (End being the tag that closes a compound).
enum class NbtKind : uint8_t {
  End = 0,
  Byte = 1,
  Short = 2,
  Int = 3,
  Long = 4,
  Float = 5,
  Double = 6,
  ByteArray = 7,
  String = 8,
  List = 9,
  Compound = 10,
  IntArray = 11,
  LongArray = 12,
  ListEnd = 13,
};

inline constexpr uint8_t kNbtMaxTypeId = 12;

// Payload bytes of a number kind (Byte to Double); 0 for every other kind.
constexpr size_t nbt_number_size(NbtKind kind) {
  constexpr uint8_t kSizes[] = {0, 1, 2, 4, 8, 4, 8};
  auto id = static_cast<size_t>(kind);
  return id < std::size(kSizes) ? kSizes[id] : 0;
}

// Bytes of one element of an array kind (ByteArray, IntArray, LongArray); 0 for every other kind.
constexpr size_t nbt_array_element_size(NbtKind kind) {
  switch (kind) {
    case NbtKind::ByteArray:
      return 1;
    case NbtKind::IntArray:
      return 4;
    case NbtKind::LongArray:
      return 8;
    default:
      return 0;
  }
}

// "End", "Byte", ..., "Compound", "IntArray", "LongArray", "ListEnd": the names messages use.
std::string_view nbt_kind_name(NbtKind kind);

// A List starts, as the streaming decoders report it: its element kind and its count (never
// negative).
struct NbtListStart {
  NbtKind element_kind = NbtKind::End;
  int32_t length = 0;
};

// Raw bytes of a ByteArray tag.
using NbtByteArray = std::vector<uint8_t>;
using NbtIntArray = std::vector<int32_t>;
using NbtLongArray = std::vector<int64_t>;

// Takes ownership of `source` as a BufferedSource: the same object when it already is one, else
// wrapped in a new buffer. The decoders read byte by byte, so they want the inlined byte path.
std::unique_ptr<BufferedSource> as_buffered_source(std::unique_ptr<ByteSource> source);

namespace nbt_wire {

// Arrays are read in chunks of this many bytes, so that a declared length costs memory only as
// its bytes actually arrive.
inline constexpr size_t kArrayChunkBytes = 256 * 1024;

template <class T>
T from_big_endian(T value) {
  if constexpr (std::endian::native == std::endian::little && sizeof(T) > 1) {
    using U = std::conditional_t<sizeof(T) == 2, uint16_t,
                                 std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
    return std::bit_cast<T>(std::byteswap(std::bit_cast<U>(value)));
  }
  return value;
}

// One big-endian number: int8_t to int64_t, float or double.
template <class T>
[[nodiscard]] Result<T> read_number(BufferedSource& source) {
  T value;
  KUBREL_TRY(source.read_exact(reinterpret_cast<uint8_t*>(&value), sizeof(T)));
  return from_big_endian(value);
}

// A text of an unsigned 16-bit byte length and modified UTF-8, into `out` (replacing its
// contents). Returns false when the text is not valid modified UTF-8; `out` then holds its
// rendering with replacement characters.
[[nodiscard]] Result<bool> read_text(BufferedSource& source, std::string& out);

// `length` big-endian elements into `out` (replacing its contents). Memory grows chunk by chunk as
// the bytes arrive, never ahead of them by more than one chunk; from a source that holds all its
// bytes already, the whole array is sized at once (no regrowth, no copies of what was read).
template <class T>
[[nodiscard]] Status read_array(BufferedSource& source, uint32_t length, std::vector<T>& out) {
  out.clear();
  constexpr size_t kChunk = kArrayChunkBytes / sizeof(T);
  if (std::optional<uint64_t> left = source.remaining();
      left && *left / sizeof(T) >= length && out.capacity() < length) {
    std::vector<T> sized;
    sized.reserve(length);
    advise_huge_pages(sized.data(), length * sizeof(T));
    out.swap(sized);
  }
  size_t done = 0;
  while (done < length) {
    size_t count = std::min<size_t>(length - done, kChunk);
    if (out.capacity() < done + count) {
      // Advised before the elements so far are copied over, so that the copy lands on huge pages.
      std::vector<T> grown;
      grown.reserve(std::max(out.capacity() * 2, done + count));
      advise_huge_pages(grown.data(), grown.capacity() * sizeof(T));
      grown.assign(out.begin(), out.end());
      out.swap(grown);
    }
    out.resize(done + count);
    KUBREL_TRY(source.read_exact(reinterpret_cast<uint8_t*>(out.data() + done), count * sizeof(T)));
    done += count;
  }
  if constexpr (sizeof(T) > 1) {
    for (T& value : out) value = from_big_endian(value);
  }
  return {};
}

}  // namespace nbt_wire

}  // namespace kubrel
