// The buffer's bytes survive every way it changes shape: small (malloc) and large (own mapping),
// growing across the boundary, moving up, shrinking.
#include "common/page_buffer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace kubrel {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

std::byte pattern(size_t i) {
  return std::byte(uint8_t(i * 7 + 3) % 251);
}

// Fills `count` bytes with the pattern.
PageBuffer patterned(size_t count) {
  PageBuffer buffer;
  EXPECT_TRUE(buffer.resize_for_overwrite(count));
  for (size_t i = 0; i < count; ++i) buffer[i] = pattern(i);
  return buffer;
}

// Whether `count` pattern bytes stand at `at` (every byte of small buffers, a stride of large).
bool holds_pattern(const PageBuffer& buffer, size_t at, size_t count) {
  size_t step = count > 4 * kMiB ? 4093 : 1;
  for (size_t i = 0; i < count; i += step) {
    if (buffer[at + i] != pattern(i)) return false;
  }
  return count == 0 || buffer[at + count - 1] == pattern(count - 1);
}

TEST(PageBuffer, BytesSurviveEveryChangeOfShape) {
  struct Row {
    std::string name;
    size_t initial;
    // Changes the buffer; returns where the initial bytes now start.
    std::function<size_t(PageBuffer&)> change;
    size_t kept;  // how many of them must be there
  };
  auto grow = [](size_t to) {
    return [to](PageBuffer& b) { return b.reserve(to) && b.resize_for_overwrite(to) ? 0 : ~0ul; };
  };
  auto room = [](size_t offset) {
    return [offset](PageBuffer& b) {
      size_t old = b.size();
      auto moved = b.make_room_in_front(offset);
      return moved && *moved >= offset && b.size() == old + *moved ? *moved : ~0ul;
    };
  };
  auto shrink = [](size_t to) {
    return
        [to](PageBuffer& b) { return b.resize_for_overwrite(to) && b.shrink_to_fit() ? 0 : ~0ul; };
  };
  const std::vector<Row> rows = {
      {"small grows small", 1000, grow(5000), 1000},
      {"small grows past the mapping threshold", 5000, grow(3 * kMiB), 5000},
      {"mapping grows", 3 * kMiB, grow(9 * kMiB), 3 * kMiB},
      {"small makes room in front", 5000, room(700), 5000},
      {"mapping makes room in front", 9 * kMiB, room(5 * kMiB + 3), 9 * kMiB},
      {"mapping shrinks", 9 * kMiB, shrink(2 * kMiB + 5), 2 * kMiB + 5},
      {"mapping shrinks below the threshold", 3 * kMiB, shrink(100), 100},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    PageBuffer buffer = patterned(row.initial);
    size_t at = row.change(buffer);
    ASSERT_NE(at, ~0ul);
    EXPECT_TRUE(holds_pattern(buffer, at, row.kept));
    PageBuffer copy = buffer;
    EXPECT_TRUE(holds_pattern(copy, at, row.kept));
  }
  for (size_t count : {size_t{0}, size_t{100}, 5 * kMiB}) {
    PageBuffer zeroed = patterned(count);
    ASSERT_TRUE(zeroed.assign_zeroed(count));
    for (size_t i = 0; i < count; i += 511) EXPECT_EQ(zeroed[i], std::byte{0}) << count << " " << i;
  }
}

}  // namespace
}  // namespace kubrel
