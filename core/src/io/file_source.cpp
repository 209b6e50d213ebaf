// Opening and reading files with POSIX calls.
#include "io/file_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kubrel {

std::string os_error_message(int error_number) {
  char text[256];
  // The GNU strerror_r may return a static string instead of filling `text`.
  const char* message = strerror_r(error_number, text, sizeof text);
  return std::string(message) + " (os error " + std::to_string(error_number) + ")";
}

std::expected<std::unique_ptr<FileSource>, int> FileSource::open(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(errno);
  // A directory opens read-only on Linux and only fails at the first read; refusing it here gives
  // the caller the error a path to a directory deserves.
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  if (known && S_ISDIR(info.st_mode)) {
    ::close(fd);
    return std::unexpected(EISDIR);
  }
  std::optional<uint64_t> size;
  if (known && S_ISREG(info.st_mode)) size = static_cast<uint64_t>(info.st_size);
  return std::unique_ptr<FileSource>(new FileSource(fd, size));
}

FileSource::~FileSource() {
  ::close(fd_);
}

Result<size_t> FileSource::read(uint8_t* dst, size_t n) {
  // Larger requests than this are split by the kernel anyway; capping keeps the count in ssize_t.
  n = std::min<size_t>(n, size_t{1} << 30);
  while (true) {
    ssize_t got = ::read(fd_, dst, n);
    if (got >= 0) {
      consumed_ += static_cast<uint64_t>(got);
      return static_cast<size_t>(got);
    }
    if (errno != EINTR) return fail(os_error_message(errno));
  }
}

std::optional<uint64_t> FileSource::size_hint() const {
  if (!size_) return std::nullopt;
  return *size_ - std::min(*size_, consumed_);
}

}  // namespace kubrel
