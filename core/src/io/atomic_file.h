// A file that appears under its name whole or not at all: bytes go to a temporary file in the
// target's folder, which commit() flushes to disk and renames over the target. A file abandoned
// before commit (a failed encoding, an exception unwinding, an early return) is removed, so a
// failure never leaves a half-written file under the target name, nor a stray temporary beside it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "io/byte_sink.h"

namespace kubrel {

class AtomicFile final : public ByteSink {
 public:
  // Creates the temporary file beside `path` (same folder, so the rename cannot cross file
  // systems), with the permissions a new file gets from the process's umask. Fails with the
  // system's message when the folder is missing or not writable.
  [[nodiscard]] static Result<std::unique_ptr<AtomicFile>> create(const std::string& path);

  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile() override;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  Status write(std::span<const uint8_t> bytes) override;

  // Flushes the file to disk, renames it to the target (replacing what was there) and flushes the
  // folder, so that the new name survives a crash. On failure the temporary file is removed and
  // the target is left as it was.
  [[nodiscard]] Status commit();

  const std::string& temporary_path() const { return temporary_path_; }

 private:
  AtomicFile(int fd, std::string path, std::string temporary_path)
      : fd_(fd), path_(std::move(path)), temporary_path_(std::move(temporary_path)) {}
  void abandon();

  int fd_;
  std::string path_;
  std::string temporary_path_;
  bool committed_ = false;
};

}  // namespace kubrel
