// Decompression, detection and dispatch to the array decoders.
#include "volume/volume_loader.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "io/gzip_source.h"
#include "io/whole_gzip.h"
#include "nbt/nbt_view.h"
#include "volume/kbr_volume.h"
#include "volume/litematic_reader.h"
#include "volume/schematic_volume.h"
#include "volume/sponge_volume.h"
#include "volume/structure_volume.h"

namespace kubrel {

namespace {

constexpr uint8_t kGzipMagic[] = {0x1F, 0x8B};
constexpr size_t kFirstRead = 64 * 1024;
// How far the gzip trailer's size is believed before the bytes arrive, as a multiple of the
// input: beyond what most schematics inflate to, far below what deflate can reach.
constexpr uint64_t kTrustedRatio = 16;

// The refusal of an input or document past the load's limit, naming the option that raises it.
std::unexpected<Error> too_large(std::string_view what, uint64_t limit) {
  return fail(std::string(what) + " holds more than max_document allows (" + std::to_string(limit) +
              " bytes); a larger max_document loads it");
}

// Reads `source` to its end into `bytes` (read_up_to), refusing more than `limit` bytes by the
// load's own message.
Status read_to_end(ByteSource& source, size_t initial, uint64_t limit, std::string_view what,
                   PageBuffer& bytes) {
  KUBREL_ASSIGN_OR_RETURN(bool ended,
                          read_up_to(source, std::max(initial, kFirstRead), limit, bytes));
  if (!ended) return too_large(what, limit);
  return {};
}

constexpr std::string_view kInput = "the input";
constexpr std::string_view kDocument = "the inflated document";

// The gzip member's payload, at most `limit` bytes. The trailer's size (mod 2^32) is only a hint:
// it sizes the first buffer within a bound that the input's own size sets, and the buffer grows
// as bytes arrive.
Result<PageBuffer> inflate(std::span<const uint8_t> input, uint64_t limit) {
  uint64_t hint =
      std::min<uint64_t>(gzip_trailer_size(input) + 1, kTrustedRatio * input.size() + kFirstRead);
  auto chain = make_gzip_chain(std::make_unique<SpanSource>(input));
  PageBuffer document;
  if (auto read = read_to_end(*chain, static_cast<size_t>(hint), limit, kDocument, document);
      !read) {
    if (document.size() > limit) return std::unexpected(std::move(read.error()));
    return fail("gzip: " + read.error().message);
  }
  return document;
}

bool starts_with(std::span<const uint8_t> bytes, std::span<const uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

std::string hex_prefix(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < std::min<size_t>(bytes.size(), 8); ++i) {
    if (i > 0) text += ' ';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

}  // namespace

std::string_view volume_format_name(VolumeFormat format) {
  switch (format) {
    case VolumeFormat::Sponge:
      return "sponge";
    case VolumeFormat::Structure:
      return "structure";
    case VolumeFormat::Kbr:
      return "kbr";
    case VolumeFormat::Litematic:
      return "litematic";
    case VolumeFormat::Schematic:
      return "schematic";
  }
  return "unknown";
}

Result<VolumeFormat> detect_volume_format(std::span<const uint8_t> document) {
  if (starts_with(document, kKbrMagicPrefix)) return VolumeFormat::Kbr;
  if (document.empty()) return fail("not a schematic: the input is empty");
  if (document[0] != static_cast<uint8_t>(NbtKind::Compound)) {
    return fail("not a schematic: the input starts with bytes " + hex_prefix(document) +
                ", which begin neither an NBT document, a KBR file nor a gzip member");
  }
  // The root's tag names decide; a document broken further on still shows the tags before the
  // break, and the decoder of the format they name then reports the break.
  bool sponge = false;
  bool structure = false;
  bool legacy = false;
  bool regions = false;
  bool version_int = false;
  auto root = nbt_root_compound(document);
  if (!root) return fail("not a schematic: " + root.error().message);
  auto walked =
      for_each_entry(document, *root, 0, [&](const NbtTagRef& entry, NbtCursor&) -> Result<bool> {
        std::string_view name = entry.name;
        if (name == "Blocks" && entry.kind == NbtKind::ByteArray) legacy = true;
        if (name == "Regions" && entry.kind == NbtKind::Compound) regions = true;
        if (name == "Version" && entry.kind == NbtKind::Int) version_int = true;
        if (name == "Schematic" || name == "Palette" || name == "BlockData" ||
            (name == "Blocks" && entry.kind == NbtKind::Compound) || name == "Width" ||
            name == "Length") {
          sponge = true;
        }
        if (name == "size" || name == "palette" || name == "palettes" || name == "blocks") {
          structure = true;
        }
        return false;
      });
  if (legacy) return VolumeFormat::Schematic;
  // Sponge v1/v2 also hold an Int "Version"; only Litematica files hold "Regions".
  if (regions && version_int) return VolumeFormat::Litematic;
  if (sponge) return VolumeFormat::Sponge;
  if (structure) return VolumeFormat::Structure;
  if (!walked) return fail("not a schematic: " + walked.error().message);
  return fail(
      "not a schematic: an NBT document whose root holds none of the tags of a Sponge "
      "schematic ('Schematic', 'Palette', 'BlockData', 'Blocks', 'Width') or of a structure "
      "file ('size', 'palette', 'palettes', 'blocks') or of a Litematica file ('Regions' and "
      "'Version')");
}

namespace {

// Decodes `document` as `format`; `owned`, when given, holds the document's bytes and may be
// overwritten: a Sponge grid is then decoded into the document's own pages.
Result<Volume> decode_as(VolumeFormat format, std::span<const uint8_t> document, PageBuffer* owned,
                         const VolumeLoadOptions& options) {
  switch (format) {
    case VolumeFormat::Sponge:
      return owned ? decode_sponge_volume(std::move(*owned)) : decode_sponge_volume(document);
    case VolumeFormat::Structure:
      return decode_structure_volume(document, options.palette);
    case VolumeFormat::Kbr:
      return decode_kbr_volume(document);
    case VolumeFormat::Litematic:
      return read_litematic(BufferedSource::over(document), {.region = options.region});
    case VolumeFormat::Schematic:
      return decode_schematic_volume(document);
  }
  return fail("no decoder for the format " + std::string(volume_format_name(format)));
}

// Whether the root's first entry is a Compound named "Regions", as Litematica writes its files.
bool opens_with_regions(std::span<const uint8_t> document) {
  auto root = nbt_root_compound(document);
  if (!root) return false;
  NbtCursor cursor(document, *root);
  NbtTagRef entry;
  auto got = cursor.next_entry(entry);
  return got && *got && entry.kind == NbtKind::Compound && entry.name == "Regions";
}

// Detects (unless named) and decodes `document` (`owned` as decode_as takes it).
Result<Volume> decode_document(std::span<const uint8_t> document, PageBuffer* owned,
                               const VolumeLoadOptions& options) {
  if (!options.format && options.palette == 0 && opens_with_regions(document)) {
    // Detection would walk the regions, nearly the whole document, before the reader walks them
    // again: a document that opens with them is read as Litematica straight away, and is
    // detected only when the reader finds it is not one.
    Result<Volume> volume = decode_as(VolumeFormat::Litematic, document, owned, options);
    if (volume || !volume.error().message.starts_with("not a Litematica file")) return volume;
  }
  VolumeFormat format;
  if (options.format) {
    format = *options.format;
  } else {
    KUBREL_ASSIGN_OR_RETURN(format, detect_volume_format(document));
  }
  if (format == VolumeFormat::Schematic && !options.legacy) return fail(kLegacyMcEditMessage);
  if (format != VolumeFormat::Structure && options.palette != 0) {
    return fail("palette " + std::to_string(options.palette) +
                " was asked for, but only structure files have more than one");
  }
  if (format != VolumeFormat::Litematic && options.region) {
    return fail("region '" + *options.region +
                "' was asked for, but only Litematica files have named regions");
  }
  return decode_as(format, document, owned, options);
}

// `input` is the caller's (left untouched) unless `owned` holds it.
Result<Volume> load_input(std::span<const uint8_t> input, PageBuffer* owned,
                          const VolumeLoadOptions& options) {
  if (!starts_with(input, kGzipMagic)) {
    if (input.size() > options.max_document) return too_large(kInput, options.max_document);
    return decode_document(input, owned, options);
  }
  std::optional<PageBuffer> whole = inflate_whole_gzip(input, options.max_document);
  if (!whole) {
    KUBREL_ASSIGN_OR_RETURN(whole, inflate(input, options.max_document));
  }
  PageBuffer inflated = std::move(*whole);
  if (owned) {
    // The compressed bytes are not needed any more.
    *owned = PageBuffer();
  }
  return decode_document(inflated.bytes(), &inflated, options);
}

}  // namespace

Result<Volume> load_volume(std::span<const uint8_t> input, const VolumeLoadOptions& options) {
  return load_input(input, nullptr, options);
}

Result<Volume> load_volume(ByteSource& source, const VolumeLoadOptions& options) {
  PageBuffer input;
  KUBREL_TRY(read_to_end(source, kFirstRead, options.max_document, kInput, input));
  return load_input(input.bytes(), &input, options);
}

}  // namespace kubrel
