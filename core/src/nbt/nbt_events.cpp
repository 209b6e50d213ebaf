// The NBT event parser: one tag per call, with an explicit stack of open compounds and lists.
#include "nbt/nbt_events.h"

namespace kubrel {

namespace {

std::unexpected<NbtEventError> failure(std::string message) {
  return std::unexpected(NbtEventError{std::move(message), false});
}

std::unexpected<NbtEventError> source_failure(Error error) {
  return failure(std::move(error.message));
}

}  // namespace

NbtEventParser::NbtEventParser(std::unique_ptr<ByteSource> source, bool keep_arrays)
    : source_(as_buffered_source(std::move(source))), keep_arrays_(keep_arrays) {}

NbtEventResult NbtEventParser::next_event() {
  if (failure_) return std::unexpected(*failure_);
  NbtEventResult result = step();
  if (!result && !result.error().end_of_input) failure_ = result.error();
  return result;
}

NbtEventResult NbtEventParser::step() {
  if (!stack_.empty() && stack_.back().is_list) {
    Frame& list = stack_.back();
    if (list.remaining == 0) {
      stack_.pop_back();
      return NbtEvent{std::nullopt, NbtListEnd{}};
    }
    --list.remaining;
    return tag_payload(list.element_kind, std::nullopt);
  }
  // A type byte is due: the next top-level tag or the next member of the open compound.
  auto type = source_->next_byte();
  if (!type) return source_failure(std::move(type.error()));
  if (!*type) return std::unexpected(NbtEventError{kNbtEndOfInputMessage, true});
  uint8_t id = **type;
  if (id == static_cast<uint8_t>(NbtKind::End)) {
    if (stack_.empty()) return failure("unexpected end tag");
    stack_.pop_back();
    return NbtEvent{std::nullopt, NbtCompoundEnd{}};
  }
  if (id > kNbtMaxTypeId) return failure("invalid tag: " + std::to_string(id));
  std::string name;
  auto valid = nbt_wire::read_text(*source_, name);
  if (!valid) return source_failure(std::move(valid.error()));
  if (!*valid) return failure("invalid string, non-unicode: " + name);
  return tag_payload(static_cast<NbtKind>(id), std::move(name));
}

template <class T>
NbtEventResult NbtEventParser::number(std::optional<std::string> name) {
  auto value = nbt_wire::read_number<T>(*source_);
  if (!value) return source_failure(std::move(value.error()));
  return NbtEvent{std::move(name), *value};
}

template <class T>
NbtEventResult NbtEventParser::array(std::optional<std::string> name) {
  auto length = nbt_wire::read_number<int32_t>(*source_);
  if (!length) return source_failure(std::move(length.error()));
  if (*length < 0) return failure("invalid array length: " + std::to_string(*length));
  std::vector<T> values;
  if (!keep_arrays_) {
    auto skipped = source_->skip(uint64_t{static_cast<uint32_t>(*length)} * sizeof(T));
    if (!skipped) return source_failure(std::move(skipped.error()));
    return NbtEvent{std::move(name), std::move(values)};
  }
  auto read = nbt_wire::read_array(*source_, static_cast<uint32_t>(*length), values);
  if (!read) return source_failure(std::move(read.error()));
  return NbtEvent{std::move(name), std::move(values)};
}

NbtEventResult NbtEventParser::tag_payload(NbtKind kind, std::optional<std::string> name) {
  switch (kind) {
    case NbtKind::Byte:
      return number<int8_t>(std::move(name));
    case NbtKind::Short:
      return number<int16_t>(std::move(name));
    case NbtKind::Int:
      return number<int32_t>(std::move(name));
    case NbtKind::Long:
      return number<int64_t>(std::move(name));
    case NbtKind::Float:
      return number<float>(std::move(name));
    case NbtKind::Double:
      return number<double>(std::move(name));
    case NbtKind::ByteArray:
      return array<uint8_t>(std::move(name));
    case NbtKind::IntArray:
      return array<int32_t>(std::move(name));
    case NbtKind::LongArray:
      return array<int64_t>(std::move(name));
    case NbtKind::String: {
      std::string value;
      auto valid = nbt_wire::read_text(*source_, value);
      if (!valid) return source_failure(std::move(valid.error()));
      if (!*valid) return failure("invalid string, non-unicode: " + value);
      return NbtEvent{std::move(name), std::move(value)};
    }
    case NbtKind::List: {
      auto element_type = source_->read_u8();
      if (!element_type) return source_failure(std::move(element_type.error()));
      if (*element_type > kNbtMaxTypeId)
        return failure("invalid tag: " + std::to_string(*element_type));
      auto length = nbt_wire::read_number<int32_t>(*source_);
      if (!length) return source_failure(std::move(length.error()));
      auto element_kind = static_cast<NbtKind>(*element_type);
      // End elements have no payload, so such a list would yield events without reading input.
      if (element_kind == NbtKind::End && *length > 0)
        return failure("unexpected list of type 'end', which is not supported");
      uint32_t remaining = *length > 0 ? static_cast<uint32_t>(*length) : 0;
      stack_.push_back(Frame{remaining, element_kind, true});
      return NbtEvent{std::move(name), NbtListStart{element_kind, *length}};
    }
    case NbtKind::Compound:
      stack_.push_back(Frame{0, NbtKind::End, false});
      return NbtEvent{std::move(name), NbtCompoundStart{}};
    case NbtKind::End:
    case NbtKind::ListEnd:
      break;
  }
  return failure("invalid tag: " + std::to_string(static_cast<int>(kind)));
}

}  // namespace kubrel
