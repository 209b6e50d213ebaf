// Streaming decoder of one gzip member: a resumable header parser of our own, the build's inflater
// for the deflate data and its trailer.
#include "io/gzip_source.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "io/inflater.h"

namespace kubrel {
namespace {

constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagReserved = 0xe0;

constexpr size_t kFixedHeaderSize = 10;

// One inflate call never sees more than this much output space; the rest waits for the next call.
constexpr size_t kMaxInflateOutput = size_t{1} << 30;

// The parts of a gzip header in the order they appear; the optional ones are skipped when their
// flag is clear.
enum class HeaderStep : uint8_t {
  kFixed,
  kExtraLength,
  kExtra,
  kName,
  kComment,
  kHeaderCrc,
  kDone
};

class GzipDecoder final : public ByteSource {
 public:
  explicit GzipDecoder(std::unique_ptr<BufferedSource> input);

  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  // Reads the rest of the header; resumable after a failure of the raw source.
  Status read_header();
  // Takes header bytes from the front of `in` and returns how many; sets error_ on a bad header.
  size_t parse_header(std::span<const uint8_t> in);
  bool fixed_prefix_valid() const;
  void finish_step();
  bool step_wanted(HeaderStep step) const;
  Result<size_t> inflate_into(uint8_t* dst, size_t n);

  std::unexpected<Error> stop(const char* message) {
    error_ = Error{message};
    return std::unexpected(*error_);
  }

  std::unique_ptr<BufferedSource> input_;
  Inflater inflater_;
  // A failure of the gzip layer, returned by every read from then on.
  std::optional<Error> error_;
  // A raw-source failure met while the chain was built, returned once by the first read.
  std::optional<Error> deferred_;

  HeaderStep step_ = HeaderStep::kFixed;
  uint8_t flags_ = 0;
  uint8_t fixed_[kFixedHeaderSize] = {};
  size_t fixed_length_ = 0;  // bytes of a fixed-size step gathered in fixed_
  size_t field_length_ = 0;  // bytes of a zero-terminated field seen so far
  size_t extra_left_ = 0;    // bytes of FEXTRA still to skip
  uint32_t header_crc_ = 0;  // CRC-32 of every header byte before FHCRC

