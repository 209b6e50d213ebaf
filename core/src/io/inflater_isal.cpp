// The streaming inflater through ISA-L, which also checks the trailer.
#if KUBREL_WITH_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <algorithm>

#include "io/inflater.h"

namespace kubrel {

struct Inflater::State {
  inflate_state library;
};

// The state is left unwritten: isal_inflate_init sets it up once the header is read, before any
// inflating. Zeroing it wrote and faulted in all of its 85 KiB for every chain, which a small file
// never uses, and detection makes a chain for every candidate.
Inflater::Inflater() : state_(std::make_unique_for_overwrite<State>()) {}
Inflater::~Inflater() = default;

bool Inflater::start() {
  isal_inflate_init(&state_->library);
  state_->library.crc_flag = ISAL_GZIP_NO_HDR_VER;
  return true;
}

InflateStep Inflater::step(std::span<const uint8_t> in, std::span<uint8_t> out) {
  static uint8_t no_input;
  inflate_state& state = state_->library;
  uint32_t in_size = static_cast<uint32_t>(std::min<size_t>(in.size(), UINT32_MAX));
  uint32_t out_size = static_cast<uint32_t>(std::min<size_t>(out.size(), UINT32_MAX));
  // The library does not write through next_in; it still needs a valid pointer when empty.
  state.next_in = in_size == 0 ? &no_input : const_cast<uint8_t*>(in.data());
  state.avail_in = in_size;
  state.next_out = out.data();
  state.avail_out = out_size;
  int status = isal_inflate(&state);
  InflateStep step{in_size - state.avail_in, out_size - state.avail_out, InflateOutcome::kMore};
  if (status == ISAL_INCORRECT_CHECKSUM) {
    step.outcome = InflateOutcome::kChecksum;
  } else if (status != ISAL_DECOMP_OK && status != ISAL_END_INPUT) {
    step.outcome = InflateOutcome::kCorrupt;
  } else if (state.block_state == ISAL_BLOCK_FINISH) {
    step.outcome = InflateOutcome::kFinished;
  }
  return step;
}

uint32_t gzip_crc32(uint32_t crc, std::span<const uint8_t> bytes) {
  return crc32_gzip_refl(crc, bytes.data(), bytes.size());
}

}  // namespace kubrel
#endif
