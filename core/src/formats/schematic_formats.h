// The table of schematic formats: each one's name and the factory of its reader. Detection tries
// the formats in the table's order, and an input whose format is named is routed through it, so a
// new format is added in one place.
#pragma once

#include <memory>
#include <span>
#include <string_view>

#include "formats/stream.h"
#include "io/byte_source.h"

namespace kubrel {

struct SchematicFormat {
  // Upper case: "SPONGE", "MOJANG", "KBR".
  std::string_view name;
  SchematicFactory make;
};

// The name that asks for detection rather than one format.
inline constexpr std::string_view kDetectFormatName = "AUTO";

// Sponge, Mojang, KBR: the order detection tries them in.
std::span<const SchematicFormat> schematic_formats();

// The stream of a gzip-compressed input in the format named `name` (a name of the table, or
// kDetectFormatName), or null for any other name (`compressed` is dropped then). A named format's
// reader reads through one gzip chain. Detection forks the compressed input and decodes each fork
// by a chain of its own, so that what it keeps for candidates that lag behind is never the
// decompressed document. Reads the gzip header either way, and nothing more.
std::unique_ptr<SchematicInputStream> open_gzip_schematic(std::string_view name,
                                                          std::unique_ptr<ByteSource> compressed);

}  // namespace kubrel
