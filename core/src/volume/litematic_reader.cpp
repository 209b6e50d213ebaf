// The document half of the Litematica reader: the root and each region read member by member in
// whatever order the file holds them, each region checked as soon as it closes, then handed to the
// assembly.
#include "volume/litematic_reader.h"

#include <algorithm>
#include <bit>
#include <utility>

#include "io/gzip_source.h"
#include "nbt/nbt_payload_check.h"
#include "nbt/nbt_writer.h"
#include "volume/litematic_assembly.h"
#include "volume/litematic_nbt_walk.h"
#include "volume/volume_parts.h"

namespace kubrel {

namespace {

constexpr int32_t kOldestVersion = 4;
constexpr int32_t kNewestVersion = 7;

std::string quoted(const std::string& text) {
  return "\"" + text + "\"";
}

Status expect_kind(const std::string& name, NbtKind actual, NbtKind wanted) {
  if (actual == wanted) return {};
  return fail(quoted(name) + " is a " + std::string(nbt_kind_name(actual)) + " tag, expected " +
              std::string(nbt_kind_name(wanted)));
}

class DocumentReader {
 public:
  DocumentReader(BufferedSource& source, const LitematicReadOptions& options)
      : source_(source), walk_(source), options_(options) {}

  Result<Volume> read();

 private:
  Status root_member(NbtKind kind, const std::string& name, Volume& volume);
  Status regions();
  Status region(LitematicRegion& region);
  Status region_member(NbtKind kind, const std::string& name, LitematicRegion& region,
                       uint8_t& seen);
  Status check_region(LitematicRegion& region, uint8_t seen);
  Result<std::array<int32_t, 3>> triple(const std::string& name);
  Status palette(LitematicRegion& region);
  Result<std::string> palette_entry();
  // A list of compounds, each copied without the members `take` consumes; `in_place` may read a
  // whole element first (see block_record_in_place), the walk reads those it leaves.
  template <class InPlace, class Take, class Done>
  Status records(const std::string& name, NbtKind kind, InPlace in_place, Take take, Done done);
  Status block_records(const std::string& name, NbtKind kind, std::vector<LitematicRecord>& out);
  bool block_record_in_place(LitematicRecord& record, uint8_t& found, NbtCompoundBytes& out);
  Status entities(NbtKind kind, std::vector<LitematicEntity>& out);

