// NBT encoding into a buffered sink.
#include "nbt/nbt_writer.h"

#include <limits>

namespace kubrel {

namespace {

void append_three_bytes(char32_t c, std::string& out) {
  out.push_back(static_cast<char>(0xE0 | (c >> 12)));
  out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
  out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
}

// The length of the well-formed UTF-8 sequence at the start of `rest` and its code point, or 0.
size_t decode_utf8(std::string_view rest, char32_t& c) {
  auto byte = [&](size_t i) { return static_cast<uint8_t>(rest[i]); };
  auto continuation = [&](size_t i) { return i < rest.size() && (byte(i) & 0xC0) == 0x80; };
  uint8_t lead = byte(0);
  if (lead >= 0xC2 && lead <= 0xDF && continuation(1)) {
    c = ((lead & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF && continuation(1) && continuation(2)) {
    c = ((lead & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    return c >= 0x800 && !surrogate ? 3 : 0;
  }
  if (lead >= 0xF0 && lead <= 0xF4 && continuation(1) && continuation(2) && continuation(3)) {
    c = ((lead & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) | ((byte(2) & 0x3Fu) << 6) |
        (byte(3) & 0x3Fu);
    return c >= 0x10000 && c <= 0x10FFFF ? 4 : 0;
  }
  return 0;
}

}  // namespace

void append_modified_utf8(std::string_view utf8, std::string& out) {
  size_t i = 0;
  while (i < utf8.size()) {
    auto lead = static_cast<uint8_t>(utf8[i]);
    if (lead != 0 && lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    if (lead == 0) {
      out += "\xC0\x80";
      ++i;
      continue;
    }
    char32_t c = 0;
    size_t length = decode_utf8(utf8.substr(i), c);
    if (length == 0) {
      append_three_bytes(0xFFFD, out);
      ++i;
    } else if (length == 4) {
      char32_t v = c - 0x10000;
      append_three_bytes(0xD800 + (v >> 10), out);
      append_three_bytes(0xDC00 + (v & 0x3FF), out);
      i += 4;
    } else {
      out.append(utf8.substr(i, length));
      i += length;
    }
  }
}

NbtWriter::NbtWriter(ByteSink& sink) : sink_(sink) {
  buffer_.reserve(kFlushAt + 1024);
}

void NbtWriter::flush() {
  if (status_ && !buffer_.empty()) status_ = sink_.write(buffer_);
  buffer_.clear();
}

Status NbtWriter::finish() {
  flush();
  return status_;
}

void NbtWriter::put_raw(std::span<const uint8_t> bytes) {
  if (buffer_.size() + bytes.size() > kFlushAt) {
    flush();
    // A large piece goes to the sink directly instead of through the buffer.
    if (bytes.size() >= kFlushAt) {
      if (status_) status_ = sink_.write(bytes);
      return;
    }
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void NbtWriter::put_string(std::string_view utf8) {
  text_.clear();
  append_modified_utf8(utf8, text_);
  if (text_.size() > std::numeric_limits<uint16_t>::max()) {
    if (status_)
      status_ =
          fail("NBT text of " + std::to_string(text_.size()) + " bytes is longer than 65535 bytes");
    text_.resize(0);
  }
  put_number(static_cast<uint16_t>(text_.size()));
  put_raw({reinterpret_cast<const uint8_t*>(text_.data()), text_.size()});
}

void NbtWriter::tag(NbtKind kind, std::string_view name) {
  put_number(static_cast<uint8_t>(kind));
  put_string(name);
}

bool NbtWriter::put_array_length(size_t count) {
  if (count > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
    if (status_) status_ = fail("NBT array of more than 2^31 - 1 elements");
    return false;
  }
  put_number(static_cast<int32_t>(count));
  return true;
}

template <class T>
void NbtWriter::put_numbers(std::span<const T> values) {
  if (!put_array_length(values.size())) return;
  for (T value : values) put_number(value);
}

void NbtWriter::put_byte_array(std::span<const uint8_t> values) {
  if (put_array_length(values.size())) put_raw(values);
}

void NbtWriter::put_int_array(std::span<const int32_t> values) {
  put_numbers(values);
}
void NbtWriter::put_long_array(std::span<const int64_t> values) {
  put_numbers(values);
}

void NbtWriter::put_list_header(NbtKind element_kind, int32_t count) {
  put_number(static_cast<uint8_t>(element_kind));
  put_number(count);
}

void NbtWriter::put_compound_payload(std::span<const std::byte> payload) {
  put_raw({reinterpret_cast<const uint8_t*>(payload.data()), payload.size()});
}

void NbtWriter::string(std::string_view name, std::string_view utf8) {
  tag(NbtKind::String, name);
  put_string(utf8);
}

void NbtWriter::int_array(std::string_view name, std::span<const int32_t> values) {
  tag(NbtKind::IntArray, name);
  put_int_array(values);
}

void NbtWriter::int_list(std::string_view name, std::initializer_list<int32_t> values) {
  begin_list(name, NbtKind::Int, static_cast<int32_t>(values.size()));
  for (int32_t value : values) put_int(value);
}

void NbtWriter::double_list(std::string_view name, std::initializer_list<double> values) {
  begin_list(name, NbtKind::Double, static_cast<int32_t>(values.size()));
  for (double value : values) put_double(value);
}

void NbtWriter::begin_list(std::string_view name, NbtKind element_kind, int32_t count) {
  tag(NbtKind::List, name);
  put_list_header(element_kind, count);
}

void NbtWriter::begin_byte_array(std::string_view name, uint32_t length) {
  tag(NbtKind::ByteArray, name);
  put_number(static_cast<int32_t>(length));
}

}  // namespace kubrel
