// Tests of the gzip decoding chain against members written with zlib: round trips, header fields,
// damaged and cut members, sticky and passing failures, and streaming of a huge output.
#include "io/gzip_source.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/scripted_source.h"

namespace kubrel {
namespace {

using testing::ScriptedSource;
using testing::SourceLog;

using Bytes = std::vector<uint8_t>;

// Raw deflate data of `payload`, fed to zlib in pieces so that huge inputs need not exist at once.
class RawDeflater {
 public:
  explicit RawDeflater(int level) {
    EXPECT_EQ(deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  }
  ~RawDeflater() { deflateEnd(&stream_); }

  void add(const Bytes& piece, bool last) {
    crc_ = crc32(crc_, piece.data(), static_cast<uInt>(piece.size()));
    size_ += piece.size();
    stream_.next_in = const_cast<Bytef*>(piece.data());
    stream_.avail_in = static_cast<uInt>(piece.size());
    int flush = last ? Z_FINISH : Z_NO_FLUSH;
    int status;
    do {
      uint8_t out[16384];
      stream_.next_out = out;
      stream_.avail_out = sizeof out;
      status = deflate(&stream_, flush);
      out_.insert(out_.end(), out, out + (sizeof out - stream_.avail_out));
    } while (stream_.avail_out == 0 || (last && status != Z_STREAM_END));
  }

  Bytes& out() { return out_; }
  uint32_t crc() const { return static_cast<uint32_t>(crc_); }
  uint64_t size() const { return size_; }

 private:
  z_stream stream_{};
  Bytes out_;
  uLong crc_ = crc32(0, nullptr, 0);
  uint64_t size_ = 0;
};

struct HeaderFields {
  std::optional<Bytes> extra = std::nullopt;
  std::optional<std::string> name = std::nullopt;
  std::optional<std::string> comment = std::nullopt;
  bool header_crc = false;
};

void put_le(Bytes& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes gzip_header(const HeaderFields& fields) {
  uint8_t flags = (fields.header_crc ? 0x02 : 0) | (fields.extra ? 0x04 : 0) |
                  (fields.name ? 0x08 : 0) | (fields.comment ? 0x10 : 0);
  Bytes out = {0x1f, 0x8b, 8, flags, 0x12, 0x34, 0x56, 0x78, 0, 3};
  if (fields.extra) {
    put_le(out, fields.extra->size(), 2);
    out.insert(out.end(), fields.extra->begin(), fields.extra->end());
  }
  for (const auto* text : {&fields.name, &fields.comment}) {
    if (!*text) continue;
    out.insert(out.end(), (*text)->begin(), (*text)->end());
    out.push_back(0);
  }
  if (fields.header_crc) put_le(out, crc32(0, out.data(), static_cast<uInt>(out.size())), 2);
  return out;
}

struct Member {
  Bytes bytes;
  size_t header_size;
};

Member gzip_member(const Bytes& payload, int level = 6, const HeaderFields& fields = {}) {
  Member member{gzip_header(fields), 0};
  member.header_size = member.bytes.size();
  RawDeflater deflater(level);
  deflater.add(payload, true);
  member.bytes.insert(member.bytes.end(), deflater.out().begin(), deflater.out().end());
  put_le(member.bytes, deflater.crc(), 4);
  put_le(member.bytes, deflater.size(), 4);
  return member;
}

// Compressible text-like bytes: words from a small vocabulary.
Bytes text_payload(size_t n, uint32_t seed) {
  static const std::vector<std::string> words = {"minecraft:", "stone", "air", "[facing=north]",
                                                 "oak_log",    " ",     "\n",  "waterlogged=false"};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const std::string& word = words[rng() % words.size()];
    out.insert(out.end(), word.begin(), word.end());
  }
  out.resize(n);
  return out;
}

std::unique_ptr<ByteSource> chain_over(Bytes input, std::shared_ptr<SourceLog> log = nullptr,
                                       size_t max_piece = SIZE_MAX,
                                       std::set<size_t> failing_calls = {}) {
  if (!log) log = std::make_shared<SourceLog>();
  return make_gzip_chain(std::make_unique<ScriptedSource>(std::move(input), std::move(log),
                                                          max_piece, std::move(failing_calls)));
}

std::string error_of(const Result<Bytes>& result) {
  return result ? "no error" : result.error().message;
}

TEST(GzipSourceTest, RoundTripsAcrossSizesLevelsAndReadSizes) {
  for (size_t size : {0, 1, 1000, 100'000, 1'048'699}) {
    Bytes payload = text_payload(size, static_cast<uint32_t>(size));
    for (int level : {0, 1, 6, 9}) {
      Bytes compressed = gzip_member(payload, level).bytes;
      for (size_t piece : {1, 777, 8192, 1 << 20}) {
        SCOPED_TRACE("size " + std::to_string(size) + " level " + std::to_string(level) +
                     " piece " + std::to_string(piece));
        auto chain = chain_over(compressed);
        auto decoded = testing::read_all(*chain, piece);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
        EXPECT_EQ(*decoded, payload);
        uint8_t byte;
        EXPECT_EQ(chain->read(&byte, 1), size_t{0});
      }
    }
  }
}

TEST(GzipSourceTest, IncompressibleDataAndRawReadsOfAnyPieceSize) {
  Bytes payload = testing::random_bytes(300'000, 5);
  Bytes compressed = gzip_member(payload, 6).bytes;
  for (size_t raw_piece : {1, 13, 4096, 100'000}) {
    SCOPED_TRACE(raw_piece);
    auto chain = chain_over(compressed, nullptr, raw_piece);
    auto decoded = testing::read_all(*chain, 5000);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    EXPECT_EQ(*decoded, payload);
  }
}

TEST(GzipSourceTest, OptionalHeaderFields) {
  Bytes payload = text_payload(5000, 1);
  struct Case {
    const char* label;
    HeaderFields fields;
    const char* error;  // nullptr when the member must decode
  };
  const Case cases[] = {
      {"name", {.name = "schematic.kbr"}, nullptr},
      {"extra", {.extra = Bytes{'A', 'B', 2, 0, 7, 9}}, nullptr},
      {"empty extra", {.extra = Bytes{}}, nullptr},
      {"comment", {.comment = "made by hand"}, nullptr},
      {"header crc", {.header_crc = true}, nullptr},
      {"all fields",
       {.extra = Bytes(300, 0xee), .name = "n", .comment = "c", .header_crc = true},
       nullptr},
      {"longest fields",
       {.extra = Bytes(65535, 1),
        .name = std::string(kMaxGzipHeaderField - 1, 'n'),
        .comment = std::string(kMaxGzipHeaderField - 1, 'c'),
        .header_crc = true},
       nullptr},
      {"name too long", {.name = std::string(kMaxGzipHeaderField, 'n')}, kGzipFieldTooLongMessage},
      {"comment too long",
       {.comment = std::string(10 * kMaxGzipHeaderField, 'c')},
       kGzipFieldTooLongMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto decoded = testing::read_all(*chain_over(gzip_member(payload, 6, c.fields).bytes), 1000);
    if (c.error) {
      EXPECT_EQ(error_of(decoded), c.error);
    } else {
      ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
      EXPECT_EQ(*decoded, payload);
    }
  }
}

TEST(GzipSourceTest, MemberWrittenByZlibWithEveryHeaderField) {
  Bytes payload = text_payload(20'000, 2);
  z_stream stream{};
  ASSERT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes extra = {'K', 'B', 3, 0, 1, 2, 3};
  std::string name = "house.schem", comment = "zlib wrote this";
  gz_header header{};
  header.extra = extra.data();
  header.extra_len = static_cast<uInt>(extra.size());
  header.name = reinterpret_cast<Bytef*>(name.data());
  header.comment = reinterpret_cast<Bytef*>(comment.data());
  header.hcrc = 1;
  ASSERT_EQ(deflateSetHeader(&stream, &header), Z_OK);
  Bytes compressed(deflateBound(&stream, payload.size()) + 64);
  stream.next_in = payload.data();
  stream.avail_in = static_cast<uInt>(payload.size());
  stream.next_out = compressed.data();
  stream.avail_out = static_cast<uInt>(compressed.size());
  ASSERT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  compressed.resize(stream.total_out);
  deflateEnd(&stream);

  auto decoded = testing::read_all(*chain_over(compressed), 4096);
  ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
  EXPECT_EQ(*decoded, payload);
}

TEST(GzipSourceTest, InputsThatDoNotStartWithAGzipHeader) {
  Bytes good = gzip_member(text_payload(100, 3)).bytes;
  auto patched = [&](size_t index, uint8_t value) {
    Bytes bytes = good;
    bytes[index] = value;
    return bytes;
  };
  Bytes wrong_header_crc = gzip_member(text_payload(100, 3), 6, {.header_crc = true}).bytes;
  wrong_header_crc[10] ^= 1;
  const std::pair<const char*, Bytes> cases[] = {
      {"empty", {}},
      {"plain text", {'h', 'e', 'l', 'l', 'o'}},
      {"uncompressed nbt", {10, 0, 9, 'S', 'c', 'h', 'e', 'm', 'a', 't', 'i', 'c', 0}},
      {"zlib stream", {0x78, 0x9c, 3, 0, 0, 0, 0, 1}},
      {"first magic byte", patched(0, 0x1e)},
      {"second magic byte", patched(1, 0x8c)},
      {"method other than deflate", patched(2, 7)},
      {"reserved flag", patched(3, 0x20)},
      {"header cut short", Bytes(good.begin(), good.begin() + 9)},
      {"wrong header crc", wrong_header_crc},
  };
  for (const auto& [label, input] : cases) {
    SCOPED_TRACE(label);
    EXPECT_EQ(error_of(testing::read_all(*chain_over(input), 100)), kInvalidGzipHeaderMessage);
  }
}

TEST(GzipSourceTest, EveryTruncationIsAnError) {
  HeaderFields fields{.extra = Bytes{1, 2, 3}, .name = "a", .comment = "b", .header_crc = true};
  for (int level : {0, 6}) {
    Member member = gzip_member(text_payload(3000, 4), level, fields);
    for (size_t cut = 0; cut < member.bytes.size(); ++cut) {
      SCOPED_TRACE("level " + std::to_string(level) + " cut " + std::to_string(cut));
      Bytes input(member.bytes.begin(), member.bytes.begin() + cut);
      const char* expected =
          cut < member.header_size ? kInvalidGzipHeaderMessage : kUnexpectedEndMessage;
      EXPECT_EQ(error_of(testing::read_all(*chain_over(input), cut % 2 ? 64 : 16384)), expected);
    }
  }
}

// Damaged members: the error, and that it sticks for every later read, big or small.
TEST(GzipSourceTest, DamageIsReportedAndSticks) {
  Bytes payload = text_payload(50'000, 6);
  Member member = gzip_member(payload);
  Member stored = gzip_member(payload, 0);
  auto flipped = [](const Member& m, size_t from_end) {
    Bytes bytes = m.bytes;
    bytes[bytes.size() - from_end] ^= 0x10;
    return bytes;
  };
  auto reserved_block_type = member.bytes;
  reserved_block_type[member.header_size] |= 0x06;
  auto stored_length_check = stored.bytes;
  stored_length_check[stored.header_size + 3] ^= 0xff;  // NLEN no longer the complement of LEN
  const std::pair<const char*, std::pair<Bytes, const char*>> cases[] = {
      {"crc", {flipped(member, 8), kGzipChecksumMessage}},
      {"isize", {flipped(member, 1), kGzipChecksumMessage}},
      {"stored crc", {flipped(stored, 6), kGzipChecksumMessage}},
      {"reserved block type", {reserved_block_type, kCorruptDeflateMessage}},
      {"stored length check", {stored_length_check, kCorruptDeflateMessage}},
      {"cut in trailer",
       {Bytes(member.bytes.begin(), member.bytes.end() - 3), kUnexpectedEndMessage}},
      {"bad header", {Bytes{1, 2, 3}, kInvalidGzipHeaderMessage}},
  };
  for (const auto& [label, input_and_error] : cases) {
    SCOPED_TRACE(label);
    auto log = std::make_shared<SourceLog>();
    auto chain = chain_over(input_and_error.first, log);
    EXPECT_EQ(error_of(testing::read_all(*chain, 1000)), input_and_error.second);
    size_t raw_reads = log->requested.size();
    Bytes big(100'000);
    for (size_t n : {1, 10, 8192, 100'000}) {
      auto again = chain->read(big.data(), n);
      ASSERT_FALSE(again.has_value());
      EXPECT_EQ(again.error().message, input_and_error.second);
    }
    EXPECT_EQ(log->requested.size(), raw_reads);
  }
}

// The raw source fails once at a chosen call: during the header (while the chain is built), in
// the middle of the data, or at the very end. The failure reaches the reader unchanged exactly
// once, and reading on gets every byte.
TEST(GzipSourceTest, RawSourceFailurePassesThroughAndRetrySucceeds) {
  Bytes payload = text_payload(40'000, 8);
  Bytes compressed = gzip_member(payload, 6, {.name = "retry"}).bytes;
  const size_t raw_piece = 1000;
  // The call that delivers the trailer is the last one: nothing is read after the member.
  const size_t calls = (compressed.size() + raw_piece - 1) / raw_piece;
  ASSERT_GT(calls, 3u);
  for (size_t failing : {size_t{0}, size_t{1}, calls / 2, calls - 1}) {
    SCOPED_TRACE(failing);
    auto log = std::make_shared<SourceLog>();
    auto chain = chain_over(compressed, log, raw_piece, {failing});
    Bytes decoded;
    int failures = 0;
    uint8_t chunk[3000];
    for (int guard = 0; guard < 100'000; ++guard) {
      auto got = chain->read(chunk, sizeof chunk);
      if (!got) {
        EXPECT_EQ(got.error().message, testing::kScriptedFailure);
        ++failures;
        continue;
      }
      if (*got == 0) break;
      decoded.insert(decoded.end(), chunk, chunk + *got);
    }
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(decoded, payload);
    EXPECT_EQ(log->requested.size(), calls + 1);
  }
}

TEST(GzipSourceTest, BytesAfterTheMemberAreIgnored) {
  Bytes payload = text_payload(10'000, 9);
  Bytes second = gzip_member(text_payload(10, 10)).bytes;
  const std::pair<const char*, Bytes> tails[] = {
      {"garbage", {'j', 'u', 'n', 'k'}},
      {"second member", second},
      {"long garbage", testing::random_bytes(100'000, 11)},
  };
  for (const auto& [label, tail] : tails) {
    SCOPED_TRACE(label);
    Bytes input = gzip_member(payload).bytes;
    input.insert(input.end(), tail.begin(), tail.end());
    auto decoded = testing::read_all(*chain_over(input), 999);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().message;
    EXPECT_EQ(*decoded, payload);
  }
}

TEST(GzipSourceTest, HeaderIsReadWhenTheChainIsBuilt) {
  auto log = std::make_shared<SourceLog>();
  auto chain = chain_over(Bytes{0x1f, 0x8b, 8, 0, 'n', 'o', 'p', 'e'}, log);
  // One read brings the eight bytes, the next reports the end inside the header.
  const std::vector<size_t> header_reads = {kGzipChainBufferSize, kGzipChainBufferSize};
  EXPECT_EQ(log->requested, header_reads);
  uint8_t byte;
  auto got = chain->read(&byte, 1);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().message, kInvalidGzipHeaderMessage);
  EXPECT_EQ(log->requested, header_reads);
  chain.reset();
  EXPECT_TRUE(log->released);
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(GzipSourceTest, HugeOutputStreamsInBoundedMemory) {
  const size_t kPiece = 1 << 20;
  const size_t kPieces = 200;
  Bytes zeros(kPiece, 0);
  RawDeflater deflater(9);
  for (size_t i = 0; i < kPieces; ++i) deflater.add(zeros, i + 1 == kPieces);
  Bytes compressed = gzip_header({});
  compressed.insert(compressed.end(), deflater.out().begin(), deflater.out().end());
  deflater.out() = Bytes();
  put_le(compressed, deflater.crc(), 4);
  put_le(compressed, deflater.size(), 4);

  long rss_before = peak_rss_kib();
  auto chain = chain_over(std::move(compressed));
  uint8_t chunk[4096];
  uint64_t total = 0;
  bool all_zero = true;
  while (true) {
    auto got = chain->read(chunk, sizeof chunk);
    ASSERT_TRUE(got.has_value()) << got.error().message;
    if (*got == 0) break;
    all_zero = all_zero && std::memcmp(chunk, zeros.data(), *got) == 0;
    total += *got;
  }
  EXPECT_EQ(total, uint64_t{kPiece} * kPieces);
  EXPECT_TRUE(all_zero);
  EXPECT_LT(peak_rss_kib() - rss_before, 32 * 1024);
}

}  // namespace
}  // namespace kubrel
