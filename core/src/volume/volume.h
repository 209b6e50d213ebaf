// A whole schematic held as arrays: the palette of canonical state texts and one palette index per
// position of the box, plus the block entities and entities with their exact NBT. It is what the
// array decoders produce and what the format writers consume, so that a conversion between two
// formats is a decode followed by a write with nothing format-specific in between.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/geometry.h"

namespace kubrel {

enum class VolumeFormat : uint8_t { Sponge, Structure, Kbr, Litematic };

// The encoded payload of an unnamed NBT compound: its entries, then the closing TAG_End, exactly
// as they stand in a file (big-endian, modified UTF-8). Kept as bytes so that what a file held is
// written back byte for byte, tag types included.
using NbtCompoundBytes = std::vector<std::byte>;

// A block entity: its position counted from the volume's minimum corner, and its data in the
// game's own form: a compound holding "id" and the entity's fields, without the position keys
// that each format spells its own way ("Pos", "pos", "x"/"y"/"z").
struct VolumeBlockEntity {
  BlockPosition position;
  NbtCompoundBytes data;
};

// An entity: its position counted from the volume's minimum corner (fractional), and its data in
// the game's own form: a compound holding "id" and the entity's fields, without "Pos".
struct VolumeEntity {
  std::array<double, 3> position{};
  NbtCompoundBytes data;
};

// Palette indices of every position, `width` bytes each (1, 2 or 4: the smallest that holds the
// palette), native byte order, ordered y, then z, then x: index (y * size_z + z) * size_x + x.
struct IndexGrid {
  uint8_t width = 1;
  std::vector<std::byte> bytes;
};

struct Volume {
  VolumeFormat format = VolumeFormat::Sponge;
  // The format's own version number (Sponge 1-3, KBR header version, Litematica version); 0 where
  // the format has none (structure files).
  int32_t version = 0;
  std::optional<int32_t> data_version;
  // Where the volume's minimum corner stands in the world or the file's frame.
  BlockPosition origin;
  // Positions per axis: x, y, z.
  std::array<uint32_t, 3> size{};
  // Canonical state texts, "name[k=v,...]" with keys sorted; entry 0 is "minecraft:air".
  std::vector<std::string> palette;
  IndexGrid blocks;
  std::vector<VolumeBlockEntity> block_entities;
  std::vector<VolumeEntity> entities;
  // How many palettes the file offers (structure files with a "palettes" list); 1 otherwise.
  uint32_t palette_count = 1;

  // --- What Litematica files hold beyond the shared model (empty for the other formats) ---
  // A named part of a Litematica file: its box in the volume and the size as the file wrote it.
  struct NamedRegion {
    std::string name;
    // The box's minimum corner, counted from the volume's minimum corner, and its positions per
    // axis (x, y, z).
    BlockPosition min;
    std::array<uint32_t, 3> size{};
    // The file's "Size": negative on an axis where the region was recorded from its far end, so
    // that its "Position" is the box's maximum there.
    std::array<int32_t, 3> file_size{};
  };
  // The regions in file order (the one chosen when a single region was read).
  std::vector<NamedRegion> regions;
  // The Litematica sub-version, absent in files older than its introduction.
  std::optional<int32_t> sub_version;
  // The payload of the file's "Metadata" compound, exactly as stored; empty when the file has none.
  NbtCompoundBytes metadata;
  // Scheduled block and fluid updates: positions counted from the volume's minimum corner (files
  // hold some just outside their region's box), data without "x", "y" and "z" (the kept fields:
  // "Block" or "Fluid", "Time", "Priority", ...).
  std::vector<VolumeBlockEntity> pending_block_ticks;
  std::vector<VolumeBlockEntity> pending_fluid_ticks;
};

}  // namespace kubrel