  bool input_ended_ = false;
  bool finished_ = false;
};

GzipDecoder::GzipDecoder(std::unique_ptr<BufferedSource> input) : input_(std::move(input)) {
  Status header = read_header();
  if (!header && !error_) deferred_ = std::move(header.error());
}

Status GzipDecoder::read_header() {
  while (step_ != HeaderStep::kDone) {
    KUBREL_ASSIGN_OR_RETURN(std::span<const uint8_t> in, input_->fill_buffer());
    if (in.empty()) return stop(kInvalidGzipHeaderMessage);
    input_->consume(parse_header(in));
    if (error_) return std::unexpected(*error_);
  }
  if (!inflater_.start()) return stop(kCorruptDeflateMessage);
  return {};
}

bool GzipDecoder::fixed_prefix_valid() const {
  if (fixed_length_ > 0 && fixed_[0] != 0x1f) return false;
  if (fixed_length_ > 1 && fixed_[1] != 0x8b) return false;
  if (fixed_length_ > 2 && fixed_[2] != 8) return false;  // deflate is the only method
  if (fixed_length_ > 3 && (fixed_[3] & kFlagReserved) != 0) return false;
  return true;
}

bool GzipDecoder::step_wanted(HeaderStep step) const {
  switch (step) {
    case HeaderStep::kExtraLength:
      return flags_ & kFlagExtra;
    case HeaderStep::kExtra:
      return (flags_ & kFlagExtra) && extra_left_ > 0;
    case HeaderStep::kName:
      return flags_ & kFlagName;
    case HeaderStep::kComment:
      return flags_ & kFlagComment;
    case HeaderStep::kHeaderCrc:
      return flags_ & kFlagHeaderCrc;
    default:
      return true;
  }
}

void GzipDecoder::finish_step() {
  switch (step_) {
    case HeaderStep::kFixed:
      flags_ = fixed_[3];
      break;
    case HeaderStep::kExtraLength:
      extra_left_ = fixed_[0] | (size_t{fixed_[1]} << 8);
      break;
    case HeaderStep::kHeaderCrc:
      if ((fixed_[0] | (uint32_t{fixed_[1]} << 8)) != (header_crc_ & 0xffff)) {
        stop(kInvalidGzipHeaderMessage);
        return;
      }
      break;
    default:
      break;
  }
  do {
    step_ = static_cast<HeaderStep>(static_cast<uint8_t>(step_) + 1);
  } while (!step_wanted(step_));
  fixed_length_ = 0;
  field_length_ = 0;
}

size_t GzipDecoder::parse_header(std::span<const uint8_t> in) {
  size_t used = 0;
  while (used < in.size() && step_ != HeaderStep::kDone && !error_) {
    const uint8_t* rest = in.data() + used;
    size_t available = in.size() - used;
    size_t take = 0;
    bool step_complete = false;
    switch (step_) {
      case HeaderStep::kFixed:
      case HeaderStep::kExtraLength:
      case HeaderStep::kHeaderCrc: {
        size_t need = step_ == HeaderStep::kFixed ? kFixedHeaderSize : 2;
        take = std::min(need - fixed_length_, available);
        std::memcpy(fixed_ + fixed_length_, rest, take);
        fixed_length_ += take;
        if (step_ == HeaderStep::kFixed && !fixed_prefix_valid()) stop(kInvalidGzipHeaderMessage);
        step_complete = fixed_length_ == need;
        break;
      }
      case HeaderStep::kExtra:
        take = std::min(extra_left_, available);
        extra_left_ -= take;
        step_complete = extra_left_ == 0;
        break;
      case HeaderStep::kName:
      case HeaderStep::kComment: {
        const void* zero = std::memchr(rest, 0, available);
        take = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - rest) + 1 : available;
        field_length_ += take;
        if (field_length_ > kMaxGzipHeaderField) stop(kGzipFieldTooLongMessage);
        step_complete = zero != nullptr;
        break;
      }
      case HeaderStep::kDone:
        break;
    }
    if (step_ != HeaderStep::kHeaderCrc) {
      header_crc_ = gzip_crc32(header_crc_, {rest, take});
    }
    used += take;
    if (step_complete && !error_) finish_step();
  }
  return used;
}

Result<size_t> GzipDecoder::read(uint8_t* dst, size_t n) {
  if (error_) [[unlikely]]
    return std::unexpected(*error_);
  if (deferred_) [[unlikely]] {
    Error error = std::move(*deferred_);
    deferred_.reset();
    return std::unexpected(std::move(error));
  }
  if (step_ != HeaderStep::kDone) [[unlikely]]
    KUBREL_TRY(read_header());
  if (finished_ || n == 0) return size_t{0};
  return inflate_into(dst, std::min(n, kMaxInflateOutput));
}

Result<size_t> GzipDecoder::inflate_into(uint8_t* dst, size_t n) {
  // Output goes straight to the caller; the inflater keeps its own window for back references.
  size_t produced = 0;
  while (true) {
    std::span<const uint8_t> in;
    if (!input_ended_) {
      // Reaches the source only with nothing produced yet (see the end of the loop), so its
      // failure is returned unchanged and nothing is lost.
      KUBREL_ASSIGN_OR_RETURN(in, input_->fill_buffer());
      input_ended_ = in.empty();
    }
    InflateStep step = inflater_.step(in, {dst + produced, n - produced});
    input_->consume(step.consumed);
    produced += step.produced;
    if (step.outcome == InflateOutcome::kCorrupt || step.outcome == InflateOutcome::kChecksum)
        [[unlikely]] {
      error_ = Error{step.outcome == InflateOutcome::kChecksum ? kGzipChecksumMessage
                                                               : kCorruptDeflateMessage};
      break;
    }
    if (step.outcome == InflateOutcome::kFinished) {
      finished_ = true;
      break;
    }
    if (produced == n) break;
    bool progress = step.produced != 0 || step.consumed != 0;
    if (!progress) [[unlikely]] {
      // Either the input ended inside the deflate data or the trailer, or the library stalled
      // on input it would not take.
      error_ = Error{input_ended_ ? kUnexpectedEndMessage : kCorruptDeflateMessage};
      break;
    }
    // With output in hand, the source is not asked again.
    if (!input_ended_ && step.consumed == in.size() && produced > 0) break;
  }
  if (produced == 0 && error_) return std::unexpected(*error_);
  return produced;
}

}  // namespace

std::unique_ptr<ByteSource> make_gzip_chain(std::unique_ptr<ByteSource> raw) {
  auto buffered = std::make_unique<BufferedSource>(std::move(raw), kGzipChainBufferSize);
  auto decoder = std::make_unique<GzipDecoder>(std::move(buffered));
  return std::make_unique<BufferedSource>(std::move(decoder), kGzipChainBufferSize);
}

}  // namespace kubrel
