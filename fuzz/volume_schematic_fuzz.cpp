// Fuzzes the .schematic array decoder over a raw document (no gzip layer, no detection).
#include <span>

#include "volume/schematic_volume.h"
#include "volume_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kubrel::fuzz::check_volume(kubrel::decode_schematic_volume(std::span(data, size)));
  return 0;
}
