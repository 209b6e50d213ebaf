// The data version written when a volume does not know its own (a volume built in code, or read
// from a file that did not say): 3953, the game's 1.21 release. The game upgrades older data when
// it loads a file, never the other way, so a recent version is the safer guess for current blocks.
#pragma once

#include <cstdint>

namespace kubrel {

inline constexpr int32_t kDefaultDataVersion = 3953;

// What the Sponge writer puts under "Metadata" to say which program wrote the file.
inline constexpr const char* kWrittenBy = "kubrel";

}  // namespace kubrel
