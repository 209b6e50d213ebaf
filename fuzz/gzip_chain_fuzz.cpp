// Fuzzes the gzip decoding chain alone: reads of several sizes to the end, and the promise that a
// failure of the gzip layer repeats on every later read.
#include <span>
#include <vector>

#include "fuzz_drain.h"
#include "io/gzip_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static constexpr size_t kPieces[] = {1, 8191, 8192, 100000};
  auto chain =
      kubrel::make_gzip_chain(std::make_unique<kubrel::MemorySource>(std::span(data, size)));
  std::vector<uint8_t> piece(100000);
  size_t total = 0;
  for (size_t call = 0; total < (size_t{1} << 20); ++call) {
    auto got = chain->read(piece.data(), kPieces[call % 4]);
    if (!got) {
      auto again = chain->read(piece.data(), 1);
      KUBREL_FUZZ_CHECK(!again && again.error() == got.error());
      break;
    }
    KUBREL_FUZZ_CHECK(*got <= kPieces[call % 4]);
    if (*got == 0) {
      KUBREL_FUZZ_CHECK(chain->read(piece.data(), 1).value_or(1) == 0);
      break;
    }
    total += *got;
  }
  return 0;
}
