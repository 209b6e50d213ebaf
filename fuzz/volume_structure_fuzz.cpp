// Fuzzes the structure file array decoder over a raw document (no gzip layer, no detection).
#include <span>

#include "volume/structure_volume.h"
#include "volume_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kubrel::fuzz::check_volume(kubrel::decode_structure_volume(std::span(data, size), size % 3));
  return 0;
}
