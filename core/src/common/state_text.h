// The text form of a block state, "name[key=value,...]", and the one tokenizer that every path
// reading it goes through: the palettes that readers build, the texts that writers cut into NBT
// names and property compounds, and the exact grammar of BlockState::from_string.
//
// A name, key or value that is empty or holds "," "=" "[" "]" '"' "\" or whitespace is written in
// double quotes, with '"' and "\" escaped by a backslash, as the game's commands quote strings:
// minecraft:oak_sign[rotation=0,text="a,b=c"], mymod:block[note=""], "mymod:odd[1]".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/block_state.h"
#include "common/error.h"

namespace kubrel {

// Whether double quotes belong to a text's grammar. The exact grammar of palettes
// (BlockState::from_string) knows none: there a quote is an ordinary character.
enum class Quoting : bool { kNone, kDouble };

// A state text cut at its brackets: `head` is everything before the first "[" (the whole text
// without one), `body` everything after it up to the last character, which is taken as the
// closing bracket when it is "]". Nothing is trimmed.
struct StateTextCut {
  std::string_view head;
  std::string_view body;
  bool has_open = false;
  bool closed = false;
};

// One piece of a pair list (the text between two ","), cut at its "=": each side trimmed of
// whitespace and still as written, so a quoted token keeps its quotes.
struct RawPair {
  std::string_view key;    // before the first "=" (the whole piece without one)
  std::string_view value;  // from the first "=" to the next one, or to the end
  bool has_equals = false;
  bool more_equals = false;  // a further "=" follows the value
};

// Cuts `text` at its brackets; with Quoting::kDouble a bracket inside a quoted token does not
// count. Fails only on a quote that is never closed.
[[nodiscard]] Result<StateTextCut> cut_state_text(std::string_view text, Quoting quoting);

// Calls `f(pair)` (returning a Status) on every piece of `body` between ","s, empty pieces
// included (an empty `body` is one empty piece), in order; stops at the first error. With
// Quoting::kDouble, "," and "=" inside quoted tokens do not count.
template <class F>
[[nodiscard]] Status for_each_raw_pair(std::string_view body, Quoting quoting, F f);

// The token a trimmed key, value or name stands for: a quoted token without its quotes and
// escapes, a bare one as it is. A bare token may not hold "," "=" "[" "]" or '"'. The failure
// says why without quoting the token, for a caller's message that quotes the whole text.
[[nodiscard]] Result<std::string> read_state_token(std::string_view token);

// `token` as a state text writes it: bare when it can be, else quoted.
std::string state_token_text(std::string_view token);

// "name[k=v,...]" with the pairs sorted by key (a stable sort: a key written twice keeps both
// pairs in their order) and each token quoted where it must be; a state without pairs is its
// name alone. Every state has one canonical text, and parse_state_text reads it back exactly.
std::string canonical_state_text(std::string_view name, std::vector<Property> properties);

// Reads a state text: a name, then optionally "[k=v,...]", whitespace around each token dropped,
// any namespace. Pairs keep their written order and duplicates. Fails, with a message that quotes
// the text, on an empty bare name or token, a pair without "=", a bare token holding a character
// that must be quoted, a quote left open or an unknown escape, or text after the closing "]".
[[nodiscard]] Result<BlockState> parse_state_text(std::string_view text);

// The canonical text of `text` (parse_state_text, then canonical_state_text).
[[nodiscard]] Result<std::string> canonical_state_text(std::string_view text);

// --- implementation of the template above ---

// The end of the piece of `text` that starts at `from`: the first of `stops` outside quoted
// tokens, or the text's size. Fails on a quote that is never closed.
[[nodiscard]] Result<size_t> find_state_stop(std::string_view text, size_t from,
                                             std::string_view stops, Quoting quoting);

namespace state_text_detail {
[[nodiscard]] Result<RawPair> cut_pair(std::string_view piece, Quoting quoting);
}  // namespace state_text_detail

template <class F>
Status for_each_raw_pair(std::string_view body, Quoting quoting, F f) {
  size_t start = 0;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(size_t end, find_state_stop(body, start, ",", quoting));
    KUBREL_ASSIGN_OR_RETURN(RawPair pair,
                            state_text_detail::cut_pair(body.substr(start, end - start), quoting));
    KUBREL_TRY(f(pair));
    if (end == body.size()) return {};
    start = end + 1;
  }
}

}  // namespace kubrel
