// The stream for an input whose format the caller did not name: one reader per known format runs
// side by side over forks of one shared byte stream, each failing or ending reader is eliminated,
// and the last one standing carries on with the blocks it produced while the others were tried.
// Ties go to the table: when a pass leaves no reader running and some of them ended cleanly in
// it, the first of those in candidate order (Sponge, Mojang, KBR) wins with its blocks, so an
// input that two formats accept reads as the earlier one and never as an empty schematic.
// Within a pass, a candidate that can learn from another's outline of the document that it would
// fail (a reader that has walked the whole document knows its root's members) reads last, and not
// at all when an outline rules it out: the outcome is the same, without a second walk.
#pragma once

#include <memory>
#include <vector>

#include "formats/stream.h"
#include "io/byte_source.h"

namespace kubrel {

class SharedStream;

class AnySchematicInputStream final : public SchematicInputStream {
 public:
  using Factory = SchematicFactory;

  // Candidates of the format table (schematic_formats()), in its order, over forks of `source`.
  // Reads nothing.
  static std::unique_ptr<AnySchematicInputStream> new_from_known(
      std::unique_ptr<ByteSource> source);
  // The same over any list of candidate factories, in the order given.
  static std::unique_ptr<AnySchematicInputStream> new_from_factories(
      std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories);
  // Candidates of the format table over `compressed`, a gzip member. A small member (one whose
  // source tells its size up front, within kWholeInflateLimit) is read on the first read or
  // boundary call and, where its document fits that limit too, inflated once, whole: every
  // candidate then reads the same document from memory, which is released once all have passed
  // it. Any other member (and a small one the whole inflate declines: broken, past the limit) is
  // forked while still compressed, each fork decoded by a decoding chain of its own
  // (make_gzip_chain). The bytes held for candidates that lag behind are then compressed ones: a
  // reader that decodes a whole document in one call (the Sponge and Mojang readers do) makes the
  // others wait for the whole input, which must not cost the whole decompressed input. Reads the
  // gzip header of a member it forks at once (through the first chain), and nothing of a small
  // one. Either way the candidates read the same bytes and give the same blocks and messages.
  static std::unique_ptr<AnySchematicInputStream> new_from_known_gzip(
      std::unique_ptr<ByteSource> compressed);

  // The most bytes of a member, and of its document, that are held whole for detection. Past a
  // mebibyte the document's fresh pages cost more than the second inflate they spare.
  static constexpr uint64_t kWholeInflateLimit = uint64_t{1} << 20;

  Result<ReadCount> read(std::vector<Block>& blocks, size_t max) override;
  // Through the default's table while the race lasts or the winner's blocks from it are pending;
  // from then on straight through the winner's, its indices placed after the default's.
  Result<ReadCount> read_indexed(std::vector<IndexedBlock>& blocks, size_t max) override;
  const BlockStateRef& indexed_state(uint32_t index) const override;
  Result<std::optional<Boundary>> boundary() override;

  // Candidates still in the race.
  size_t candidate_count() const { return candidates_.size(); }
  // Bytes the shared input holds for candidates that have not passed them yet.
  size_t shared_buffered_size() const;

 private:
  struct Candidate {
    std::unique_ptr<SchematicInputStream> stream;
    // Blocks produced during detection and not yet handed out, from pending_begin on.
    std::vector<Block> pending;
    size_t pending_begin = 0;
  };

  AnySchematicInputStream() = default;
  // The stream over forks of `source`, each fork passed through `wrap` before its factory.
  static std::unique_ptr<AnySchematicInputStream> over_forks(
      std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories,
      std::unique_ptr<ByteSource> (*wrap)(std::unique_ptr<ByteSource>));
  // Makes this stream's candidates over forks of `source`, as over_forks does.
  void fork_candidates(std::unique_ptr<ByteSource> source, const std::vector<Factory>& factories,
                       std::unique_ptr<ByteSource> (*wrap)(std::unique_ptr<ByteSource>));
  // Reads the small member held back by new_from_known_gzip and makes the candidates over it.
  void start_small_member();
  // Runs `step(i, sure_to_fail)` once for each candidate: first those that do not await an
  // outline, in order, then the others, each told whether an outline already rules it out.
  template <class Step>
  void for_each_in_outline_order(Step step);
  // Whether another candidate's outline shows that `candidate` would fail.
  bool ruled_out(const Candidate& candidate) const;
  void run_detection_pass(size_t max);
  // Drops candidates whose stream is null; the shared input then lets go of their bytes at once.
  void remove_eliminated();
  Result<ReadCount> hand_out(std::vector<Block>& blocks, size_t max);

  std::vector<Candidate> candidates_;
  // A small gzip member not read yet; the candidates are made once it is.
  std::unique_ptr<ByteSource> small_member_;
  std::weak_ptr<SharedStream> shared_;
  bool saw_end_ = false;
  // The first candidate that ended cleanly while no winner was known: an empty schematic of its
  // format, kept so that its boundary can still be reported once every candidate is gone.
  std::unique_ptr<SchematicInputStream> ended_;
  // Set once read_indexed goes straight through the winner: what its indices are shifted by.
  std::optional<uint32_t> winner_offset_;
};

}  // namespace kubrel
