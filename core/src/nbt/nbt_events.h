// NBT as a pull stream of tag events in document order, for readers that react to a few known tags
// and skip the rest without ever holding the document.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "io/byte_source.h"
#include "nbt/nbt.h"

namespace kubrel {

// A List starts: its element kind and its count as written (a negative count means no elements).
struct NbtListStart {
  NbtKind element_kind = NbtKind::End;
  int32_t length = 0;
};
// A Compound starts; its members follow as events, then an NbtCompoundEnd.
struct NbtCompoundStart {};
// The End tag that closes a compound.
struct NbtCompoundEnd {};
// Follows the last element of a list (at once for an empty list).
struct NbtListEnd {};

struct NbtEvent {
  // The alternatives' indices are the kinds: End (a compound's End tag), the tags by type id, then
  // ListEnd.
  using Payload = std::variant<NbtCompoundEnd, int8_t, int16_t, int32_t, int64_t, float, double,
                               NbtByteArray, std::string, NbtListStart, NbtCompoundStart,
                               NbtIntArray, NbtLongArray, NbtListEnd>;

  // Present for the root tag and for compound members; absent for list elements and for the two
  // end events.
  std::optional<std::string> name;
  Payload payload;

  NbtKind kind() const { return static_cast<NbtKind>(payload.index()); }
  // The payload if it is of type T (int32_t for an Int, NbtListStart for a List, ...), else
  // nullptr.
  template <class T>
  const T* as() const {
    return std::get_if<T>(&payload);
  }
  template <class T>
  T* as() {
    return std::get_if<T>(&payload);
  }
};

inline constexpr const char* kNbtEndOfInputMessage = "EOF";

struct NbtEventError {
  std::string message;
  // True only for the clean end of input where a type byte is due; the message is then "EOF".
  bool end_of_input = false;
};

using NbtEventResult = std::expected<NbtEvent, NbtEventError>;

// Pulls tag events out of its own byte source, one per call, keeping only the stack of open
// compounds and lists (no recursion, so nesting depth costs heap, not stack).
class NbtEventParser {
 public:
  // Takes ownership of `source`; reads nothing yet. Without `keep_arrays`, ByteArray, IntArray
  // and LongArray events carry an empty array: their bytes are read and dropped, with the same
  // failures, for callers that never look at arrays.
  explicit NbtEventParser(std::unique_ptr<ByteSource> source, bool keep_arrays = true);

  // The next event in depth-first document order. It does not stop after the root tag: at the
  // end of a well-formed document it returns the end-of-input failure ("EOF"). Other failures:
  // the byte source's message alone (e.g. "failed to fill whole buffer" when input ends inside a
  // tag), "invalid tag: " + id, "invalid string, non-unicode: " + rendering, "invalid array
  // length: " + n, "unexpected list of type 'end', which is not supported", "unexpected end tag"
  // (an End tag outside any compound). After a failure other than end of input, every later call
  // returns the same failure.
  [[nodiscard]] NbtEventResult next_event();

 private:
  struct Frame {
    uint32_t remaining;  // elements still to come; unused for a compound
    NbtKind element_kind;
    bool is_list;
  };

  NbtEventResult step();
  NbtEventResult tag_payload(NbtKind kind, std::optional<std::string> name);
  template <class T>
  NbtEventResult number(std::optional<std::string> name);
  template <class T>
  NbtEventResult array(std::optional<std::string> name);

  std::unique_ptr<BufferedSource> source_;
  std::vector<Frame> stack_;
  std::optional<NbtEventError> failure_;
  bool keep_arrays_;
};

}  // namespace kubrel
