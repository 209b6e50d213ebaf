#include "formats/any_reader.h"

#include <algorithm>
#include <iterator>

#include "formats/root_outline.h"
#include "formats/schematic_formats.h"
#include "io/gzip_source.h"
#include "io/shared_stream.h"
#include "io/whole_gzip.h"

namespace kubrel {

namespace {

const std::vector<AnySchematicInputStream::Factory>& known_formats() {
  static const std::vector<AnySchematicInputStream::Factory> factories = [] {
    std::vector<AnySchematicInputStream::Factory> made;
    for (const SchematicFormat& format : schematic_formats()) made.push_back(format.make);
    return made;
  }();
  return factories;
}

std::unique_ptr<ByteSource> as_is(std::unique_ptr<ByteSource> fork) {
  return fork;
}

}  // namespace

std::unique_ptr<AnySchematicInputStream> AnySchematicInputStream::new_from_known(
    std::unique_ptr<ByteSource> source) {
  return new_from_factories(std::move(source), known_formats());
}

std::unique_ptr<AnySchematicInputStream> AnySchematicInputStream::new_from_factories(
    std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories) {
  return over_forks(std::move(source), factories, &as_is);
}

std::unique_ptr<AnySchematicInputStream> AnySchematicInputStream::new_from_known_gzip(
    std::unique_ptr<ByteSource> compressed) {
  // On small inputs, a decoding chain for each candidate and a second inflate cost more than
  // reading the document does. Only an input that tells its size is held back: reading it ahead
  // costs nothing a caller can see, where a stream's reads might.
  if (std::optional<uint64_t> size = compressed->size_hint(); size && *size <= kWholeInflateLimit) {
    std::unique_ptr<AnySchematicInputStream> stream(new AnySchematicInputStream());
    stream->small_member_ = std::move(compressed);
    return stream;
  }
  // The buffer in front of the input is shared, so the input is still read in large pieces once.
  return over_forks(std::make_unique<BufferedSource>(std::move(compressed), kGzipChainBufferSize),
                    known_formats(), &make_gzip_chain);
}

std::unique_ptr<AnySchematicInputStream> AnySchematicInputStream::over_forks(
    std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories,
    std::unique_ptr<ByteSource> (*wrap)(std::unique_ptr<ByteSource>)) {
  std::unique_ptr<AnySchematicInputStream> stream(new AnySchematicInputStream());
  stream->fork_candidates(std::move(source), factories, wrap);
  return stream;
}

void AnySchematicInputStream::fork_candidates(
    std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories,
    std::unique_ptr<ByteSource> (*wrap)(std::unique_ptr<ByteSource>)) {
  // Every fork is made before any reads (a wrapper may read at once), so each candidate starts
  // at the first byte; the forks alone keep the shared stream alive once this reference goes.
  auto shared = SharedStream::create(std::move(source));
  shared_ = shared;
  std::vector<std::unique_ptr<ByteSource>> forks;
  for (size_t i = 0; i < factories.size(); ++i) forks.push_back(shared->fork());
  for (size_t i = 0; i < factories.size(); ++i) {
    candidates_.push_back(Candidate{factories[i](wrap(std::move(forks[i]))), {}, 0});
  }
}

void AnySchematicInputStream::start_small_member() {
  std::unique_ptr<ByteSource> compressed = std::move(small_member_);
  // The size told up front only sizes the first room: a file may have grown since.
  const uint64_t told = compressed->size_hint().value_or(0);
  PageBuffer member;
  Result<bool> ended =
      read_up_to(*compressed, static_cast<size_t>(told) + 1, kWholeInflateLimit, member);
  if (ended && *ended) {
    // The whole inflate takes only members the chain reads the same (it checks the checksum and
    // the size too) and declines the rest, whose errors the chain then words.
    if (std::optional<PageBuffer> document =
            inflate_whole_gzip(member.bytes(), kWholeInflateLimit)) {
      auto held = std::make_shared<const PageBuffer>(std::move(*document));
      for (const Factory& make : known_formats()) {
        candidates_.push_back(
            Candidate{make(std::make_unique<SpanSource>(held->bytes(), held)), {}, 0});
      }
      return;
    }
  }
  // What was read is replayed in front of the rest; a failure of the input is met again there.
  fork_candidates(std::make_unique<BufferedSource>(
                      std::make_unique<ReplaySource>(std::move(member), std::move(compressed)),
                      kGzipChainBufferSize),
                  known_formats(), &make_gzip_chain);
}

Result<ReadCount> AnySchematicInputStream::hand_out(std::vector<Block>& blocks, size_t max) {
  Candidate& winner = candidates_.front();
  size_t available = winner.pending.size() - winner.pending_begin;
  if (available == 0) return winner.stream->read(blocks, max);
  size_t k = std::min(max, available);
  auto first = winner.pending.begin() + static_cast<std::ptrdiff_t>(winner.pending_begin);
  blocks.insert(blocks.end(), std::make_move_iterator(first),
                std::make_move_iterator(first + static_cast<std::ptrdiff_t>(k)));
  winner.pending_begin += k;
  if (winner.pending_begin == winner.pending.size()) {
    winner.pending = {};
    winner.pending_begin = 0;
  }
  return ReadCount{k};
}

bool AnySchematicInputStream::ruled_out(const Candidate& candidate) const {
  for (const Candidate& other : candidates_) {
    if (&other == &candidate || !other.stream) continue;
    const RootOutline* outline = other.stream->root_outline();
    if (outline && candidate.stream->fails_on(*outline)) return true;
  }
  return false;
}

template <class Step>
void AnySchematicInputStream::for_each_in_outline_order(Step step) {
  // A candidate's outcome does not depend on when it runs, each reading its own fork; what the
  // order changes is only how much of the others' work a waiting candidate can be spared.
  std::vector<size_t> waiting;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    if (candidates_[i].stream->awaits_outline()) {
      waiting.push_back(i);
    } else {
      step(i, false);
    }
  }
  for (size_t i : waiting) step(i, ruled_out(candidates_[i]));
}