  BufferedSource& source_;
  NbtExactWalk walk_;
  std::vector<std::pair<const uint8_t*, const uint8_t*>> pieces_;
  const LitematicReadOptions& options_;
  std::vector<LitematicRegion> regions_;
  std::vector<std::string> other_names_;
  size_t region_count_ = 0;
};

Result<Volume> DocumentReader::read() {
  KUBREL_ASSIGN_OR_RETURN(NbtKind root, walk_.root());
  if (root != NbtKind::Compound) return fail("not a Litematica file: the root is not a Compound");
  Volume volume;
  volume.format = VolumeFormat::Litematic;
  bool has_version = false;
  bool has_regions = false;
  std::string name;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(NbtKind kind, walk_.next_member(name));
    if (kind == NbtKind::End) break;
    has_version |= name == "Version";
    has_regions |= name == "Regions";
    KUBREL_TRY(root_member(kind, name, volume));
  }
  if (!has_regions) return fail("not a Litematica file: no \"Regions\"");
  if (!has_version) return fail("not a Litematica file: no \"Version\"");
  if (options_.region && regions_.empty()) {
    std::string known;
    for (size_t i = 0; i < other_names_.size() && i < 8; ++i)
      known += (i ? ", " : "") + quoted(other_names_[i]);
    if (other_names_.size() > 8) known += ", ...";
    return fail("no region named " + quoted(*options_.region) + " (the file has " +
                (known.empty() ? "none" : known) + ")");
  }
  if (regions_.empty()) return fail("a Litematica file without regions");
  if (!volume.other_tags.empty()) NbtExactWalk::close_compound(volume.other_tags);
  KUBREL_TRY(assemble_litematic(regions_, volume));
  return volume;
}

Status DocumentReader::root_member(NbtKind kind, const std::string& name, Volume& volume) {
  if (name == "Version" || name == "SubVersion" || name == "MinecraftDataVersion") {
    KUBREL_TRY(expect_kind(name, kind, NbtKind::Int));
    KUBREL_ASSIGN_OR_RETURN(int32_t value, walk_.number<int32_t>());
    if (name == "SubVersion") volume.sub_version = value;
    if (name == "MinecraftDataVersion") volume.data_version = value;
    if (name != "Version") return {};
    if (value < kOldestVersion || value > kNewestVersion)
      return fail("unsupported Litematica version " + std::to_string(value) + " (versions " +
                  std::to_string(kOldestVersion) + " to " + std::to_string(kNewestVersion) +
                  " are read)");
    volume.version = value;
    return {};
  }
  if (name == "Metadata") {
    KUBREL_TRY(expect_kind(name, kind, NbtKind::Compound));
    volume.metadata.clear();
    return walk_.copy_payload(kind, volume.metadata);
  }
  if (name == "Regions") {
    KUBREL_TRY(expect_kind(name, kind, NbtKind::Compound));
    return regions();
  }
  return walk_.copy_member(kind, volume.other_tags);
}

Status DocumentReader::regions() {
  std::string name;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(NbtKind kind, walk_.next_member(name));
    if (kind == NbtKind::End) return {};
    if (++region_count_ > kMaxLitematicRegions)
      return fail("more than " + std::to_string(kMaxLitematicRegions) + " regions");
    if (kind != NbtKind::Compound)
      return fail("region " + quoted(name) + " is a " + std::string(nbt_kind_name(kind)) +
                  ", not a Compound");
    auto same_name = [&](const LitematicRegion& r) { return r.name == name; };
    if (std::ranges::any_of(regions_, same_name) ||
        std::ranges::find(other_names_, name) != other_names_.end())
      return fail("two regions named " + quoted(name));
    LitematicRegion parsed;
    parsed.name = name;
    auto status = region(parsed);
    if (!status) return fail("region " + quoted(name) + ": " + status.error().message);
    if (options_.region && *options_.region != name) {
      other_names_.push_back(std::move(parsed.name));
      continue;
    }
    regions_.push_back(std::move(parsed));
  }
}

Status DocumentReader::region(LitematicRegion& region) {
  uint8_t seen = 0;
  std::string name;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(NbtKind kind, walk_.next_member(name));
    if (kind == NbtKind::End) return check_region(region, seen);
    KUBREL_TRY(region_member(kind, name, region, seen));
  }
}

enum RegionPart : uint8_t { kPosition = 1, kSize = 2, kPalette = 4, kStates = 8 };

Status DocumentReader::region_member(NbtKind kind, const std::string& name, LitematicRegion& region,
                                     uint8_t& seen) {
  if (name == "Position" || name == "Size") {
    KUBREL_TRY(expect_kind(name, kind, NbtKind::Compound));
    KUBREL_ASSIGN_OR_RETURN(auto xyz, triple(name));
    (name == "Size" ? region.file_size : region.position) = xyz;
    seen |= name == "Size" ? kSize : kPosition;
    return {};
  }
  if (name == "BlockStatePalette") {
    KUBREL_TRY(expect_kind(name, kind, NbtKind::List));
    seen |= kPalette;
    return palette(region);
  }
  if (name == "BlockStates") {
    KUBREL_TRY(expect_kind(name, kind, NbtKind::LongArray));
    seen |= kStates;
    return walk_.long_array(region.block_states);
  }
  if (name == "TileEntities") return block_records(name, kind, region.tile_entities);
  if (name == "PendingBlockTicks") return block_records(name, kind, region.block_ticks);
  if (name == "PendingFluidTicks") return block_records(name, kind, region.fluid_ticks);
  if (name == "Entities") return entities(kind, region.entities);
  return walk_.copy_member(kind, region.other_tags);
}

