// Tests of the file byte source: whole reads, descriptor hygiene and the wording of OS failures.
#include "io/file_source.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/scripted_source.h"

namespace kubrel {
namespace {

namespace fs = std::filesystem;

class FileSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kubrel_file_source_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write_file(const std::string& name, const std::vector<uint8_t>& bytes) {
    fs::path path = dir_ / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  // Descriptors of this process that refer to `path`.
  static std::vector<int> fds_of(const std::string& path) {
    std::vector<int> fds;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      fs::path target = fs::read_symlink(entry.path(), ec);
      if (!ec && target == path) fds.push_back(std::stoi(entry.path().filename().string()));
    }
    return fds;
  }

  fs::path dir_;
};

TEST_F(FileSourceTest, ReadsWholeFileInAnyPieceSize) {
  std::vector<uint8_t> bytes = testing::random_bytes(100'000, 7);
  std::string path = write_file("data.bin", bytes);
  for (size_t piece : {1, 1000, 8192, 1 << 20}) {
    SCOPED_TRACE(piece);
    auto source = FileSource::open(path);
    ASSERT_TRUE(source.has_value());
    EXPECT_EQ((*source)->size_hint(), bytes.size());
    auto all = testing::read_all(**source, piece);
    ASSERT_TRUE(all.has_value()) << all.error().message;
    EXPECT_EQ(*all, bytes);
    EXPECT_EQ((*source)->size_hint(), 0u);
  }
}

TEST_F(FileSourceTest, DescriptorIsCloseOnExecAndClosedWithTheSource) {
  std::string path = write_file("small.bin", {1, 2, 3});
  {
    auto source = FileSource::open(path);
    ASSERT_TRUE(source.has_value());
    std::vector<int> fds = fds_of(path);
    ASSERT_EQ(fds.size(), 1u);
    EXPECT_TRUE(::fcntl(fds[0], F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_TRUE(fds_of(path).empty());
}

TEST_F(FileSourceTest, OpenFailuresReturnTheErrno) {
  auto missing = FileSource::open((dir_ / "missing").string());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
  EXPECT_EQ(os_error_message(ENOENT), "No such file or directory (os error 2)");

  auto not_a_dir = FileSource::open(write_file("plain", {}) + "/child");
  ASSERT_FALSE(not_a_dir.has_value());
  EXPECT_EQ(not_a_dir.error(), ENOTDIR);

  // A directory opens read-only at the system level; the source refuses it there all the same,
  // leaving no descriptor behind.
  auto directory = FileSource::open(dir_.string());
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error(), EISDIR);
  EXPECT_TRUE(fds_of(dir_.string()).empty());
}

TEST_F(FileSourceTest, ReadErrorCarriesTheSystemText) {
  // The process's own memory opens read-only, but its first page is never mapped.
  auto source = FileSource::open("/proc/self/mem");
  ASSERT_TRUE(source.has_value());
  uint8_t byte;
  auto got = (*source)->read(&byte, 1);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().message, "Input/output error (os error 5)");
}

}  // namespace
}  // namespace kubrel
