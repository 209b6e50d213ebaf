// One call that turns a schematic of any supported format into a Volume: the input (gzip or not,
// told by its first bytes) is decompressed into memory whole, its format is told by its content
// unless the caller names it, and the format's array decoder fills the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "common/error.h"
#include "io/byte_source.h"
#include "volume/volume.h"

namespace kubrel {

// The most bytes a load holds of a document by default (the input after any gzip), and of an
// input read from a stream: a build of 512 x 384 x 512 blocks takes a fifth of it as a Sponge or
// Litematica file, while a small file that inflates past it is a bomb. A structure file spends
// about 36 bytes on each block it lists, so one of over 30 million blocks needs more.
inline constexpr uint64_t kDefaultMaxDocument = uint64_t{1} << 30;

struct VolumeLoadOptions {
  // The format to decode as; none detects it by content.
  std::optional<VolumeFormat> format = std::nullopt;
  // Which entry of a structure file's "palettes" list to take.
  uint32_t palette = 0;
  // Litematica only: read the region of this name alone.
  std::optional<std::string> region = std::nullopt;
  // The most bytes the document may hold; a larger one is refused, naming this option, before
  // more than this much memory is spent on it.
  uint64_t max_document = kDefaultMaxDocument;
  // Reads MCEdit and Schematica files, whose numeric ids become legacy states
  // (common/legacy_state.h); without it they are refused, naming the option.
  bool legacy = false;
};

// Decodes `input`, a whole file's bytes (left as they are). When no format accepts it, the error
// says why for the format it looks most like: its decoder's message, or what its first bytes or its
// root tags are.
[[nodiscard]] Result<Volume> load_volume(std::span<const uint8_t> input,
                                         const VolumeLoadOptions& options = {});

// Reads `source` to its end (memory grows as the bytes arrive, up to `max_document`), then decodes
// it as above.
[[nodiscard]] Result<Volume> load_volume(ByteSource& source, const VolumeLoadOptions& options = {});

// The format a document (after any gzip) looks most like, or the error for a document that
// looks like none.
[[nodiscard]] Result<VolumeFormat> detect_volume_format(std::span<const uint8_t> document);

// "sponge", "structure", "kbr", "litematic", "schematic".
std::string_view volume_format_name(VolumeFormat format);

}  // namespace kubrel
