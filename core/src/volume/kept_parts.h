// What the writers share to lose nothing of a file beyond its blocks: the data version they must
// not invent, the document's other tags written back into the format they came from, metadata
// mapped between the formats' own spellings, and the list of what a format could not hold, which
// a save reports instead of dropping it silently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "nbt/nbt_entries.h"
#include "nbt/nbt_writer.h"
#include "volume/volume.h"

namespace kubrel {

// What the Sponge writer puts under "Metadata" to say which program wrote the file, where the
// volume brings no metadata of its own.
inline constexpr const char* kWrittenBy = "kubrel";

// The parts of a volume that a save could not write in the format asked for, named for people
// ("biomes", "metadata \"Description\"", ...), in the order met.
using NotKept = std::vector<std::string>;

// The volume's data version, or a failure naming `format`, which requires one: the game upgrades
// a file's states from the version it states, so a guessed one would corrupt older files.
[[nodiscard]] Result<int32_t> required_data_version(const Volume& volume, std::string_view format);

// Writes `tags`, other tags of a volume read from `read_from`, when that is `format` (they mean
// nothing elsewhere: noted in `not_kept` then), leaving out entries named in `written`, which the
// writer has already put there.
[[nodiscard]] Status write_other_tags(NbtWriter& w, const NbtCompoundBytes& tags,
                                      VolumeFormat read_from, VolumeFormat format,
                                      std::span<const std::string_view> written, NotKept& not_kept);

// A metadata field that formats share under their own names.
struct SharedField {
  std::string_view sponge;
  std::string_view litematic;
  std::string_view structure;
};
inline constexpr SharedField kSharedMetadata[] = {
    {"Name", "Name", ""},
    {"Author", "Author", "author"},
    {"Date", "TimeCreated", ""},
};

// The volume's metadata entries as `format` spells them, each with the name to write it under:
// as read when the volume comes from that format; otherwise the shared fields renamed, every
// other entry noted in `not_kept`. Entries named in `leave_out` (which the writer computes
// afresh) are skipped. The entries point into the volume's metadata.
struct NamedEntry {
  std::string_view name;
  NbtEntry entry;
};
[[nodiscard]] Result<std::vector<NamedEntry>> metadata_for(
    const Volume& volume, VolumeFormat format, std::span<const std::string_view> leave_out,
    NotKept& not_kept);

// Writes each entry under its name (the payload as it is).
void write_entries(NbtWriter& w, std::span<const NamedEntry> entries);

}  // namespace kubrel
