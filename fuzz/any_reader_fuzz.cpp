// Fuzzes format detection over raw bytes: three readers on forks of one shared stream, then the
// winner's blocks and boundary. Detection drops a candidate unread when another's outline of the
// document says it would fail; that promise is checked here against the reader itself.
#include <span>

#include "formats/any_reader.h"
#include "formats/mojang_reader.h"
#include "formats/sponge_reader.h"
#include "fuzz_drain.h"

namespace {

std::unique_ptr<kubrel::MemorySource> bytes_of(const uint8_t* data, size_t size) {
  return std::make_unique<kubrel::MemorySource>(std::span(data, size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto stream = kubrel::AnySchematicInputStream::new_from_known(bytes_of(data, size));
  kubrel::fuzz::drain(*stream, size);

  kubrel::MojangSchematicInputStream walker(bytes_of(data, size));
  (void)walker.boundary();
  kubrel::SpongeSchematicInputStream sponge(bytes_of(data, size));
  if (const kubrel::RootOutline* outline = walker.root_outline();
      outline && sponge.fails_on(*outline)) {
    KUBREL_FUZZ_CHECK(!sponge.boundary().has_value());
  }
  return 0;
}
