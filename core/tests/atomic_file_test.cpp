// Tests of atomic file output: a committed file appears whole, an abandoned or failed one leaves
// the target as it was and no temporary file behind.
#include "io/atomic_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
  // The rename fails when the target is a folder: the temporary file goes.
  fs::create_directories(folder / "taken");
  auto blocked = AtomicFile::create((folder / "taken").string());
  ASSERT_TRUE(blocked);
  EXPECT_FALSE((*blocked)->commit());
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace kubrel
