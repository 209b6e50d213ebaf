// The NBT tree decoder: a recursive descent bounded in depth, refusing oversized lists.
#include "nbt/nbt_tree.h"

#include <algorithm>

#include "nbt/nbt_numbers.h"

namespace kubrel {

NbtCompound::NbtCompound(std::vector<Member> members) : members_(std::move(members)) {
  std::stable_sort(members_.begin(), members_.end(),
                   [](const Member& a, const Member& b) { return a.first < b.first; });
  // Keep the last of each run of equal names: a later member replaces an earlier one.
  auto out = members_.begin();
  for (auto it = members_.begin(); it != members_.end(); ++it) {
    auto next = it + 1;
    if (next != members_.end() && next->first == it->first) continue;
    if (out != it) *out = std::move(*it);
    ++out;
  }
  members_.erase(out, members_.end());
}

const NbtValue* NbtCompound::find(std::string_view name) const {
  auto it = std::lower_bound(
      members_.begin(), members_.end(), name,
      [](const Member& member, std::string_view key) { return member.first < key; });
  if (it == members_.end() || it->first != name) return nullptr;
  return &it->second;
}

namespace {

template <class T>
Result<T> io(Result<T> result) {
  if (!result) [[unlikely]]
    return fail("io error: " + result.error().message);
  return result;
}

Status io(Status status) {
  if (!status) [[unlikely]]
    return fail("io error: " + status.error().message);
  return status;
}

std::unexpected<Error> invalid_type(uint8_t id) {
  return fail("invalid nbt tag value: " + std::to_string(id));
}

// What to do with one payload: keep it (all of it, or the members a filter names) or drop it.
struct Keep {
  bool keep = true;
  const NbtTreeFilter* filter = nullptr;
  int sink_slot = -1;

  // What to do with the member `name` of a compound kept under this.
  Keep member(std::string_view name) const {
    if (filter == nullptr) return *this;
    for (const auto& m : filter->members) {
      if (m.name == name) return {true, m.inner, m.sink_slot};
    }
    return {false, nullptr, -1};
  }
};

class TreeDecoder {
 public:
  TreeDecoder(BufferedSource& source, bool keep_list_elements, const NbtTreeFilter* filter,
              NbtArraySink* sink)
      : source_(source), keep_list_elements_(keep_list_elements), filter_(filter), sink_(sink) {
    if (filter != nullptr && filter->max_values > 0) values_left_ = filter->max_values;
  }

  Result<NbtValue> root() {
    KUBREL_ASSIGN_OR_RETURN(uint8_t type, io(source_.read_u8()));
    if (type != static_cast<uint8_t>(NbtKind::Compound))
      return fail("invalid nbt: no root compound");
    std::string name;
    KUBREL_TRY(text(name));
    return compound(1, Keep{true, filter_});
  }

 private:
  Status text(std::string& out) {
    KUBREL_ASSIGN_OR_RETURN(bool valid, io(nbt_wire::read_text(source_, out)));
    if (!valid) return fail("invalid nbt string: nonunicode: " + out);
    return {};
  }

  template <class T>
  Result<NbtValue> number() {
    KUBREL_ASSIGN_OR_RETURN(T value, io(nbt_wire::read_number<T>(source_)));
    return NbtValue(value);
  }

  template <class T>
  Result<NbtValue> array() {
    KUBREL_ASSIGN_OR_RETURN(int32_t length, io(nbt_wire::read_number<int32_t>(source_)));
    if (length < 0) return fail("nbt array too large");
    std::vector<T> values;
    KUBREL_TRY(io(nbt_wire::read_array(source_, static_cast<uint32_t>(length), values)));
    return NbtValue(std::move(values));
  }

  // Counts one more kept value against the filter's limit.
  Status keep_one() {
    if (values_left_ == 0) {
      return fail("nbt tree keeps more than " + std::to_string(filter_->max_values) + " values");
    }
    --values_left_;
    return {};
  }

  // `depth` counts the containers open around this payload, itself included when it is one.
  Result<NbtValue> payload(NbtKind kind, int depth, Keep keep) {
    if (!keep.keep) {
      // Stands for a payload that was checked and not kept.
      KUBREL_TRY(skip(kind, depth));
      return NbtValue(int8_t{0});
    }
    if (auto read = read_number_kind(kind, [&]<class T>() { return number<T>(); })) {
      return std::move(*read);
    }
    switch (kind) {
      case NbtKind::ByteArray:
        if (keep.sink_slot >= 0 && sink_ != nullptr) return to_sink(keep.sink_slot);
        return array<uint8_t>();
      case NbtKind::IntArray:
        return array<int32_t>();
      case NbtKind::LongArray:
        return array<int64_t>();
      case NbtKind::String: {
        std::string value;
        KUBREL_TRY(text(value));
        return NbtValue(std::move(value));
      }
      case NbtKind::List:
        return list(depth);
      case NbtKind::Compound:
        return compound(depth, keep);
      default:
        break;
    }
    return invalid_type(static_cast<uint8_t>(kind));
  }

  static Status check_depth(int depth) {
    if (depth > kNbtMaxTreeDepth)
      return fail("invalid nbt: nested deeper than " + std::to_string(kNbtMaxTreeDepth) +
                  " levels");
    return {};
  }

  struct ListHeader {
    NbtKind element_kind;
    uint64_t length;
  };

