// Saving a volume to a file: the format chosen by the caller or by the file's suffix, the document
// compressed with gzip as it is encoded, and the file written atomically (a temporary file beside
// the target, renamed into place once complete), so a failure leaves no half-written schematic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.h"
#include "io/byte_sink.h"
#include "io/gzip_sink.h"
#include "volume/kept_parts.h"
#include "volume/structure_writer.h"
#include "volume/volume.h"

namespace kubrel {

struct SaveOptions {
  // The format to write; none takes it from the path's suffix.
  std::optional<VolumeFormat> format;
  // Sponge only: 2 or 3.
  int32_t sponge_version = 3;
  // ISA-L's level, 0 to 3.
  int gzip_level = kDefaultGzipLevel;
  // KBR only: write a volume that has block entities or entities, leaving them out.
  bool drop_entities = false;
  // Replace a read-only file (see AtomicFileOptions).
  bool replace_read_only = false;
};

// What a save had to leave out: block entities and entities (KBR holds none), and whatever else
// the format has no place for (biomes, metadata, a structure's other palettes, the paste origin,
// the tags of another format), named for people.
struct SaveReport {
  size_t dropped_block_entities = 0;
  size_t dropped_entities = 0;
  NotKept not_kept;
};

// ".schem" and ".schematic" are Sponge, ".nbt" a structure, ".kbr" KBR, ".litematic" Litematica
// (letter case ignored).
[[nodiscard]] Result<VolumeFormat> format_from_path(const std::string& path);

// Encodes the volume in `format` and compresses it into `sink`.
[[nodiscard]] Result<SaveReport> encode_volume(const Volume& volume, VolumeFormat format,
                                               const SaveOptions& options, ByteSink& sink);

// Writes the volume to `path`, replacing any file there only once the new one is complete (as
// AtomicFile does: through links, keeping the replaced file's permissions, refusing a read-only
// one unless asked).
[[nodiscard]] Result<SaveReport> save_volume(const Volume& volume, const std::string& path,
                                             const SaveOptions& options = {});

// Writes the volume as structure pieces of at most `piece_size` positions per axis, each to
// `stem` + "_" + piece_name + ".nbt", and returns their paths. Pieces written before a failure
// stay (each is whole). Each piece replaces a file as save_volume does.
[[nodiscard]] Result<std::vector<std::string>> save_structure_pieces(
    const Volume& volume, const std::string& stem, uint32_t piece_size = kDefaultPieceSize,
    int gzip_level = kDefaultGzipLevel, bool replace_read_only = false);

}  // namespace kubrel
