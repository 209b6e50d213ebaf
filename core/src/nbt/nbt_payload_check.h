// Checks encoded NBT that is already in memory in one pass, with a pointer and no allocation, so
// that a reader holding its whole input can find where a payload ends and copy it in one piece
// instead of tag by tag. The checks are exactly those of the streaming exact walk that keeps
// payloads byte for byte: tag ids, array lengths, lists of End tags, modified UTF-8 in every name
// and string, and the nesting bound. Only whether the bytes pass is answered; a caller that hears
// no reads them again with the walk, which words the failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "nbt/nbt.h"

namespace kubrel {

// The size of the payload of `kind` at the start of `bytes`, or nullopt when it runs past them or
// fails a check. `depth` counts the lists and compounds around it: one that would stand at
// kNbtMaxTreeDepth is refused, as the walk refuses it.
[[nodiscard]] std::optional<size_t> checked_payload_size(std::span<const uint8_t> bytes,
                                                         NbtKind kind, int depth = 0);

// The size of a name or String payload (its two length bytes and its text) at the start of
// `bytes`, or nullopt when it runs past them or is not modified UTF-8.
[[nodiscard]] std::optional<size_t> checked_text_size(std::span<const uint8_t> bytes);

}  // namespace kubrel
