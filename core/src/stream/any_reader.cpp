#include "stream/any_reader.h"

#include <algorithm>
#include <iterator>

#include "stream/kbr_reader.h"
#include "stream/mojang_reader.h"
#include "stream/shared_stream.h"
#include "stream/sponge_reader.h"

namespace kubrel {

namespace {

template <class Reader>
std::unique_ptr<SchematicInputStream> make_reader(std::unique_ptr<ByteSource> fork) {
  return std::make_unique<Reader>(std::move(fork));
}

}  // namespace

std::unique_ptr<AnySchematicInputStream> AnySchematicInputStream::new_from_known(
    std::unique_ptr<ByteSource> source) {
  return new_from_factories(std::move(source), {&make_reader<SpongeSchematicInputStream>,
                                                &make_reader<MojangSchematicInputStream>,
                                                &make_reader<KBRSchematicInputStream>});
}

std::unique_ptr<AnySchematicInputStream> AnySchematicInputStream::new_from_factories(
    std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories) {
  std::unique_ptr<AnySchematicInputStream> stream(new AnySchematicInputStream());
  // Every fork is made before any reads, so each candidate starts at the first byte; the forks
  // alone keep the shared stream alive once this reference goes.
  auto shared = SharedStream::create(std::move(source));
  for (Factory factory : factories) {
    stream->candidates_.push_back(Candidate{factory(SharedStream::fork(shared)), {}, 0});
  }
  return stream;
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

void AnySchematicInputStream::run_detection_pass(size_t max) {
  std::vector<bool> eliminated(candidates_.size(), false);
  for (size_t i = 0; i < candidates_.size(); ++i) {
    Candidate& candidate = candidates_[i];
    std::vector<Block> bulk;
    auto outcome = candidate.stream->read(bulk, max);
    if (!outcome) {
      eliminated[i] = true;  // its message is discarded: detection only asks "is this my format?"
    } else if (!*outcome) {
      eliminated[i] = true;
      saw_end_ = true;
    } else {
      candidate.pending.insert(candidate.pending.end(), std::make_move_iterator(bulk.begin()),
                               std::make_move_iterator(bulk.end()));
    }
  }
  size_t kept = 0;
  for (size_t i = 0; i < candidates_.size(); ++i) {
    if (!eliminated[i]) {
      if (kept != i) candidates_[kept] = std::move(candidates_[i]);
      ++kept;
    }
  }
  candidates_.erase(candidates_.begin() + static_cast<std::ptrdiff_t>(kept), candidates_.end());
}

Result<ReadCount> AnySchematicInputStream::read(std::vector<Block>& blocks, size_t max) {
  if (candidates_.size() == 1) return hand_out(blocks, max);
  if (candidates_.size() >= 2) run_detection_pass(max);
  if (candidates_.empty()) {
    if (saw_end_) return ReadCount{};
    return fail("No matching format found");
  }
  if (candidates_.size() == 1) return hand_out(blocks, max);
  return ReadCount{0};
}

Result<std::optional<Boundary>> AnySchematicInputStream::boundary() {
  if (candidates_.size() == 1) return candidates_.front().stream->boundary();
  std::erase_if(candidates_, [](Candidate& candidate) { return !candidate.stream->boundary(); });
  if (candidates_.size() == 1) return candidates_.front().stream->boundary();
  return std::optional<Boundary>{};
}

}  // namespace kubrel
