// Fuzzes difference strings: the input is a state text, a newline and a difference (a state of
// its own stands in when the first line does not parse). The limits must hold for the result.
#include <string_view>

#include "common/block_state.h"
#include "fuzz_drain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  size_t newline = text.find('\n');
  std::string_view base_text = newline == text.npos ? std::string_view() : text.substr(0, newline);
  std::string_view difference = newline == text.npos ? text : text.substr(newline + 1);
  auto base = kubrel::BlockState::from_string(base_text);
  if (!base)
    base = kubrel::BlockState("minecraft:oak_stairs", {{"facing", "north"}, {"half", "top"}});
  auto updated = base->update(difference);
  if (!updated) return 0;
  // Only a blank difference, which copies the state, may keep a name over the limit.
  if (updated->name().size() > 64) KUBREL_FUZZ_CHECK(*updated == *base);
  KUBREL_FUZZ_CHECK(updated->properties().size() <= base->properties().size() + 256);
  return 0;
}