Result<std::array<int32_t, 3>> DocumentReader::triple(const std::string& owner) {
  std::array<int32_t, 3> xyz{};
  uint8_t found = 0;
  std::string name;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(NbtKind kind, walk_.next_member(name));
    if (kind == NbtKind::End) break;
    int axis = name == "x" ? 0 : name == "y" ? 1 : name == "z" ? 2 : -1;
    if (axis < 0 || kind != NbtKind::Int) {
      KUBREL_TRY(walk_.skip(kind));
      continue;
    }
    KUBREL_ASSIGN_OR_RETURN(xyz[axis], walk_.number<int32_t>());
    found |= uint8_t(1u << axis);
  }
  if (found != 7) return fail(quoted(owner) + " lacks an Int x, y or z");
  return xyz;
}

Status DocumentReader::palette(LitematicRegion& region) {
  KUBREL_ASSIGN_OR_RETURN(NbtListStart list, walk_.list_header());
  if (list.length > 0 && list.element_kind != NbtKind::Compound)
    return fail("\"BlockStatePalette\" holds " + std::string(nbt_kind_name(list.element_kind)) +
                " tags, not Compounds");
  // Grows one entry at a time as entries arrive, whatever count the list declares.
  for (int32_t i = 0; i < list.length; ++i) {
    auto entry = palette_entry();
    if (!entry) return fail("palette entry " + std::to_string(i) + ": " + entry.error().message);
    region.palette.push_back(std::move(*entry));
  }
  return {};
}

Result<std::string> DocumentReader::palette_entry() {
  std::optional<std::string> state_name;
  std::vector<Property> props;
  std::string name;
  while (true) {
    KUBREL_ASSIGN_OR_RETURN(NbtKind kind, walk_.next_member(name));
    if (kind == NbtKind::End) break;
    if (name == "Name") {
      KUBREL_TRY(expect_kind(name, kind, NbtKind::String));
      KUBREL_ASSIGN_OR_RETURN(state_name, walk_.string());
    } else if (name == "Properties") {
      KUBREL_TRY(expect_kind(name, kind, NbtKind::Compound));
      props.clear();
      std::string key;
      while (true) {
        KUBREL_ASSIGN_OR_RETURN(NbtKind value_kind, walk_.next_member(key));
        if (value_kind == NbtKind::End) break;
        KUBREL_TRY(expect_kind("Properties." + key, value_kind, NbtKind::String));
        KUBREL_ASSIGN_OR_RETURN(std::string value, walk_.string());
        // A key written twice keeps its last value, as a compound does.
        auto same = std::find_if(props.begin(), props.end(),
                                 [&](const Property& p) { return p.first == key; });
        if (same != props.end()) {
          same->second = std::move(value);
        } else {
          props.emplace_back(std::move(key), std::move(value));
        }
      }
    } else {
      KUBREL_TRY(walk_.skip(kind));
    }
  }
  if (!state_name) return fail("no \"Name\"");
  return canonical_state_text(*state_name, std::move(props));
}

template <class InPlace, class Take, class Done>
Status DocumentReader::records(const std::string& name, NbtKind kind, InPlace in_place, Take take,
                               Done done) {
  KUBREL_TRY(expect_kind(name, kind, NbtKind::List));
  KUBREL_ASSIGN_OR_RETURN(NbtListStart list, walk_.list_header());
  if (list.length > 0 && list.element_kind != NbtKind::Compound)
    return fail(quoted(name) + " holds " + std::string(nbt_kind_name(list.element_kind)) +
                " tags, not Compounds");
  std::string member;
  // A record the walk reads is gathered in one buffer that keeps its capacity, then copied out at
  // its size: one allocation a record rather than one per doubling.
  NbtCompoundBytes gathered;
  for (int32_t i = 0; i < list.length; ++i) {
    NbtCompoundBytes whole;
    if (!in_place(whole)) {
      gathered.clear();
      while (true) {
        KUBREL_ASSIGN_OR_RETURN(NbtKind member_kind, walk_.next_member(member));
        if (member_kind == NbtKind::End) break;
        KUBREL_ASSIGN_OR_RETURN(bool taken, take(member_kind, member));
        if (!taken) KUBREL_TRY(walk_.copy_member(member_kind, gathered));
      }
      NbtExactWalk::close_compound(gathered);
      whole.assign(gathered.begin(), gathered.end());
    }
    auto finished = done(std::move(whole));
    if (!finished)
      return fail(quoted(name) + " entry " + std::to_string(i) + ": " + finished.error().message);
  }
  return {};
}

