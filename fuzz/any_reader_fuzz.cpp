// Fuzzes format detection over raw bytes: three readers on forks of one shared stream, then the
// winner's blocks and boundary.
#include <span>

#include "formats/any_reader.h"
#include "fuzz_drain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = kubrel::AnySchematicInputStream::new_from_known(
      std::make_unique<kubrel::MemorySource>(std::span(data, size)));
  kubrel::fuzz::drain(*stream, size);
  return 0;
}
