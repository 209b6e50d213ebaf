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
#include "common/page_buffer.h"

namespace kubrel {

// Schematic: MCEdit and Schematica ".schematic" files, read only (their blocks are numeric ids).
enum class VolumeFormat : uint8_t { Sponge, Structure, Kbr, Litematic, Schematic };

// The encoded payload of an unnamed NBT compound: its entries, then the closing TAG_End, exactly
// as they stand in a file (big-endian, modified UTF-8). Kept as bytes so that what a file held is
// written back byte for byte, tag types included.
using NbtCompoundBytes = std::vector<std::byte>;

// How each format's block entities and entities map to these, so that a writer maps them back:
//
// Sponge v1/v2 block entity {Pos: [I; x, y, z], Id: "ns:name", fields...} (v1 lists them in
//   "TileEntities", v2 in "BlockEntities"): position = Pos; data = "id" (the value of "Id", else
//   of the element's own "id") as the first entry, then every other entry in file order except
//   Pos, Id, id, x, y, z. Write back: Pos from position, Id from data's "id", the rest as is.
// Sponge v3 block entity {Pos, Id, Data: {fields...}} (in "Blocks"."BlockEntities"): position =
//   Pos; data = "id" from Id, then Data's entries and any field beside Data, except id, Pos, x, y,
//   z. Write back: Pos, Id from data's "id", Data = data (its "id" too, which tools that read Data
//   alone need).
// Sponge entity, v2 {Pos: [D, D, D], Id, fields...} and v3 {Pos, Id, Data: {fields...}}:
//   position = Pos counted from the minimum corner: version 3 stores it so, version 2 in world
//   coordinates (Pos minus Offset); data = "id" from Id, then the fields (v2) or Data's entries
//   (v3), and Pos. A block entity or entity without Id keeps the "id" it holds itself (where v3
//   keeps it inside Data).
// Structure block {pos: [x, y, z], state: i, nbt: {id, fields...}}: position = pos, data = nbt
//   without x, y, z (which the game does not write there). Write back: nbt = data.
// Structure entity {pos: [D, D, D], blockPos: [I, I, I], nbt: {id, Pos, fields...}}: position =
//   pos; block_position = blockPos; data = nbt (its Pos is the world position of the save, which
//   the game recomputes on placement). Write back: nbt = data, with Pos = pos where it has none.
// KBR holds neither.
//
// A block entity: its position counted from the volume's minimum corner, and its data in the
// game's own form: a compound holding "id" and the entity's fields, without the position keys
// that each format spells its own way ("Pos", "pos", "x"/"y"/"z").
struct VolumeBlockEntity {
  BlockPosition position;
  NbtCompoundBytes data;
};

// An entity: its position counted from the volume's minimum corner (fractional), and its data in
// the game's own form: a compound holding "id" and the entity's fields. "Pos" in the data is the
// position as the file stored it, in the file's own frame: writers write `position` and keep those
// exact doubles where they still equal it within rounding, so that a round trip changes no bit.
struct VolumeEntity {
  std::array<double, 3> position{};
  NbtCompoundBytes data;
  // The block the entity belongs to (a structure file's "blockPos", which for hanging entities
  // is not the block its position falls in); absent in formats that do not store it.
  std::optional<BlockPosition> block_position;
};

// Palette indices of every position, `width` bytes each (1, 2 or 4: the smallest that holds the
// palette), native byte order, ordered y, then z, then x: index (y * size_z + z) * size_x + x.
struct IndexGrid {
  uint8_t width = 1;
  PageBuffer bytes;
};

struct Volume {
  VolumeFormat format = VolumeFormat::Sponge;
  // The format's own version number (Sponge 1-3, KBR header version, Litematica version); 0 where
  // the format has none (structure files).
  int32_t version = 0;
  std::optional<int32_t> data_version;
  // Where the volume's minimum corner stands in the world or the file's frame.
  BlockPosition origin;
  // The point of the world or frame that a paste puts where the player stands (WorldEdit's
  // clipboard origin, a Litematica file's own origin), when the file says; `origin` minus it is
  // the paste offset, which a conversion between formats that store it keeps.
  std::optional<BlockPosition> paste_origin;
  // Positions per axis: x, y, z.
  std::array<uint32_t, 3> size{};
  // Canonical state texts, "name[k=v,...]" with keys sorted; entry 0 is "minecraft:air". A volume
  // read from numeric ids holds legacy states (common/legacy_state.h), which no writer takes.
  std::vector<std::string> palette;
  IndexGrid blocks;
  std::vector<VolumeBlockEntity> block_entities;
  std::vector<VolumeEntity> entities;
  // How many palettes the file offers (structure files with a "palettes" list); 1 otherwise.
  uint32_t palette_count = 1;
  // Every palette of a structure file that offers several, aligned with `palette`: entry i of each
  // is the state that palette puts where `palette[i]` stands (the chosen one equals `palette`).
  // Empty otherwise.
  std::vector<std::vector<std::string>> palettes;

  // --- What a file holds beyond blocks and entities, so that nothing is lost on the way back ---
  // The payload of the file's metadata compound ("Metadata" of Sponge and Litematica files),
  // exactly as stored; empty when the file has none.
  NbtCompoundBytes metadata;
  // The entries of the document's top compound (a Sponge file's "Schematic") that this model does
  // not hold, as a compound payload: written back when the volume is saved in its own format.
  NbtCompoundBytes other_tags;
  // The biome of every position (Sponge files that store biomes): `grid` holds indices into
  // `palette`, ordered y, z, x like the blocks, over `height` layers: the volume's height, or 1
  // for files that store one biome per column.
  struct Biomes {
    std::vector<std::string> palette;
    IndexGrid grid;
    uint32_t height = 0;
  };
  std::optional<Biomes> biomes;

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
    // The region's entries that this model does not hold (as other_tags above).
    NbtCompoundBytes other_tags;
    // The region's own blocks (indices into the volume's palette, ordered y, z, x over its box)
    // and block entities (positions counted from the volume's minimum corner), kept only for a
    // region whose box meets another's: where regions meet, the grid shows the later region's
    // block unless that is air (then the earlier one's), and `block_entities` only the shown
    // block's entity. Empty otherwise: the volume's grid and block entities then hold the region
    // as it was written. A writer writes a region that holds its own blocks from them and its own
    // block entities, not from the grid.
    IndexGrid own_blocks;
    std::vector<VolumeBlockEntity> own_block_entities;
  };
  // The regions in file order (the one chosen when a single region was read).
  std::vector<NamedRegion> regions;
  // The Litematica sub-version, absent in files older than its introduction.
  std::optional<int32_t> sub_version;
  // Scheduled block and fluid updates: positions counted from the volume's minimum corner (files
  // hold some just outside their region's box), data without "x", "y" and "z" (the kept fields:
  // "Block" or "Fluid", "Time", "Priority", ...).
  std::vector<VolumeBlockEntity> pending_block_ticks;
  std::vector<VolumeBlockEntity> pending_fluid_ticks;
};

}  // namespace kubrel