Status DocumentReader::block_records(const std::string& name, NbtKind kind,
                                     std::vector<LitematicRecord>& out) {
  LitematicRecord record;
  uint8_t found = 0;
  auto take = [&](NbtKind member_kind, const std::string& member) -> Result<bool> {
    int axis = member == "x" ? 0 : member == "y" ? 1 : member == "z" ? 2 : -1;
    if (axis < 0 || member_kind != NbtKind::Int) return false;
    KUBREL_ASSIGN_OR_RETURN(record.position[axis], walk_.number<int32_t>());
    found |= uint8_t(1u << axis);
    return true;
  };
  auto done = [&](NbtCompoundBytes data) -> Status {
    if (found != 7) return fail("no Int x, y and z");
    record.data = std::move(data);
    out.push_back(std::move(record));
    record = {};
    found = 0;
    return {};
  };
  auto in_place = [&](NbtCompoundBytes& data) {
    return block_record_in_place(record, found, data);
  };
  return records(name, kind, in_place, take, done);
}

// Block entities are most of what a large file holds, and the member-by-member walk costs a call
// or more per tag. Where the input already holds a whole record (always, when the document was
// inflated in one piece), it is checked in one pass and its members copied in as few pieces as
// its x, y and z leave, into `out` at its size. A record that runs past what is held or fails a
// check is left unread, `out` untouched, for the walk to read and word the failure.
bool DocumentReader::block_record_in_place(LitematicRecord& record, uint8_t& found,
                                           NbtCompoundBytes& out) {
  auto held = source_.fill_buffer();
  if (!held) return false;
  const uint8_t* const begin = held->data();
  const uint8_t* const end = begin + held->size();
  // The runs of members kept, [first, past), found before anything is copied.
  pieces_.clear();
  std::array<int32_t, 3> position = record.position;
  uint8_t seen = found;
  const uint8_t* at = begin;
  while (at != end && *at <= kNbtMaxTypeId) {
    const auto kind = static_cast<NbtKind>(*at);
    if (kind == NbtKind::End) {
      size_t total = 1;
      for (const auto& [first, past] : pieces_) total += static_cast<size_t>(past - first);
      out.reserve(total);
      for (const auto& [first, past] : pieces_)
        out.insert(out.end(), reinterpret_cast<const std::byte*>(first),
                   reinterpret_cast<const std::byte*>(past));
      NbtExactWalk::close_compound(out);
      source_.consume(static_cast<size_t>(at + 1 - begin));
      record.position = position;
      found = seen;
      return true;
    }
    const uint8_t* name = at + 1;
    auto name_size = checked_text_size({name, end});
    if (!name_size) break;
    const uint8_t* payload = name + *name_size;
    auto payload_size = checked_payload_size({payload, end}, kind, 0);
    if (!payload_size) break;
    const int axis = *name_size != 3  ? -1
                     : name[2] == 'x' ? 0
                     : name[2] == 'y' ? 1
                     : name[2] == 'z' ? 2
                                      : -1;
    if (kind == NbtKind::Int && axis >= 0) {
      position[axis] =
          static_cast<int32_t>(uint32_t{payload[0]} << 24 | uint32_t{payload[1]} << 16 |
                               uint32_t{payload[2]} << 8 | payload[3]);
      seen |= uint8_t(1u << axis);
    } else if (!pieces_.empty() && pieces_.back().second == at) {
      pieces_.back().second = payload + *payload_size;
    } else {
      pieces_.emplace_back(at, payload + *payload_size);
    }
    at = payload + *payload_size;
  }
  return false;
}

