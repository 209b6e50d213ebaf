// Structure file encoding of a volume or a piece of it.
#include "volume/structure_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "nbt/nbt_writer.h"
#include "volume/kept_parts.h"
#include "volume/palette_plan.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

// One element of "blocks" without its closing TAG_End: the three coordinates and the state are
// patched into a copy per block, so a block costs one copy instead of a dozen tag writes.
class BlockEntryTemplate {
 public:
  BlockEntryTemplate() {
    VectorSink sink;
    NbtWriter w(sink);
    w.int_list("pos", {0, 0, 0});
    w.int_("state", 0);
    (void)w.finish();
    bytes_ = sink.take();
  }

  // Sets the coordinates that a row of blocks shares.
  void set_row(uint32_t y, uint32_t z) {
    put(kPosOffset + 4, y);
    put(kPosOffset + 8, z);
  }

  std::span<const uint8_t> with(uint32_t x, uint32_t state) {
    put(kPosOffset, x);
    put(bytes_.size() - 4, state);
    return bytes_;
  }

 private:
  // Type byte, name length and "pos", element kind and count.
  static constexpr size_t kPosOffset = 1 + 2 + 3 + 1 + 4;

  void put(size_t offset, uint32_t value) {
    value = nbt_wire::from_big_endian(value);
    std::memcpy(bytes_.data() + offset, &value, 4);
  }

  std::vector<uint8_t> bytes_;
};

void write_states(NbtWriter& w, const std::vector<std::string>& texts, const PalettePlan& plan) {
  for (uint32_t volume_index : plan.states) write_state_compound(w, texts[volume_index]);
}

// One "palette", or every palette of a volume read with several ("palettes", each aligned with
// the volume's palette).
void write_palette(NbtWriter& w, const Volume& volume, const PalettePlan& plan) {
  const auto states = static_cast<int32_t>(plan.states.size());
  bool aligned = volume.palettes.size() > 1;
  for (const auto& variant : volume.palettes)
    aligned = aligned && variant.size() == volume.palette.size();
  if (!aligned) {
    w.begin_list("palette", NbtKind::Compound, states);
    write_states(w, volume.palette, plan);
    return;
  }
  w.begin_list("palettes", NbtKind::List, static_cast<int32_t>(volume.palettes.size()));
  for (const auto& variant : volume.palettes) {
    w.put_list_header(NbtKind::Compound, states);
    write_states(w, variant, plan);
  }
}

struct PlacedBlockEntity {
  uint64_t cell;
  const VolumeBlockEntity* entity;
};

Result<std::vector<PlacedBlockEntity>> block_entities_in(const Volume& volume, const VolumeBox& box,
                                                         const PalettePlan& plan) {
  const VolumeBox all = whole_box(volume);
  std::vector<PlacedBlockEntity> placed;
  for (const VolumeBlockEntity& entity : volume.block_entities) {
    const BlockPosition& p = entity.position;
    if (!all.contains(p.x, p.y, p.z))
      return fail("block entity at " + p.debug_string() + " lies outside the volume");
    if (!box.contains(p.x, p.y, p.z)) continue;
    uint64_t cell =
        (uint64_t(uint32_t(p.y)) * volume.size[2] + uint32_t(p.z)) * volume.size[0] + uint32_t(p.x);
    placed.push_back({cell, &entity});
  }
  std::stable_sort(placed.begin(), placed.end(),
                   [](const auto& a, const auto& b) { return a.cell < b.cell; });
  // A structure keeps a block entity with its block: none where no block is written, one at most.
  for (size_t i = 0; i < placed.size(); ++i) {
    const BlockPosition& p = placed[i].entity->position;
    if (i > 0 && placed[i - 1].cell == placed[i].cell)
      return fail("two block entities stand at " + p.debug_string() +
                  "; a structure holds one per position");
    const uint32_t index = with_index_type(volume.blocks.width, [&]<class T>(T) -> uint32_t {
      T value;
      std::memcpy(&value, volume.blocks.bytes.data() + placed[i].cell * sizeof(T), sizeof(T));
      return value;
    });
    if (index < plan.file_id.size() && plan.file_id[index] == kNotWritten)
      return fail("the block entity at " + p.debug_string() + " stands on " +
                  volume.palette[index] + ", which a structure leaves out");
  }
  return placed;
}

Status write_blocks(NbtWriter& w, const Volume& volume, const VolumeBox& box,
                    const PalettePlan& plan) {
  KUBREL_ASSIGN_OR_RETURN(std::vector<PlacedBlockEntity> entities,
                          block_entities_in(volume, box, plan));
  uint64_t count = box.count() - plan.left_out;
  if (count > INT32_MAX) return fail("volume too large for a structure's block list");
  w.begin_list("blocks", NbtKind::Compound, static_cast<int32_t>(count));
  BlockEntryTemplate entry;
  const uint32_t* file_id = plan.file_id.data();
  const uint64_t size_x = volume.size[0];
  const uint64_t size_z = volume.size[2];
  size_t next_entity = 0;
  for_each_row(volume, box, [&](const auto* row, uint64_t first, uint64_t count) {
    // A row shares its y and z, so only x and the state change from one block to the next.
    const uint64_t line = first / size_x;
    entry.set_row(uint32_t(line / size_z - box.min[1]), uint32_t(line % size_z - box.min[2]));
    for (uint64_t x = 0; x < count; ++x) {
      const uint64_t cell = first + x;
      uint32_t id = file_id[row[x]];
      bool has_entity = next_entity < entities.size() && entities[next_entity].cell == cell;
      if (id != kNotWritten) [[likely]] {
        w.put_raw(entry.with(uint32_t(x), id));
        if (has_entity) {
          w.begin_compound("nbt");
          w.put_compound_payload(entities[next_entity].entity->data);
        }
        w.end_compound();
      }
      while (next_entity < entities.size() && entities[next_entity].cell <= cell) ++next_entity;
    }
  });
  return {};
}

