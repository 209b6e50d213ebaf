// Temporary file, fsync and rename with POSIX calls.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "io/file_source.h"

namespace kubrel {

namespace {

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string with_os_error(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + os_error_message(errno);
}

int close_descriptor(int fd) {
  // On Linux the descriptor is released even when close() reports EINTR, so it is not retried.
  return ::close(fd);
}

}  // namespace

Result<std::unique_ptr<AtomicFile>> AtomicFile::create(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..")
    return fail("cannot write to " + path + ": not a file name");
  std::string prefix = path.substr(0, path.size() - base.size()) + "." + base + ".";
  std::random_device entropy;
  std::mt19937_64 random(static_cast<uint64_t>(entropy()) << 32 ^ entropy());
  constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  for (int attempt = 0; attempt < 64; ++attempt) {
    std::string temporary = prefix;
    for (int i = 0; i < 8; ++i) temporary.push_back(kDigits[random() % 36]);
    temporary += ".tmp";
    int fd;
    // Mode 0666 lets the umask decide the permissions, as for any new file.
    do {
      fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return std::unique_ptr<AtomicFile>(new AtomicFile(fd, path, temporary));
    if (errno != EEXIST) return fail(with_os_error("cannot create a file beside", path));
  }
  return fail("cannot create a file beside " + path + ": every temporary name was taken");
}

AtomicFile::~AtomicFile() {
  if (!committed_) abandon();
}

void AtomicFile::abandon() {
  if (fd_ >= 0) {
    close_descriptor(fd_);
    fd_ = -1;
  }
  if (!temporary_path_.empty()) {
    ::unlink(temporary_path_.c_str());
    temporary_path_.clear();
  }
}

Status AtomicFile::write(std::span<const uint8_t> bytes) {
  if (fd_ < 0) return fail("cannot write to " + path_ + ": the file is already closed");
  while (!bytes.empty()) {
    size_t piece = std::min<size_t>(bytes.size(), size_t{1} << 30);
    ssize_t put = ::write(fd_, bytes.data(), piece);
    if (put < 0) {
      if (errno == EINTR) continue;
      return fail(with_os_error("cannot write to", path_));
    }
    bytes = bytes.subspan(static_cast<size_t>(put));
  }
  return {};
}

Status AtomicFile::commit() {
  if (fd_ < 0) return fail("cannot write to " + path_ + ": the file is already closed");
  if (::fsync(fd_) != 0) {
    Status error = fail(with_os_error("cannot flush", path_));
    abandon();
    return error;
  }
  int closed = close_descriptor(fd_);
  fd_ = -1;
  if (closed != 0 && errno != EINTR) {
    Status error = fail(with_os_error("cannot close", path_));
    abandon();
    return error;
  }
  if (::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
    Status error = fail(with_os_error("cannot rename a temporary file to", path_));
    abandon();
    return error;
  }
  committed_ = true;
  temporary_path_.clear();
  // The rename lives in the folder: without this flush a crash could still lose the new name.
  int folder = ::open(folder_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return {};
}

}  // namespace kubrel