Status DocumentReader::entities(NbtKind kind, std::vector<LitematicEntity>& out) {
  LitematicEntity entity;
  bool found = false;
  auto take = [&](NbtKind member_kind, const std::string& member) -> Result<bool> {
    if (member != "Pos" || member_kind != NbtKind::List) return false;
    KUBREL_ASSIGN_OR_RETURN(NbtListStart list, walk_.list_header());
    if (list.length != 3 || list.element_kind != NbtKind::Double)
      return fail("\"Pos\" is not a List of 3 Doubles");
    for (double& value : entity.position) {
      KUBREL_ASSIGN_OR_RETURN(value, walk_.number<double>());
    }
    found = true;
    return true;
  };
  auto done = [&](NbtCompoundBytes data) -> Status {
    if (!found) return fail("no \"Pos\"");
    // The stored doubles stay with the data, so that writing the entity back changes no bit.
    data.pop_back();
    NbtCompoundBytes pos;
    {
      VectorSink sink;
      NbtWriter w(sink);
      w.double_list("Pos", {entity.position[0], entity.position[1], entity.position[2]});
      (void)w.finish();
      for (uint8_t byte : sink.take()) data.push_back(std::byte{byte});
    }
    NbtExactWalk::close_compound(data);
    entity.data = std::move(data);
    out.push_back(std::move(entity));
    entity = {};
    found = false;
    return {};
  };
  // Files hold few entities beside their block entities: the walk reads each.
  auto none_in_place = [](NbtCompoundBytes&) { return false; };
  return records("Entities", kind, none_in_place, take, done);
}

Status DocumentReader::check_region(LitematicRegion& region, uint8_t seen) {
  if (!(seen & kPosition)) return fail("no \"Position\"");
  if (!(seen & kSize)) return fail("no \"Size\"");
  if (!(seen & kPalette)) return fail("no \"BlockStatePalette\"");
  if (!(seen & kStates)) return fail("no \"BlockStates\"");
  if (region.palette.empty()) return fail("an empty \"BlockStatePalette\"");
  unsigned __int128 entries = 1;
  for (int axis = 0; axis < 3; ++axis) {
    int64_t size = region.file_size[axis];
    if (size == 0) return fail("\"Size\" is 0 on an axis");
    int64_t min = region.position[axis] + (size < 0 ? size + 1 : 0);
    int64_t extent = size < 0 ? -size : size;
    if (min < INT32_MIN || min + extent - 1 > INT32_MAX)
      return fail("the box leaves the 32-bit coordinate range");
    region.min[axis] = min;
    region.size[axis] = static_cast<uint32_t>(extent);
    entries *= static_cast<uint64_t>(extent);
  }
  region.bits = std::max<unsigned>(2, std::bit_width(region.palette.size() - 1));
  // Each index takes `bits` bits of one continuous stream, so the array's length follows from the
  // box; anything else is a damaged file or another packing.
  unsigned __int128 needed = (entries * region.bits + 63) / 64;
  if (needed != region.block_states.size()) {
    std::string count = entries > UINT64_MAX ? "more than 2^64" : std::to_string(uint64_t(entries));
    std::string want = needed > UINT64_MAX ? "more" : std::to_string(uint64_t(needed));
    return fail("\"BlockStates\" holds " + std::to_string(region.block_states.size()) +
                " longs where " + count + " entries of " + std::to_string(region.bits) +
                " bits need " + want);
  }
  region.entries = static_cast<uint64_t>(entries);
  return {};
}

}  // namespace

Result<Volume> read_litematic(std::unique_ptr<ByteSource> source,
                              const LitematicReadOptions& options) {
  auto raw = as_buffered_source(std::move(source));
  auto head = raw->fill_buffer();
  if (!head) return fail("reading the file: " + head.error().message);
  bool gzip = head->size() >= 2 && (*head)[0] == 0x1f && (*head)[1] == 0x8b;
  auto input = gzip ? as_buffered_source(make_gzip_chain(std::move(raw))) : std::move(raw);
  return DocumentReader(*input, options).read();
}

}  // namespace kubrel
