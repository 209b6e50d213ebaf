// zlib round trips and the lookup of the real corpus.
#include "support/corpus.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace kubrel::testing {

namespace {

// zlib's window bits for a gzip wrapper (15 + 16) and for either wrapper on input (15 + 32).
constexpr int kGzipWindow = 31;
constexpr int kAnyWindow = 47;

}  // namespace

std::vector<uint8_t> gzip_compress(std::span<const uint8_t> payload, int level) {
  z_stream stream{};
  deflateInit2(&stream, level, Z_DEFLATED, kGzipWindow, 8, Z_DEFAULT_STRATEGY);
  std::vector<uint8_t> out(deflateBound(&stream, payload.size()) + 64);
  stream.next_in = const_cast<Bytef*>(payload.data());
  stream.avail_in = static_cast<uInt>(payload.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

std::optional<std::vector<uint8_t>> gunzip(std::span<const uint8_t> member) {
  z_stream stream{};
  if (inflateInit2(&stream, kAnyWindow) != Z_OK) return std::nullopt;
  stream.next_in = const_cast<Bytef*>(member.data());
  stream.avail_in = static_cast<uInt>(member.size());
  std::vector<uint8_t> out;
  uint8_t piece[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = piece;
    stream.avail_out = sizeof piece;
    status = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), piece, piece + (sizeof piece - stream.avail_out));
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return out;
}

std::optional<std::vector<uint8_t>> read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file),
                              std::istreambuf_iterator<char>());
}

std::optional<std::filesystem::path> real_corpus_dir() {
  if (const char* configured = std::getenv("KUBREL_CORPUS")) {
    if (std::filesystem::is_directory(configured)) return std::filesystem::path(configured);
    return std::nullopt;
  }
  // This file sits in core/tests/support of the checkout; a worktree may sit one level deeper.
  std::filesystem::path checkout =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().parent_path();
  for (const auto& base : {checkout.parent_path(), checkout.parent_path().parent_path()}) {
    std::filesystem::path candidate = base / "shared" / "corpus" / "real";
    if (std::filesystem::is_directory(candidate)) return candidate;
  }
  return std::nullopt;
}

std::filesystem::path scratch_dir(const std::string& name) {
  std::filesystem::path memory = "/dev/shm";
  std::filesystem::path base =
      std::filesystem::is_directory(memory) ? memory : std::filesystem::temp_directory_path();
  std::filesystem::path folder = base / (name + "_" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace kubrel::testing
