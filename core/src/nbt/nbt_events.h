// NBT as a pull stream of tag events in document order, for readers that react to a few known tags
// and skip the rest without ever holding the document.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_source.h"
#include "nbt/nbt.h"

namespace kubrel {

// One event. It lives in the parser and is overwritten by the next call, views included, so that
// an event costs no allocation; only the member that `kind` names is meaningful.
struct NbtEvent {
  // A tag's kind, End for the End tag that closes a compound, or ListEnd, which follows the last
  // element of a list (at once for an empty list). A Compound's members follow as events, then
  // its End; a List's elements follow as unnamed events, then a ListEnd.
  NbtKind kind = NbtKind::End;
  // The root tag and compound members are named; list elements and the two end events are not.
  bool named = false;
  std::string_view name;
  // Byte, Short, Int and Long, widened.
  int64_t integer = 0;
  // Float and Double, widened.
  double real = 0;
  // String.
  std::string_view text;
  // List.
  NbtListStart list;
  // ByteArray, IntArray and LongArray, when the parser keeps arrays; empty otherwise.
  NbtByteArray byte_array;
  NbtIntArray int_array;
  NbtLongArray long_array;
};

inline constexpr const char* kNbtEndOfInputMessage = "EOF";

struct NbtEventError {
  std::string message;
  // True only for the clean end of input where a type byte is due; the message is then "EOF".
  bool end_of_input = false;
};

// The parser's current event, valid until its next call, or the failure.
using NbtEventResult = std::expected<const NbtEvent*, NbtEventError>;

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
  // length: " + n, "invalid list length: " + n, "unexpected list of type 'end', which is not
  // supported", "unexpected end tag" (an End tag outside any compound). After a failure other
  // than end of input, every later call returns the same failure.
  [[nodiscard]] NbtEventResult next_event() {
    if (failure_) [[unlikely]]
      return take_failure();
    if (step()) [[likely]]
      return &event_;
    return take_failure();
  }

  // Compounds and lists open after the current event, one it opens included: 0 once a top-level
  // tag has ended, 1 for a member of the root compound that opens nothing.
  [[nodiscard]] size_t depth() const { return stack_.size(); }

  // For readers that recognise the exact bytes of common list elements and pass over them in one
  // step: when the next event would be an element of the open List and at least `n` bytes are
  // buffered, the next `n` bytes; else null. Reads nothing.
  [[nodiscard]] const uint8_t* peek_list_element(size_t n) const {
    if (failure_ || stack_.empty() || !stack_.back().is_list || stack_.back().remaining == 0) {
      return nullptr;
    }
    return source_->peek(n);
  }
  // Passes over one element of the open List: the first `n` bytes that peek_list_element gave,
  // which the caller found to be exactly one whole, well-formed element (the events it would have
  // produced are the caller's to account for).
  void skip_list_element(size_t n) {
    source_->consume(n);
    --stack_.back().remaining;
  }

 private:
  struct Frame {
    uint32_t remaining;  // elements still to come; unused for a compound
    NbtKind element_kind;
    bool is_list;
  };

  // Fills event_ with the next event; false with failure_ set.
  bool step();
  bool tag_payload(NbtKind kind);
  template <class T>
  bool number();
  template <class T>
  bool array(std::vector<T>& out);
  // Reads a modified UTF-8 text into `out`; false with failure_ set.
  bool text(std::string& out);
  bool failed(std::string message);
  bool source_failed(Error error) { return failed(std::move(error.message)); }
  // Returns failure_, forgetting it when it is the end of input (which a later call meets again).
  std::unexpected<NbtEventError> take_failure();

  std::unique_ptr<BufferedSource> source_;
  std::vector<Frame> stack_;
  std::optional<NbtEventError> failure_;
  NbtEvent event_;
  // The storage behind event_.name and event_.text.
  std::string name_;
  std::string text_;
  bool keep_arrays_;
};

}  // namespace kubrel
