// Kept parts: other tags and metadata carried from the file a volume was read from to the one it
// is saved as.
#include "volume/kept_parts.h"

#include <algorithm>

#include "volume/volume_loader.h"

namespace kubrel {

namespace {

bool named_in(NbtBytes name, std::span<const std::string_view> names) {
  return std::any_of(names.begin(), names.end(),
                     [&](std::string_view text) { return nbt_name_is(name, text); });
}

std::string_view as_text(NbtBytes name) {
  return {reinterpret_cast<const char*>(name.data()), name.size()};
}

std::string_view spelled_in(const SharedField& field, VolumeFormat format) {
  switch (format) {
    case VolumeFormat::Sponge:
      return field.sponge;
    case VolumeFormat::Litematic:
      return field.litematic;
    case VolumeFormat::Structure:
      return field.structure;
    default:
      return {};
  }
}

// Metadata that a format derives from the rest of the file, which another format derives anew (or
// holds otherwise, as the paste origin): not worth a word when it is left behind.
constexpr std::string_view kDerivedMetadata[] = {"TimeModified", "EnclosingSize", "RegionCount",
                                                 "TotalBlocks",  "TotalVolume",   "WEOffsetX",
                                                 "WEOffsetY",    "WEOffsetZ",     "WrittenBy"};

}  // namespace

Result<int32_t> required_data_version(const Volume& volume, std::string_view format) {
  if (volume.data_version) return *volume.data_version;
  return fail("the volume has no data version, which " + std::string(format) +
              " files require: name the game version its states are of (data_version=)");
}

Status write_other_tags(NbtWriter& w, const NbtCompoundBytes& tags, VolumeFormat read_from,
                        VolumeFormat format, std::span<const std::string_view> written,
                        NotKept& not_kept) {
  if (tags.empty()) return {};
  auto entries = nbt_compound_entries(tags);
  if (!entries)
    return fail("the volume's other tags are malformed NBT: " + entries.error().message);
  for (const NbtEntry& entry : *entries) {
    if (read_from != format) {
      not_kept.push_back(std::string(volume_format_name(read_from)) + " tag \"" +
                         std::string(as_text(entry.name)) + "\"");
    } else if (!named_in(entry.name, written)) {
      w.put_raw({reinterpret_cast<const uint8_t*>(entry.whole.data()), entry.whole.size()});
    }
  }
  return {};
}

Result<std::vector<NamedEntry>> metadata_for(const Volume& volume, VolumeFormat format,
                                             std::span<const std::string_view> leave_out,
                                             NotKept& not_kept) {
  std::vector<NamedEntry> out;
  if (volume.metadata.empty()) return out;
  auto entries = nbt_compound_entries(volume.metadata);
  if (!entries) return fail("the volume's metadata is malformed NBT: " + entries.error().message);
  for (const NbtEntry& entry : *entries) {
    std::string_view name = as_text(entry.name);
    if (volume.format != format) {
      const auto shared = std::find_if(
          std::begin(kSharedMetadata), std::end(kSharedMetadata),
          [&](const SharedField& field) { return spelled_in(field, volume.format) == name; });
      name = shared == std::end(kSharedMetadata) ? std::string_view{} : spelled_in(*shared, format);
      if (name.empty()) {
        if (!named_in(entry.name, kDerivedMetadata))
          not_kept.push_back("metadata \"" + std::string(as_text(entry.name)) + "\"");
        continue;
      }
    }
    if (std::find(leave_out.begin(), leave_out.end(), name) != leave_out.end()) continue;
    out.push_back({name, entry});
  }
  return out;
}

void write_entries(NbtWriter& w, std::span<const NamedEntry> entries) {
  for (const NamedEntry& named : entries) {
    w.tag(named.entry.kind, named.name);
    w.put_raw(
        {reinterpret_cast<const uint8_t*>(named.entry.payload.data()), named.entry.payload.size()});
  }
}

}  // namespace kubrel
