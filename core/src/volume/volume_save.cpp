// Format choice, compression and atomic files around the format writers.
#include "volume/volume_save.h"

#include <algorithm>
#include <cctype>

#include "common/legacy_state.h"
#include "io/atomic_file.h"
#include "volume/kbr_writer.h"
#include "volume/litematic_writer.h"
#include "volume/sponge_writer.h"
#include "volume/volume_loader.h"

namespace kubrel {

namespace {

bool ends_with_ignoring_case(const std::string& text, std::string_view suffix) {
  if (text.size() < suffix.size()) return false;
  return std::equal(suffix.begin(), suffix.end(), text.end() - suffix.size(), [](char a, char b) {
    return a == std::tolower(static_cast<unsigned char>(b));
  });
}

// Runs `encode` into a gzip member written atomically to `path`.
template <class Encode>
Status write_file(const std::string& path, int gzip_level, AtomicFileOptions options,
                  Encode&& encode) {
  KUBREL_ASSIGN_OR_RETURN(auto file, AtomicFile::create(path, options));
  KUBREL_ASSIGN_OR_RETURN(auto gzip, GzipSink::create(*file, gzip_level));
  KUBREL_TRY(encode(*gzip));
  KUBREL_TRY(gzip->finish());
  return file->commit();
}

// What only some formats hold: biomes (Sponge), several palettes (structures), the paste origin
// (Sponge, Litematica), metadata and other tags (KBR has no place for any).
void note_unheld_parts(const Volume& volume, VolumeFormat format, NotKept& not_kept) {
  if (volume.biomes && format != VolumeFormat::Sponge) not_kept.push_back("biomes");
  if (volume.palette_count > 1 &&
      (format != VolumeFormat::Structure || volume.palettes.size() != volume.palette_count))
    not_kept.push_back(std::to_string(volume.palette_count - 1) + " other palettes");
  const bool anchored = format == VolumeFormat::Sponge || format == VolumeFormat::Litematic;
  if (volume.paste_origin && volume.paste_origin != volume.origin && !anchored)
    not_kept.push_back("the paste origin");
  if (format == VolumeFormat::Kbr) {
    (void)metadata_for(volume, format, {}, not_kept);
    if (!volume.other_tags.empty())
      not_kept.push_back(std::string(volume_format_name(volume.format)) + " tags");
  }
}

// Refuses a volume of numeric-id blocks: no format we write holds them (KBR's palette grammar
// has no "#" either), and translating them to modern states is not ours to guess.
Status writable_states(const Volume& volume, std::string_view format) {
  if (auto legacy = first_legacy_state(volume.palette))
    return legacy_write_refusal(format, *legacy);
  return {};
}

}  // namespace

Result<VolumeFormat> format_from_path(const std::string& path) {
  if (ends_with_ignoring_case(path, ".schem") || ends_with_ignoring_case(path, ".schematic"))
    return VolumeFormat::Sponge;
  if (ends_with_ignoring_case(path, ".nbt")) return VolumeFormat::Structure;
  if (ends_with_ignoring_case(path, ".kbr")) return VolumeFormat::Kbr;
  if (ends_with_ignoring_case(path, ".litematic")) return VolumeFormat::Litematic;
  return fail("cannot tell the format from the name " + path +
              ": use .schem, .nbt, .kbr or .litematic, or name the format");
}

Result<SaveReport> encode_volume(const Volume& volume, VolumeFormat format,
                                 const SaveOptions& options, ByteSink& sink) {
  KUBREL_TRY(writable_states(volume, volume_format_name(format)));
  KUBREL_ASSIGN_OR_RETURN(auto gzip, GzipSink::create(sink, options.gzip_level));
  SaveReport report;
  switch (format) {
    case VolumeFormat::Sponge: {
      KUBREL_ASSIGN_OR_RETURN(report.not_kept,
                              write_sponge(volume, {.version = options.sponge_version}, *gzip));
      break;
    }
    case VolumeFormat::Structure: {
      KUBREL_ASSIGN_OR_RETURN(report.not_kept, write_structure(volume, *gzip));
      break;
    }
    case VolumeFormat::Kbr: {
      KUBREL_ASSIGN_OR_RETURN(KbrWriteReport kbr,
                              write_kbr(volume, {.drop_entities = options.drop_entities}, *gzip));
      report.dropped_block_entities = kbr.dropped_block_entities;
      report.dropped_entities = kbr.dropped_entities;
      break;
    }
    case VolumeFormat::Litematic: {
      KUBREL_ASSIGN_OR_RETURN(report.not_kept, write_litematic(volume, *gzip));
      break;
    }
    default:
      return fail("this format cannot be written");
  }
  KUBREL_TRY(gzip->finish());
  note_unheld_parts(volume, format, report.not_kept);
  return report;
}

Result<SaveReport> save_volume(const Volume& volume, const std::string& path,
                               const SaveOptions& options) {
  VolumeFormat format;
  if (options.format) {
    format = *options.format;
  } else {
    KUBREL_ASSIGN_OR_RETURN(format, format_from_path(path));
  }
  KUBREL_TRY(writable_states(volume, volume_format_name(format)));
  KUBREL_ASSIGN_OR_RETURN(
      auto file, AtomicFile::create(path, {.replace_read_only = options.replace_read_only}));
  KUBREL_ASSIGN_OR_RETURN(SaveReport report, encode_volume(volume, format, options, *file));
  KUBREL_TRY(file->commit());
  return report;
}

Result<std::vector<std::string>> save_structure_pieces(const Volume& volume,
                                                       const std::string& stem, uint32_t piece_size,
                                                       int gzip_level, bool replace_read_only) {
  KUBREL_TRY(writable_states(volume, "structure pieces"));
  std::vector<std::string> paths;
  for (const VolumeBox& box : structure_pieces(volume, piece_size)) {
    std::string path = stem + "_" + piece_name(box) + ".nbt";
    KUBREL_TRY(write_file(path, gzip_level, {.replace_read_only = replace_read_only},
                          [&](ByteSink& sink) -> Status {
                            KUBREL_TRY(write_structure(volume, box, sink));
                            return {};
                          }));
    paths.push_back(std::move(path));
  }
  return paths;
}

}  // namespace kubrel
