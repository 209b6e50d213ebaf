// Fuzzes the NBT tree decoder: one document into a tree, then the rest of the input.
#include <span>

#include "nbt/nbt_tree.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kubrel::BufferedSource source(std::make_unique<kubrel::MemorySource>(std::span(data, size)));
  auto root = kubrel::decode_nbt_tree(source);
  if (root) (void)kubrel::decode_nbt_tree(source);
  return 0;
}
