// Writes a volume as a Sponge schematic document (uncompressed NBT; the caller chooses the sink,
// usually a gzip one). Version 3, the default, nests everything under "Schematic" and keeps the
// palette, the block ids and the block entities together under "Blocks"; version 2 keeps them in
// the root, as "Palette", "BlockData" and "BlockEntities". Both write "Offset" (version 2: the
// volume's origin; version 3: from the paste origin), the volume's "DataVersion", its "Metadata"
// with the paste origin (or one naming this program), its biomes, and the block entities and
// entities in the format's own spelling: version 3 {Pos, Id, Data: {id, fields}}, version 2
// {Pos, Id, fields...}. The palette holds each distinct state of the volume's palette, numbered in
// its order. A volume read from a Sponge file gets its other tags back.
#pragma once

#include <cstdint>

#include "common/error.h"
#include "io/byte_sink.h"
#include "volume/kept_parts.h"
#include "volume/volume.h"

namespace kubrel {

struct SpongeWriteOptions {
  // 2 or 3.
  int32_t version = 3;
};

// Fails for a volume over 65535 positions on an axis or without a data version, an entity
// without a String "id" (a block entity without one is written without "Id" in version 3,
// refused in version 2), an unsupported version, or a failing sink. Returns what the format could
// not hold.
[[nodiscard]] Result<NotKept> write_sponge(const Volume& volume, const SpongeWriteOptions& options,
                                           ByteSink& sink);

}  // namespace kubrel
