// Fuzzes the block state grammars. A state parsed from bracketed text must survive its own text
// form: name, "[", the pairs joined by ", ", "]". A state read as state text must read back from
// its canonical text as itself (pairs sorted by key) and give that text again; where the exact
// grammar also reads bracketed text, both must give the same state.
#include <algorithm>
#include <string_view>

#include "common/block_state.h"
#include "common/state_text.h"
#include "fuzz_drain.h"

namespace {

void check_state_text(std::string_view text, const kubrel::Result<kubrel::BlockState>& exact) {
  auto read = kubrel::parse_state_text(text);
  if (!read) return;
  if (exact && text.find('[') != text.npos) KUBREL_FUZZ_CHECK(*exact == *read);
  std::string canonical = kubrel::canonical_state_text(read->name(), read->properties());
  auto again = kubrel::parse_state_text(canonical);
  KUBREL_FUZZ_CHECK(again.has_value());
  auto sorted = read->properties();
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  KUBREL_FUZZ_CHECK(again->name() == read->name() && again->properties() == sorted);
  KUBREL_FUZZ_CHECK(kubrel::canonical_state_text(canonical) == canonical);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto state = kubrel::BlockState::from_string(text);
  check_state_text(text, state);
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
