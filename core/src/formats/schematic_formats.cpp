// The format table and the routing of a named or detected gzip input through it.
#include "formats/schematic_formats.h"

#include <array>

#include "formats/any_reader.h"
#include "formats/kbr_reader.h"
#include "formats/mojang_reader.h"
#include "formats/sponge_reader.h"
#include "io/gzip_source.h"

namespace kubrel {

namespace {

template <class Reader>
std::unique_ptr<SchematicInputStream> make_reader(std::unique_ptr<ByteSource> source) {
  return std::make_unique<Reader>(std::move(source));
}

constexpr std::array<SchematicFormat, 3> kFormats = {{
    {"SPONGE", &make_reader<SpongeSchematicInputStream>},
    {"MOJANG", &make_reader<MojangSchematicInputStream>},
    {"KBR", &make_reader<KBRSchematicInputStream>},
}};

}  // namespace

std::span<const SchematicFormat> schematic_formats() {
  return kFormats;
}

std::unique_ptr<SchematicInputStream> open_gzip_schematic(std::string_view name,
                                                          std::unique_ptr<ByteSource> compressed) {
  if (name == kDetectFormatName) {
    return AnySchematicInputStream::new_from_known_gzip(std::move(compressed));
  }
  std::unique_ptr<ByteSource> decoded = make_gzip_chain(std::move(compressed));
  for (const SchematicFormat& format : kFormats) {
    if (format.name == name) return format.make(std::move(decoded));
  }
  return nullptr;
}

}  // namespace kubrel
