// What a reader that walks a whole NBT document learns of it for free: the names of the members of
// its root compound. Detection hands this to candidates that have not read yet, so that one whose
// format needs a root member the document lacks is dropped unread instead of decoding the whole
// document a second time only to fail.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "nbt/nbt_events.h"

namespace kubrel {

class RootOutline {
 public:
  // A root with more members than this has no outline: the names are kept, and compared, one by
  // one, and no format's check needs more.
  static constexpr size_t kMaxMembers = 64;

  // Takes every event the reader's parser returns, in order, with the parser's depth after it
  // (NbtEventParser::depth()). Events the reader consumes elsewhere may be left out as long as
  // none of them is a member of the root or the root's own End.
  void see(const NbtEvent& event, size_t depth);

  // Whether the first top-level tag was a compound that has ended, with every member's name kept.
  [[nodiscard]] bool complete() const { return state_ == State::kComplete; }
  // Whether the root has a member named `name`; false while the outline is not complete.
  [[nodiscard]] bool has(std::string_view name) const;

 private:
  enum class State : unsigned char { kBeforeRoot, kInRoot, kComplete, kNone };

  std::vector<std::string> members_;
  State state_ = State::kBeforeRoot;
};

}  // namespace kubrel