  // The element kind and count of a List payload, with every check of the count.
  Result<ListHeader> list_header(int depth) {
    KUBREL_TRY(check_depth(depth));
    KUBREL_ASSIGN_OR_RETURN(uint8_t element_type, io(source_.read_u8()));
    if (element_type > kNbtMaxTypeId) return invalid_type(element_type);
    KUBREL_ASSIGN_OR_RETURN(int32_t count, io(nbt_wire::read_number<int32_t>(source_)));
    auto element_kind = static_cast<NbtKind>(element_type);
    if (element_kind == NbtKind::End && count != 0)
      return fail("unexpected list of type 'end', which is not supported");
    // A negative count widens to a huge unsigned one and is refused here too.
    auto length = static_cast<uint64_t>(static_cast<int64_t>(count));
    if (length > kNbtMaxListLength) {
      return fail("size (" + std::to_string(length) + ") greater than max sequence length (" +
                  std::to_string(kNbtMaxListLength) + ")");
    }
    return ListHeader{element_kind, length};
  }

  // A kept List is kept whole, or empty (its elements checked and dropped) without
  // keep_list_elements.
  Result<NbtValue> list(int depth) {
    KUBREL_ASSIGN_OR_RETURN(ListHeader header, list_header(depth));
    NbtList result{header.element_kind, {}};
    if (!keep_list_elements_) {
      for (uint64_t i = 0; i < header.length; ++i) {
        KUBREL_TRY(skip(header.element_kind, depth + 1));
      }
      return NbtValue(std::move(result));
    }
    // No reservation from the declared count: elements are added as they are decoded.
    for (uint64_t i = 0; i < header.length; ++i) {
      KUBREL_ASSIGN_OR_RETURN(NbtValue element, payload(header.element_kind, depth + 1, Keep{}));
      KUBREL_TRY(keep_one());
      result.elements.push_back(std::move(element));
    }
    return NbtValue(std::move(result));
  }

  Result<NbtValue> compound(int depth, Keep keep) {
    KUBREL_TRY(check_depth(depth));
    std::vector<NbtCompound::Member> members;
    while (true) {
      KUBREL_ASSIGN_OR_RETURN(uint8_t type, io(source_.read_u8()));
      if (type == static_cast<uint8_t>(NbtKind::End)) break;
      if (type > kNbtMaxTypeId) return invalid_type(type);
      std::string name;
      KUBREL_TRY(text(name));
      const Keep member = keep.member(name);
      KUBREL_ASSIGN_OR_RETURN(NbtValue value,
                              payload(static_cast<NbtKind>(type), depth + 1, member));
      if (member.keep) {
        KUBREL_TRY(keep_one());
        members.emplace_back(std::move(name), std::move(value));
      }
    }
    return NbtValue(NbtCompound(std::move(members)));
  }

  // Checks one payload as payload() would decode it, with the same failures, keeping nothing.
  Status skip(NbtKind kind, int depth) {
    switch (kind) {
      case NbtKind::Byte:
        return io(source_.skip(1));
      case NbtKind::Short:
        return io(source_.skip(2));
      case NbtKind::Int:
      case NbtKind::Float:
        return io(source_.skip(4));
      case NbtKind::Long:
      case NbtKind::Double:
        return io(source_.skip(8));
      case NbtKind::ByteArray:
        return skip_array(1);
      case NbtKind::IntArray:
        return skip_array(4);
      case NbtKind::LongArray:
        return skip_array(8);
      case NbtKind::String:
        return text(scratch_);
      case NbtKind::List: {
        KUBREL_ASSIGN_OR_RETURN(ListHeader header, list_header(depth));
        for (uint64_t i = 0; i < header.length; ++i) {
          KUBREL_TRY(skip(header.element_kind, depth + 1));
        }
        return {};
      }
      case NbtKind::Compound: {
        KUBREL_TRY(check_depth(depth));
        while (true) {
          KUBREL_ASSIGN_OR_RETURN(uint8_t type, io(source_.read_u8()));
          if (type == static_cast<uint8_t>(NbtKind::End)) return {};
          if (type > kNbtMaxTypeId) return invalid_type(type);
          KUBREL_TRY(text(scratch_));
          KUBREL_TRY(skip(static_cast<NbtKind>(type), depth + 1));
        }
      }
      case NbtKind::End:
      case NbtKind::ListEnd:
        break;
    }
    return invalid_type(static_cast<uint8_t>(kind));
  }

  // A ByteArray handed to the sink straight from the source's buffer, with the failures of array().
  Result<NbtValue> to_sink(int slot) {
    KUBREL_ASSIGN_OR_RETURN(int32_t length, io(nbt_wire::read_number<int32_t>(source_)));
    if (length < 0) return fail("nbt array too large");
    sink_->begin(slot);
    auto left = static_cast<uint64_t>(length);
    while (left > 0) {
      KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> buffered, io(source_.fill_buffer()));
      if (buffered.empty()) return fail(std::string("io error: ") + kUnexpectedEndMessage);
      size_t count = static_cast<size_t>(std::min<uint64_t>(left, buffered.size()));
      sink_->append(slot, buffered.first(count));
      source_.consume(count);
      left -= count;
    }
    return NbtValue(NbtByteArray{});
  }

  Status skip_array(uint64_t element_size) {
    KUBREL_ASSIGN_OR_RETURN(int32_t length, io(nbt_wire::read_number<int32_t>(source_)));
    if (length < 0) return fail("nbt array too large");
    return io(source_.skip(static_cast<uint64_t>(length) * element_size));
  }

  BufferedSource& source_;
  bool keep_list_elements_;
  const NbtTreeFilter* filter_;
  NbtArraySink* sink_;
  // Values the tree may still keep; without a limit, more than any tree can hold.
  uint64_t values_left_ = UINT64_MAX;
  // Names and strings of skipped payloads.
  std::string scratch_;
};

}  // namespace

Result<NbtValue> decode_nbt_tree(BufferedSource& source, bool keep_list_elements,
                                 const NbtTreeFilter* filter, NbtArraySink* sink) {
  return TreeDecoder(source, keep_list_elements, filter, sink).root();
}

}  // namespace kubrel