bool has_pos(const NbtCompoundBytes& data) {
  auto entries = nbt_compound_entries(data);
  if (!entries) return false;
  return std::any_of(entries->begin(), entries->end(),
                     [](const NbtEntry& entry) { return nbt_name_is(entry.name, "Pos"); });
}

// The position of an entity moved into the volume and rounded down.
std::array<int64_t, 3> entity_cell(const Volume& volume, const VolumeEntity& entity) {
  std::array<int64_t, 3> cell{};
  for (int axis = 0; axis < 3; ++axis) {
    int64_t top = volume.size[axis] == 0 ? 0 : int64_t{volume.size[axis]} - 1;
    cell[axis] = std::clamp<int64_t>(block_coordinate(entity.position[axis]), 0, top);
  }
  return cell;
}

void write_entities(NbtWriter& w, const Volume& volume, const VolumeBox& box) {
  std::vector<const VolumeEntity*> inside;
  for (const VolumeEntity& entity : volume.entities) {
    auto cell = entity_cell(volume, entity);
    if (box.contains(cell[0], cell[1], cell[2]) || box.count() == 0) inside.push_back(&entity);
  }
  w.begin_list("entities", NbtKind::Compound, static_cast<int32_t>(inside.size()));
  for (const VolumeEntity* entity : inside) {
    double x = entity->position[0] - box.min[0];
    double y = entity->position[1] - box.min[1];
    double z = entity->position[2] - box.min[2];
    w.double_list("pos", {x, y, z});
    w.int_list("blockPos", {block_coordinate(x), block_coordinate(y), block_coordinate(z)});
    w.begin_compound("nbt");
    // The game's own files hold the entity's world "Pos" in its data; a volume from elsewhere
    // gets its place in the structure, which the game recomputes on placement anyway.
    if (!has_pos(entity->data)) w.double_list("Pos", {x, y, z});
    w.put_compound_payload(entity->data);
    w.end_compound();
  }
}

}  // namespace

Result<NotKept> write_structure(const Volume& volume, const VolumeBox& box, ByteSink& sink) {
  static constexpr std::string_view kWritten[] = {"DataVersion", "size",     "palette", "palettes",
                                                  "blocks",      "entities", "author"};
  KUBREL_TRY(check_grid(volume));
  for (int axis = 0; axis < 3; ++axis) {
    if (uint64_t{box.min[axis]} + box.size[axis] > volume.size[axis])
      return fail("structure box reaches outside the volume");
    if (box.size[axis] > INT32_MAX) return fail("volume too large for a structure");
  }
  KUBREL_ASSIGN_OR_RETURN(PalettePlan plan, plan_palette(volume, box, {kStructureVoidText}));
  NotKept not_kept;
  KUBREL_ASSIGN_OR_RETURN(std::vector<NamedEntry> metadata,
                          metadata_for(volume, VolumeFormat::Structure, {}, not_kept));
  NbtWriter w(sink);
  w.begin_compound("");
  // Files from before the game numbered its data hold none; a guessed one would stop the game
  // from upgrading their states.
  if (volume.data_version) w.int_("DataVersion", *volume.data_version);
  write_entries(w, metadata);
  w.int_list("size", {static_cast<int32_t>(box.size[0]), static_cast<int32_t>(box.size[1]),
                      static_cast<int32_t>(box.size[2])});
  write_palette(w, volume, plan);
  KUBREL_TRY(write_blocks(w, volume, box, plan));
  write_entities(w, volume, box);
  KUBREL_TRY(write_other_tags(w, volume.other_tags, volume.format, VolumeFormat::Structure,
                              kWritten, not_kept));
  w.end_compound();
  KUBREL_TRY(w.finish());
  return not_kept;
}

std::vector<VolumeBox> structure_pieces(const Volume& volume, uint32_t piece_size) {
  piece_size = std::max<uint32_t>(piece_size, 1);
  if (volume.size[0] == 0 || volume.size[1] == 0 || volume.size[2] == 0) return {whole_box(volume)};
  std::vector<VolumeBox> pieces;
  auto step = [&](int axis, uint32_t at) { return std::min(piece_size, volume.size[axis] - at); };
  for (uint32_t y = 0; y < volume.size[1]; y += step(1, y)) {
    for (uint32_t z = 0; z < volume.size[2]; z += step(2, z)) {
      for (uint32_t x = 0; x < volume.size[0]; x += step(0, x))
        pieces.push_back({{x, y, z}, {step(0, x), step(1, y), step(2, z)}});
    }
  }
  return pieces;
}

std::string piece_name(const VolumeBox& box) {
  return std::to_string(box.min[0]) + "_" + std::to_string(box.min[1]) + "_" +
         std::to_string(box.min[2]);
}

}  // namespace kubrel
