// Fuzzes what opening a bytes object does: the gzip chain in front of format detection, then every
// block and the boundary.
#include <span>

#include "fuzz_drain.h"
#include "stream/any_reader.h"
#include "stream/gzip_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = kubrel::AnySchematicInputStream::new_from_known(
      kubrel::make_gzip_chain(std::make_unique<kubrel::MemorySource>(std::span(data, size))));
  kubrel::fuzz::drain(*stream);
  return 0;
}
