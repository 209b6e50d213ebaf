// Fuzzes the whole volume load: gzip or not, detection by content, then the chosen decoder.
#include <span>

#include "volume/volume_loader.h"
#include "volume_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kubrel::fuzz::check_volume(kubrel::load_volume(std::span(data, size)));
  return 0;
}
