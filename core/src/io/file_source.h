// A byte source over a file opened read-only by path, read with plain POSIX reads.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "io/byte_source.h"

namespace kubrel {

// The system's text for `error_number` followed by " (os error N)", as every OS failure of the
// core is worded.
[[nodiscard]] std::string os_error_message(int error_number);

class FileSource final : public ByteSource {
 public:
  // Opens the file at `path` for reading only (the descriptor is not inherited by child
  // processes). On failure the unexpected value is the errno, so the caller can pick the matching
  // exception; os_error_message words it. A directory is refused with EISDIR.
  [[nodiscard]] static std::expected<std::unique_ptr<FileSource>, int> open(
      const std::string& path);

  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // One read() of at most `n` bytes, retried when interrupted by a signal. An I/O failure is
  // returned with the text of os_error_message.
  Result<size_t> read(uint8_t* dst, size_t n) override;

  // For a regular file, its size at opening less what has been read since; unknown otherwise.
  std::optional<uint64_t> size_hint() const override;

 private:
  FileSource(int fd, std::optional<uint64_t> size) : fd_(fd), size_(size) {}

  int fd_;
  std::optional<uint64_t> size_;
  uint64_t consumed_ = 0;
};

}  // namespace kubrel
