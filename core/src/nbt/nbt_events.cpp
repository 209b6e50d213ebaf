// The NBT event parser: one tag per call, with an explicit stack of open compounds and lists. An
// event is written into the parser's own, reused storage, so a structure of a million tags is
// parsed without an allocation per tag.
#include "nbt/nbt_events.h"

#include <cstring>

#include "nbt/nbt_numbers.h"

namespace kubrel {

NbtEventParser::NbtEventParser(std::unique_ptr<ByteSource> source, bool keep_arrays)
    : source_(as_buffered_source(std::move(source))), keep_arrays_(keep_arrays) {}

bool NbtEventParser::failed(std::string message) {
  failure_ = NbtEventError{std::move(message), false};
  return false;
}

std::unexpected<NbtEventError> NbtEventParser::take_failure() {
  if (!failure_->end_of_input) return std::unexpected(*failure_);
  std::unexpected<NbtEventError> end(std::move(*failure_));
  failure_.reset();
  return end;
}

// The hot paths below read from the bytes already buffered when there are enough of them, and
// fall back to the byte source's own reads otherwise.

namespace {

bool is_ascii(const uint8_t* bytes, size_t length) {
  uint8_t any = 0;
  for (size_t i = 0; i < length; ++i) any |= bytes[i];
  return any < 0x80;
}

}  // namespace

inline bool NbtEventParser::text(std::string& out) {
  // Names and most strings are short ASCII, read straight out of the buffer.
  if (const uint8_t* head = source_->peek(2)) [[likely]] {
    const size_t length = size_t{head[0]} << 8 | head[1];
    if (const uint8_t* all = source_->peek(2 + length)) [[likely]] {
      if (is_ascii(all + 2, length)) [[likely]] {
        out.assign(reinterpret_cast<const char*>(all + 2), length);
        source_->consume(2 + length);
        return true;
      }
    }
  }
  auto valid = nbt_wire::read_text(*source_, out);
  if (!valid) return source_failed(std::move(valid.error()));
  if (!*valid) return failed("invalid string, non-unicode: " + out);
  return true;
}

template <class T>
inline bool NbtEventParser::number() {
  T value_bytes;
  if (const uint8_t* bytes = source_->peek(sizeof(T))) [[likely]] {
    std::memcpy(&value_bytes, bytes, sizeof(T));
    source_->consume(sizeof(T));
  } else if (Status read = source_->read_exact(reinterpret_cast<uint8_t*>(&value_bytes), sizeof(T));
             !read) {
    return source_failed(std::move(read.error()));
  }
  const T value = nbt_wire::from_big_endian(value_bytes);
  if constexpr (std::is_floating_point_v<T>) {
    event_.real = value;
  } else {
    event_.integer = value;
  }
  return true;
}

template <class T>
bool NbtEventParser::array(std::vector<T>& out) {
  out.clear();
  auto length = nbt_wire::read_number<int32_t>(*source_);
  if (!length) return source_failed(std::move(length.error()));
  if (*length < 0) return failed("invalid array length: " + std::to_string(*length));
  if (!keep_arrays_) {
    auto skipped = source_->skip(uint64_t{static_cast<uint32_t>(*length)} * sizeof(T));
    if (!skipped) return source_failed(std::move(skipped.error()));
    return true;
  }
  auto read = nbt_wire::read_array(*source_, static_cast<uint32_t>(*length), out);
  if (!read) return source_failed(std::move(read.error()));
  return true;
}

inline bool NbtEventParser::tag_payload(NbtKind kind) {
  event_.kind = kind;
  if (auto read = read_number_kind(kind, [&]<class T>() { return number<T>(); })) return *read;
  switch (kind) {
    case NbtKind::ByteArray:
      return array(event_.byte_array);
    case NbtKind::IntArray:
      return array(event_.int_array);
    case NbtKind::LongArray:
      return array(event_.long_array);
    case NbtKind::String:
      if (!text(text_)) return false;
      event_.text = text_;
      return true;
    case NbtKind::List: {
      auto element_type = source_->read_u8();
      if (!element_type) return source_failed(std::move(element_type.error()));
      if (*element_type > kNbtMaxTypeId) {
        return failed("invalid tag: " + std::to_string(*element_type));
      }
      auto length = nbt_wire::read_number<int32_t>(*source_);
      if (!length) return source_failed(std::move(length.error()));
      auto element_kind = static_cast<NbtKind>(*element_type);
      // End elements have no payload, so such a list would yield events without reading input.
      if (element_kind == NbtKind::End && *length != 0) {
        return failed("unexpected list of type 'end', which is not supported");
      }
      // Refused, as the tree decoder refuses it: no count of elements is negative.
      if (*length < 0) return failed("invalid list length: " + std::to_string(*length));
      stack_.push_back(Frame{static_cast<uint32_t>(*length), element_kind, true});
      event_.list = NbtListStart{element_kind, *length};
      return true;
    }
    case NbtKind::Compound:
      stack_.push_back(Frame{0, NbtKind::End, false});
      return true;
    default:
      break;
  }
  return failed("invalid tag: " + std::to_string(static_cast<int>(kind)));
}

bool NbtEventParser::step() {
  if (!stack_.empty() && stack_.back().is_list) {
    Frame& list = stack_.back();
    event_.named = false;
    if (list.remaining == 0) {
      stack_.pop_back();
      event_.kind = NbtKind::ListEnd;
      return true;
    }
    --list.remaining;
    return tag_payload(list.element_kind);
  }
  // A type byte is due: the next top-level tag or the next member of the open compound.
  auto type = source_->next_byte();
  if (!type) return source_failed(std::move(type.error()));
  if (!*type) {
    failure_ = NbtEventError{kNbtEndOfInputMessage, true};
    return false;
  }
  uint8_t id = **type;
  if (id == static_cast<uint8_t>(NbtKind::End)) {
    if (stack_.empty()) return failed("unexpected end tag");
    stack_.pop_back();
    event_.kind = NbtKind::End;
    event_.named = false;
    return true;
  }
  if (id > kNbtMaxTypeId) return failed("invalid tag: " + std::to_string(id));
  // A name whose bytes and fixed-size payload are all buffered stays where it is: the event's name
  // is a view of the buffer, which reading the payload cannot refill.
  static constexpr int8_t kFixedPayload[kNbtMaxTypeId + 1] = {-1, 1,  2, 4, 8,  4, 8,
                                                              -1, -1, 5, 0, -1, -1};
  if (const uint8_t* head = source_->peek(2); head != nullptr && kFixedPayload[id] >= 0) {
    const size_t length = size_t{head[0]} << 8 | head[1];
    const uint8_t* all = source_->peek(2 + length + static_cast<size_t>(kFixedPayload[id]));
    if (all != nullptr && is_ascii(all + 2, length)) [[likely]] {
      source_->consume(2 + length);
      event_.named = true;
      event_.name = std::string_view(reinterpret_cast<const char*>(all + 2), length);
      return tag_payload(static_cast<NbtKind>(id));
    }
  }
  if (!text(name_)) return false;
  event_.named = true;
  event_.name = name_;
  return tag_payload(static_cast<NbtKind>(id));
}

}  // namespace kubrel
