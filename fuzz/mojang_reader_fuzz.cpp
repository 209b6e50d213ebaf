// Fuzzes the structure file reader over raw bytes (no gzip layer): every block, the boundary, and
// the contract.
#include <span>

#include "formats/mojang_reader.h"
#include "fuzz_drain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kubrel::MojangSchematicInputStream stream(
      std::make_unique<kubrel::MemorySource>(std::span(data, size)));
  kubrel::fuzz::drain(stream, size);
  return 0;
}