void AnySchematicInputStream::run_detection_pass(size_t max) {
  // Each candidate appends its bulk to what it already holds; a failing one is dropped whole.
  std::vector<Result<ReadCount>> outcomes(candidates_.size(), ReadCount{});
  for_each_in_outline_order([&](size_t i, bool sure_to_fail) {
    Candidate& candidate = candidates_[i];
    outcomes[i] = sure_to_fail ? fail("ruled out by another reader's outline")
                               : candidate.stream->read(candidate.pending, max);
  });
  Candidate* first_ended = nullptr;
  bool any_running = false;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    Candidate& candidate = candidates_[i];
    const Result<ReadCount>& outcome = outcomes[i];
    if (outcome && *outcome) {
      any_running = true;
      continue;
    }
    // A failure's message is discarded: here it only means "not this format".
    if (outcome) {
      saw_end_ = true;
      if (!first_ended) {
        first_ended = &candidate;
        continue;
      }
      if (!ended_) ended_ = std::move(candidate.stream);
    }
    candidate.stream.reset();
  }
  // The tie rule of the header: the first to end is out only while another still runs.
  if (first_ended && any_running) {
    if (!ended_) ended_ = std::move(first_ended->stream);
    first_ended->stream.reset();
  }
  remove_eliminated();
  if (candidates_.size() == 1) ended_.reset();
}

void AnySchematicInputStream::remove_eliminated() {
  std::erase_if(candidates_, [](const Candidate& candidate) { return !candidate.stream; });
  if (auto shared = shared_.lock()) shared->trim();
}

size_t AnySchematicInputStream::shared_buffered_size() const {
  auto shared = shared_.lock();
  return shared ? shared->buffered_size() : 0;
}

Result<ReadCount> AnySchematicInputStream::read(std::vector<Block>& blocks, size_t max) {
  // A pass with room for no block would tell nothing about the candidates.
  if (max == 0) return ReadCount{0};
  if (small_member_) start_small_member();
  if (candidates_.size() == 1) return hand_out(blocks, max);
  if (candidates_.size() >= 2) run_detection_pass(max);
  if (candidates_.empty()) {
    if (saw_end_) return ReadCount{};
    return fail("No matching format found");
  }
  if (candidates_.size() == 1) return hand_out(blocks, max);
  return ReadCount{0};
}

Result<ReadCount> AnySchematicInputStream::read_indexed(std::vector<IndexedBlock>& blocks,
                                                        size_t max) {
  // The winner stays the only candidate for good, so its table can be taken over once nothing
  // of the race is left to hand out.
  if (!winner_offset_ && candidates_.size() == 1 &&
      candidates_.front().pending_begin == candidates_.front().pending.size()) {
    winner_offset_ = static_cast<uint32_t>(default_indexed_count());
  }
  if (!winner_offset_) return SchematicInputStream::read_indexed(blocks, max);
  const size_t before = blocks.size();
  KUBREL_ASSIGN_OR_RETURN(ReadCount count, candidates_.front().stream->read_indexed(blocks, max));
  for (size_t i = before; i < blocks.size(); ++i) blocks[i].state += *winner_offset_;
  return count;
}

const BlockStateRef& AnySchematicInputStream::indexed_state(uint32_t index) const {
  if (winner_offset_ && index >= *winner_offset_) {
    return candidates_.front().stream->indexed_state(index - *winner_offset_);
  }
  return SchematicInputStream::indexed_state(index);
}

Result<std::optional<Boundary>> AnySchematicInputStream::boundary() {
  if (small_member_) start_small_member();
  if (candidates_.size() == 1) return candidates_.front().stream->boundary();
  // Streams are dropped only once all have answered: a failed one may still have an outline.
  std::vector<bool> failed(candidates_.size(), false);
  for_each_in_outline_order([&](size_t i, bool sure_to_fail) {
    failed[i] = sure_to_fail || !candidates_[i].stream->boundary();
  });
  for (size_t i = 0; i < candidates_.size(); ++i) {
    if (failed[i]) candidates_[i].stream.reset();
  }
  remove_eliminated();
  if (candidates_.size() == 1) return candidates_.front().stream->boundary();
  if (candidates_.empty() && ended_) return ended_->boundary();
  return std::optional<Boundary>{};
}

}  // namespace kubrel
