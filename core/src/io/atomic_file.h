// A file that appears under its name whole or not at all: bytes go to a temporary file in the
// target's folder, which commit() flushes to disk and renames over the target. A file abandoned
// before commit (a failed encoding, an exception unwinding, an early return) is removed, so a
// failure never leaves a half-written file under the target name, nor a stray temporary beside it.
//
// Replacing a file keeps what the user set up around it: a symbolic link stays a link and its
// final target gets the new bytes; the new file keeps the replaced one's permission bits (and its
// owner and group, where the process may give them); a read-only file is not replaced unless asked.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "io/byte_sink.h"

namespace kubrel {

struct AtomicFileOptions {
  // Replace a file that this process may not write or that has no write permission bit at all
  // (the second holds for a superuser too, whom the system lets write anything).
  bool replace_read_only = false;
};

class AtomicFile final : public ByteSink {
 public:
  // Creates the temporary file beside the file `path` names once symbolic links are followed
  // (same folder, so the rename cannot cross file systems). A new file gets the permissions the
  // process's umask gives. Fails before anything is written, with the system's message and error
  // number, when the folder is missing or not writable, when the target is a folder (EISDIR) or
  // read-only (EACCES, or the system's reason such as EROFS).
  [[nodiscard]] static Result<std::unique_ptr<AtomicFile>> create(const std::string& path,
                                                                  AtomicFileOptions options = {});

  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile() override;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  Status write(std::span<const uint8_t> bytes) override;

  // Flushes the file to disk, renames it over the target (replacing what was there) and flushes the
  // folder, so that the new name survives a crash. On failure the temporary file is removed and
  // the target is left as it was.
  [[nodiscard]] Status commit();

  const std::string& temporary_path() const { return temporary_path_; }

 private:
  AtomicFile(int fd, std::string path, std::string target, std::string temporary_path)
      : fd_(fd),
        path_(std::move(path)),
        target_(std::move(target)),
        temporary_path_(std::move(temporary_path)) {}
  void abandon();

  int fd_;
  // The path as given, for messages, and the file it names once links are followed.
  std::string path_;
  std::string target_;
  std::string temporary_path_;
  bool committed_ = false;
};

}  // namespace kubrel
