// Fuzzes the block state grammar. A state parsed from bracketed text must survive its own text
// form: name, "[", the pairs joined by ", ", "]".
#include <string_view>

#include "common/block_state.h"
#include "fuzz_drain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto state = kubrel::BlockState::from_string(text);
  if (!state || text.find('[') == text.npos) return 0;
  std::string rendered = state->name() + "[";
  for (size_t i = 0; i < state->properties().size(); ++i) {
    const auto& [key, value] = state->properties()[i];
    rendered += (i ? ", " : "") + key + "=" + value;
  }
  auto again = kubrel::BlockState::from_string(rendered + "]");
  KUBREL_FUZZ_CHECK(again && *again == *state);
  return 0;
}
