// Temporary file, fsync and rename, links and permissions with POSIX calls.
#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <random>

#include "io/file_source.h"

namespace kubrel {

namespace {

// The folder part of `path` with its trailing slash ("" for a bare name).
std::string folder_prefix(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string folder_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::unexpected<Error> os_failure(const std::string& what, const std::string& path,
                                  int error_number) {
  return std::unexpected<Error>(
      Error{what + " " + path + ": " + os_error_message(error_number), error_number});
}

std::unexpected<Error> with_os_error(const std::string& what, const std::string& path) {
  return os_failure(what, path, errno);
}

int close_descriptor(int fd) {
  // On Linux the descriptor is released even when close() reports EINTR, so it is not retried.
  return ::close(fd);
}

// The file `path` names once every symbolic link on the way is followed; it need not exist (a
// dangling link names the file it would create). Links in the folders above stay as they are: the
// rename goes through them.
Result<std::string> final_target(const std::string& path) {
  // The kernel's own limit on links followed in one lookup.
  constexpr int kMaxLinks = 40;
  std::string current = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
    char link[PATH_MAX];
    ssize_t length = ::readlink(current.c_str(), link, sizeof link);
    if (length < 0) return with_os_error("cannot follow the link", path);
    if (static_cast<size_t>(length) == sizeof link)
      return os_failure("cannot follow the link", path, ENAMETOOLONG);
    std::string next(link, static_cast<size_t>(length));
    current = next.starts_with('/') ? next : folder_prefix(current) + next;
  }
  return os_failure("cannot follow the link", path, ELOOP);
}

// Whether a file that exists may be replaced without being asked to: the process may write it,
// and someone may (no write bit at all marks a file read-only even to a superuser). Sets errno to
// the reason when not.
bool writable(const std::string& target, const struct stat& info) {
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
  if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0) return true;
  errno = EACCES;
  return false;
}

// Gives the new file the replaced one's owner, group and permission bits. Failures are not
// errors: a process may not give a file away (it keeps the process's owner), and a file system
// without Unix permissions ignores them.
void take_over(int fd, const struct stat& replaced) {
  if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
    (void)::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid);
  }
  // After fchown, which clears the set-user-ID and set-group-ID bits.
  (void)::fchmod(fd, replaced.st_mode & 07777);
}

}  // namespace

Result<std::unique_ptr<AtomicFile>> AtomicFile::create(const std::string& path,
                                                       AtomicFileOptions options) {
  size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..")
    return fail("cannot write to " + path + ": not a file name");
  KUBREL_ASSIGN_OR_RETURN(std::string target, final_target(path));
  struct stat replaced;
  const bool replacing = ::stat(target.c_str(), &replaced) == 0;
  if (!replacing && errno != ENOENT) return with_os_error("cannot write to", path);
  if (replacing && S_ISDIR(replaced.st_mode)) return os_failure("cannot write to", path, EISDIR);
  if (replacing && !options.replace_read_only && !writable(target, replaced))
    return with_os_error("cannot replace", path);
  slash = target.rfind('/');
  std::string prefix = folder_prefix(target) + "." +
                       (slash == std::string::npos ? target : target.substr(slash + 1)) + ".";
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
    if (fd >= 0) {
      if (replacing) take_over(fd, replaced);
      return std::unique_ptr<AtomicFile>(
          new AtomicFile(fd, path, std::move(target), std::move(temporary)));
    }
    if (errno != EEXIST) return with_os_error("cannot create a file beside", path);
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
      return with_os_error("cannot write to", path_);
    }
    bytes = bytes.subspan(static_cast<size_t>(put));
  }
  return {};
}

Status AtomicFile::commit() {
  if (fd_ < 0) return fail("cannot write to " + path_ + ": the file is already closed");
  if (::fsync(fd_) != 0) {
    Status error = with_os_error("cannot flush", path_);
    abandon();
    return error;
  }
  int closed = close_descriptor(fd_);
  fd_ = -1;
  if (closed != 0 && errno != EINTR) {
    Status error = with_os_error("cannot close", path_);
    abandon();
    return error;
  }
  if (::rename(temporary_path_.c_str(), target_.c_str()) != 0) {
    Status error = with_os_error("cannot rename a temporary file to", path_);
    abandon();
    return error;
  }
  committed_ = true;
  temporary_path_.clear();
  // The rename lives in the folder: without this flush a crash could still lose the new name.
  int folder = ::open(folder_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return {};
}

}  // namespace kubrel
