#include "formats/root_outline.h"

#include <algorithm>

namespace kubrel {

void RootOutline::see(const NbtEvent& event, size_t depth) {
  switch (state_) {
    case State::kBeforeRoot:
      state_ = event.kind == NbtKind::Compound ? State::kInRoot : State::kNone;
      return;
    case State::kInRoot:
      break;
    case State::kComplete:
    case State::kNone:
      return;
  }
  if (event.kind == NbtKind::End && depth == 0) {
    state_ = State::kComplete;
    return;
  }
  // A member of the root stands at depth 1, or 2 when it opens a compound or a list of its own.
  bool opens = event.kind == NbtKind::Compound || event.kind == NbtKind::List;
  if (!event.named || depth != (opens ? 2u : 1u)) return;
  if (members_.size() == kMaxMembers) {
    members_ = {};
    state_ = State::kNone;
    return;
  }
  members_.emplace_back(event.name);
}

bool RootOutline::has(std::string_view name) const {
  return complete() && std::ranges::find(members_, name) != members_.end();
}

}  // namespace kubrel
