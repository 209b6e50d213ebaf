// The state text tokenizer, its quoting and the canonical reader and writer of state texts.
#include "common/state_text.h"

#include <algorithm>

#include "common/text.h"

namespace kubrel {

namespace {

// Characters that a bare token cannot hold: the structure of a state text and the quote.
constexpr std::string_view kStructural = ",=[]\"";

bool needs_quotes(std::string_view token) {
  if (token.empty()) return true;
  for (size_t i = 0; i < token.size(); ++i) {
    char c = token[i];
    if (kStructural.find(c) != kStructural.npos || c == '\\') return true;
    if (space_length(token.substr(i)) != 0) return true;
  }
  return false;
}

std::unexpected<Error> never_closed() {
  return fail("a quote is never closed");
}

}  // namespace

Result<size_t> find_state_stop(std::string_view text, size_t from, std::string_view stops,
                               Quoting quoting) {
  for (size_t i = from; i < text.size(); ++i) {
    char c = text[i];
    if (quoting == Quoting::kDouble && c == '"') {
      // A backslash takes the character after it, so an escaped quote does not close.
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (i >= text.size()) return never_closed();
      continue;
    }
    if (stops.find(c) != stops.npos) return i;
  }
  return text.size();
}

Result<StateTextCut> cut_state_text(std::string_view text, Quoting quoting) {
  StateTextCut cut;
  KUBREL_ASSIGN_OR_RETURN(size_t open, find_state_stop(text, 0, "[", quoting));
  cut.head = text.substr(0, open);
  if (open == text.size()) return cut;
  cut.has_open = true;
  cut.body = text.substr(open + 1);
  cut.closed = cut.body.ends_with(']');
  if (cut.closed) cut.body.remove_suffix(1);
  return cut;
}

namespace state_text_detail {

Result<RawPair> cut_pair(std::string_view piece, Quoting quoting) {
  RawPair pair;
  KUBREL_ASSIGN_OR_RETURN(size_t equals, find_state_stop(piece, 0, "=", quoting));
  pair.key = trim_space(piece.substr(0, equals));
  if (equals == piece.size()) return pair;
  pair.has_equals = true;
  std::string_view rest = piece.substr(equals + 1);
  KUBREL_ASSIGN_OR_RETURN(size_t next, find_state_stop(rest, 0, "=", quoting));
  pair.value = trim_space(rest.substr(0, next));
  pair.more_equals = next < rest.size();
  return pair;
}

}  // namespace state_text_detail

Result<std::string> read_state_token(std::string_view token) {
  if (!token.starts_with('"')) {
    size_t at = token.find_first_of(kStructural);
    if (at == token.npos) return std::string(token);
    if (token[at] == '"') return fail("a quoted token must be the whole name, key or value");
    return fail(std::string("a name, key or value holding '") + token[at] + "' must be quoted");
  }
  std::string out;
  for (size_t i = 1; i < token.size(); ++i) {
    char c = token[i];
    if (c == '"') {
      if (i + 1 != token.size()) return fail("text after a closing quote");
      return out;
    }
    if (c == '\\') {
      if (++i == token.size()) break;
      if (token[i] != '"' && token[i] != '\\')
        return fail("a backslash in quotes must escape '\"' or '\\'");
    }
    out += token[i];
  }
  return never_closed();
}

std::string state_token_text(std::string_view token) {
  if (!needs_quotes(token)) return std::string(token);
  std::string text = "\"";
  for (char c : token) {
    if (c == '"' || c == '\\') text += '\\';
    text += c;
  }
  text += '"';
  return text;
}

std::string canonical_state_text(std::string_view name, std::vector<Property> properties) {
  std::string text = state_token_text(name);
  if (properties.empty()) return text;
  std::stable_sort(properties.begin(), properties.end(),
                   [](const Property& a, const Property& b) { return a.first < b.first; });
  char separator = '[';
  for (const auto& [key, value] : properties) {
    text += separator;
    text += state_token_text(key);
    text += '=';
    text += state_token_text(value);
    separator = ',';
  }
  text += ']';
  return text;
}

namespace {

// parse_state_text without the text in its failure.
Result<BlockState> read_state_text(std::string_view text) {
  KUBREL_ASSIGN_OR_RETURN(StateTextCut cut, cut_state_text(trim_space(text), Quoting::kDouble));
  std::string_view raw_name = trim_space(cut.head);
  if (raw_name.empty()) return fail("empty name");
  KUBREL_ASSIGN_OR_RETURN(std::string name, read_state_token(raw_name));
  if (!cut.has_open) return BlockState(std::move(name), {});
  if (!cut.closed) {
    KUBREL_ASSIGN_OR_RETURN(size_t close, find_state_stop(cut.body, 0, "]", Quoting::kDouble));
    return fail(close < cut.body.size() ? "text after ']'" : "missing ']'");
  }
  std::vector<Property> properties;
  if (trim_space(cut.body).empty()) return BlockState(std::move(name), {});
  KUBREL_TRY(for_each_raw_pair(cut.body, Quoting::kDouble, [&](const RawPair& pair) -> Status {
    if (!pair.has_equals && !pair.key.empty()) return fail("a property without '='");
    if (pair.key.empty() || pair.value.empty()) return fail("empty property key or value");
    if (pair.more_equals) return fail("a name, key or value holding '=' must be quoted");
    KUBREL_ASSIGN_OR_RETURN(std::string key, read_state_token(pair.key));
    KUBREL_ASSIGN_OR_RETURN(std::string value, read_state_token(pair.value));
    properties.emplace_back(std::move(key), std::move(value));
    return {};
  }));
  return BlockState(std::move(name), std::move(properties));
}

}  // namespace

Result<BlockState> parse_state_text(std::string_view text) {
  auto state = read_state_text(text);
  if (!state)
    return fail("malformed block state '" + std::string(text) + "': " + state.error().message);
  return state;
}

Result<std::string> canonical_state_text(std::string_view text) {
  KUBREL_ASSIGN_OR_RETURN(BlockState state, parse_state_text(text));
  return canonical_state_text(state.name(), state.properties());
}

}  // namespace kubrel
