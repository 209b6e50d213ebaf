// Fuzzes what opening a bytes object does: format detection over forks of the gzip member, each
// decoded by its own chain, then every block and the boundary.
#include <span>

#include "formats/any_reader.h"
#include "fuzz_drain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = kubrel::AnySchematicInputStream::new_from_known_gzip(
      std::make_unique<kubrel::MemorySource>(std::span(data, size)));
  kubrel::fuzz::drain(*stream, size);
  return 0;
}
