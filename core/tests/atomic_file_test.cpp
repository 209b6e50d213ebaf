// Tests of atomic file output: a committed file appears whole, an abandoned or failed one leaves
// the target as it was and no temporary file behind, and a replaced file keeps its permissions,
// owner and links.
#include "io/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "io/file_source.h"
#include "support/corpus.h"

namespace kubrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

TEST(AtomicFileTest, CommitReplacesAbandonKeeps) {
  fs::path folder = testing::scratch_dir("kubrel_atomic");
  fs::path target = folder / "out.nbt";
  Bytes old_bytes = {1, 2, 3};
  std::ofstream(target, std::ios::binary).write("\x01\x02\x03", 3);
  struct Case {
    const char* label;
    bool commit;
    Bytes expected;
  } cases[] = {{"abandoned", false, old_bytes}, {"committed", true, Bytes(100'000, 7)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    {
      auto file = AtomicFile::create(target.string());
      ASSERT_TRUE(file) << file.error().message;
      EXPECT_EQ(fs::path((*file)->temporary_path()).parent_path(), folder);
      ASSERT_TRUE((*file)->write(Bytes(100'000, 7)));
      EXPECT_EQ(testing::read_file(target), old_bytes);  // nothing shows before the commit
      if (c.commit) {
        ASSERT_TRUE((*file)->commit());
      }
    }
    EXPECT_EQ(testing::read_file(target), c.expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
  }
  auto missing = AtomicFile::create((folder / "no" / "such.nbt").string());
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().message.find("No such file or directory (os error 2)"),
            std::string::npos);
  EXPECT_FALSE(AtomicFile::create((folder / "").string()));
  // A folder is refused before anything is written; one that takes the name meanwhile makes the
  // rename fail, and the temporary file goes.
  fs::create_directories(folder / "taken");
  auto taken = AtomicFile::create((folder / "taken").string());
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().os_error, EISDIR);
  auto blocked = AtomicFile::create((folder / "later").string());
  ASSERT_TRUE(blocked);
  fs::create_directories(folder / "later");
  EXPECT_FALSE((*blocked)->commit());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 3);
  fs::remove_all(folder);
}

// Replacing keeps what surrounds a file: its permission bits and owner, the links that lead to
// it, and a read-only file unless asked. A new file gets the umask's permissions.
TEST(AtomicFileTest, ReplacingKeepsPermissionsAndLinks) {
  fs::path folder = testing::scratch_dir("kubrel_atomic_replace");
  const mode_t umask_was = ::umask(027);
  struct Case {
    const char* label;
    int old_mode;  // -1: no file yet
    int links;     // 0: data/file.nbt written; 1: out.nbt -> it; 2: out.nbt -> /.../up -> ../it
    bool force;
    int error;  // os_error of a refusal
    int mode;   // of data/file.nbt afterwards
  } cases[] = {
      {"new file", -1, 0, false, 0, 0640},
      {"private file", 0600, 0, false, 0, 0600},
      {"read-only", 0444, 0, false, EACCES, 0444},
      {"read-only, forced", 0444, 0, true, 0, 0444},
      {"link", 0604, 1, false, 0, 0604},
      {"link to a link", 0660, 2, false, 0, 0660},
      {"dangling link", -1, 1, false, 0, 0640},
      {"link, read-only", 0400, 1, false, EACCES, 0400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(folder);
    fs::create_directories(folder / "data");
    const fs::path file = folder / "data" / "file.nbt";
    struct stat before {};
    if (c.old_mode >= 0) {
      std::ofstream(file, std::ios::binary).write("\x01\x02\x03", 3);
      ASSERT_EQ(::chmod(file.c_str(), static_cast<mode_t>(c.old_mode)), 0);
      (void)::chown(file.c_str(), 65534, 65534);  // a superuser's file can belong to another
      ASSERT_EQ(::stat(file.c_str(), &before), 0);
    }
    if (c.links == 1) fs::create_symlink("data/file.nbt", folder / "out.nbt");
    if (c.links == 2) fs::create_symlink(folder / "data" / "up", folder / "out.nbt");
    if (c.links == 2) fs::create_symlink("../data/file.nbt", folder / "data" / "up");
    {
      auto atomic = AtomicFile::create((c.links ? folder / "out.nbt" : file).string(),
                                       {.replace_read_only = c.force});
      if (c.error != 0) {
        ASSERT_FALSE(atomic);
        EXPECT_EQ(atomic.error().os_error, c.error);
        EXPECT_NE(atomic.error().message.find(os_error_message(c.error)), std::string::npos);
      } else {
        ASSERT_TRUE(atomic) << atomic.error().message;
        ASSERT_TRUE((*atomic)->write(Bytes(1000, 9)) && (*atomic)->commit());
      }
    }
    EXPECT_TRUE(c.links == 0 || fs::is_symlink(folder / "out.nbt"));
    EXPECT_EQ(testing::read_file(file), (c.error != 0 ? Bytes{1, 2, 3} : Bytes(1000, 9)));
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, static_cast<mode_t>(c.mode));
    EXPECT_TRUE(c.old_mode < 0 || (after.st_uid == before.st_uid && after.st_gid == before.st_gid));
    // Nothing left beside the file: the temporary was made in its folder and renamed away.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "data"), fs::directory_iterator()),
              1 + (c.links == 2));
  }
  fs::create_symlink("loop", folder / "loop");
  EXPECT_EQ(AtomicFile::create((folder / "loop").string()).error().os_error, ELOOP);
  ::umask(umask_was);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace kubrel
