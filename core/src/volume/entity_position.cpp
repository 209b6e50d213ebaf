#include "volume/entity_position.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "nbt/nbt.h"
#include "nbt/nbt_entries.h"

namespace kubrel {

namespace {

// Two additions round by at most an ulp each; allow a little more for the third coordinate frame.
constexpr double kRoundingUlps = 8;

bool within_rounding(double stored, double wanted) {
  if (stored == wanted) return true;
  if (!std::isfinite(stored) || !std::isfinite(wanted)) return false;
  const double ulp = std::nextafter(std::abs(wanted), INFINITY) - std::abs(wanted);
  return std::abs(stored - wanted) <= kRoundingUlps * ulp;
}

}  // namespace

std::array<double, 3> kept_position(const NbtCompoundBytes& data, std::array<double, 3> wanted) {
  auto entries = nbt_compound_entries(data);
  if (!entries) return wanted;
  return kept_position(*entries, wanted);
}

std::array<double, 3> kept_position(std::span<const NbtEntry> entries,
                                    std::array<double, 3> wanted) {
  for (const NbtEntry& entry : entries) {
    if (entry.kind != NbtKind::List || !nbt_name_is(entry.name, "Pos")) continue;
    NbtKind kind = NbtKind::End;
    auto elements = nbt_list_elements(entry.payload, &kind);
    if (!elements || kind != NbtKind::Double || elements->size() != 3) return wanted;
    std::array<double, 3> stored{};
    for (int axis = 0; axis < 3; ++axis) {
      uint64_t bits = 0;
      std::memcpy(&bits, (*elements)[axis].data(), 8);
      stored[axis] = std::bit_cast<double>(nbt_wire::from_big_endian(bits));
      if (!within_rounding(stored[axis], wanted[axis])) return wanted;
    }
    return stored;
  }
  return wanted;
}

}  // namespace kubrel
