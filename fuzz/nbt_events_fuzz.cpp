// Fuzzes the NBT event parser: events to the first failure, which must then repeat (unless it was
// the clean end of input).
#include <span>

#include "fuzz_drain.h"
#include "nbt/nbt_events.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kubrel::NbtEventParser parser(std::make_unique<kubrel::MemorySource>(std::span(data, size)));
  while (true) {
    auto event = parser.next_event();
    if (event) continue;
    auto again = parser.next_event();
    KUBREL_FUZZ_CHECK(
        !again && (event.error().end_of_input || again.error().message == event.error().message));
    return 0;
  }
}
