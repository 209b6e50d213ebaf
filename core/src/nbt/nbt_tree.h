// NBT as an in-memory tree: the whole document decoded into one value, for readers that look
// things up by name in any order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "common/error.h"
#include "io/byte_source.h"
#include "nbt/nbt.h"

namespace kubrel {

class NbtValue;

// A List tag: elements all of `element_kind` (End for an empty list written without a kind).
struct NbtList {
  NbtKind element_kind = NbtKind::End;
  std::vector<NbtValue> elements;
};

// A Compound tag: members looked up by exact name. A name written twice keeps its last value.
// Iteration is in name order, not file order.
class NbtCompound {
 public:
  using Member = std::pair<std::string, NbtValue>;

  NbtCompound() = default;
  // Takes the members in file order.
  explicit NbtCompound(std::vector<Member> members);

  // The member named `name`, or nullptr.
  const NbtValue* find(std::string_view name) const;
  size_t size() const;
  bool empty() const;
  std::vector<Member>::const_iterator begin() const;
  std::vector<Member>::const_iterator end() const;

 private:
  std::vector<Member> members_;  // sorted by name, names unique
};

// One decoded tag payload. The variant's alternatives follow the type ids (Byte = 1 first), so
// kind() is the index plus one.
class NbtValue {
 public:
  using Storage = std::variant<int8_t, int16_t, int32_t, int64_t, float, double, NbtByteArray,
                               std::string, NbtList, NbtCompound, NbtIntArray, NbtLongArray>;

  template <class T>
    requires std::is_constructible_v<Storage, T&&> && (!std::is_same_v<std::decay_t<T>, NbtValue>)
  explicit NbtValue(T&& value) : value_(std::forward<T>(value)) {}

  NbtKind kind() const { return static_cast<NbtKind>(value_.index() + 1); }

  // The payload if it is of type T (int32_t for Int, NbtCompound for Compound, ...), else nullptr.
  template <class T>
  const T* as() const {
    return std::get_if<T>(&value_);
  }
  template <class T>
  T* as() {
    return std::get_if<T>(&value_);
  }

  const Storage& storage() const { return value_; }

 private:
  Storage value_;
};

inline size_t NbtCompound::size() const {
  return members_.size();
}
inline bool NbtCompound::empty() const {
  return members_.empty();
}
inline std::vector<NbtCompound::Member>::const_iterator NbtCompound::begin() const {
  return members_.begin();
}
inline std::vector<NbtCompound::Member>::const_iterator NbtCompound::end() const {
  return members_.end();
}

// Nesting of compounds and lists deeper than this fails the tree decoder, which recurses.
inline constexpr int kNbtMaxTreeDepth = 512;
// The most elements one List may declare.
inline constexpr uint64_t kNbtMaxListLength = 10000000;

// Which members of compounds a decoded tree keeps. Every other member is decoded and checked all
// the same, then dropped as it goes, so that a reader that needs a few tags does not hold the rest
// of the document (entities, block entities, or a whole document of another format).
struct NbtTreeFilter {
  struct Member {
    std::string_view name;
    // What to keep inside the member when it is a compound; null keeps all of it.
    const NbtTreeFilter* inner;
    // When not negative and the member is a ByteArray, its bytes go to the decoder's sink under
    // this number instead of into the tree, which keeps an empty ByteArray in its place.
    int sink_slot = -1;
  };
  std::span<const Member> members;
  // The most values the whole tree may keep (0: no limit; read from the filter given to
  // decode_nbt_tree), for readers that know how much of a document they can use. Each value costs
  // tens of bytes however few bytes it took in the file.
  uint64_t max_values = 0;
};

// Takes the bytes of the ByteArray members a filter hands to it, piece by piece as they arrive:
// a reader that consumes a large array in order need not hold it in one block of memory.
class NbtArraySink {
 public:
  virtual ~NbtArraySink() = default;
  // A member marked with `slot` starts; what came under that slot before is replaced (a name
  // written twice keeps its last value, as in the tree).
  virtual void begin(int slot) = 0;
  virtual void append(int slot, std::span<const uint8_t> bytes) = 0;
};

// Decodes one document from `source` and returns its root, always a Compound (its name is read
// and dropped). Bytes after the document stay unread in `source`, so the caller may go on to read
// the input to its end. Failures: "invalid nbt: no root compound", "invalid nbt tag value: " + id,
// "invalid nbt string: nonunicode: " + rendering, "nbt array too large" (negative array length),
// "unexpected list of type 'end', which is not supported", "size (" + n + ") greater than max
// sequence length (10000000)", "invalid nbt: nested deeper than 512 levels", and "io error: " +
// the source's message (its end of input included).
//
// Without `keep_list_elements`, every List comes out empty (its element kind kept): its elements
// are checked exactly as when decoding and then dropped, for callers that never look inside lists.
// With a `filter`, only the members it names are kept, at every level it reaches; the others are
// checked the same way. The failures are the same whatever is kept, but for "nbt tree keeps more
// than N values" once the filter's max_values is exceeded. Members the filter marks with a sink
// slot go to `sink` when it is given; without one they are kept in the tree.
[[nodiscard]] Result<NbtValue> decode_nbt_tree(BufferedSource& source,
                                               bool keep_list_elements = true,
                                               const NbtTreeFilter* filter = nullptr,
                                               NbtArraySink* sink = nullptr);

}  // namespace kubrel
