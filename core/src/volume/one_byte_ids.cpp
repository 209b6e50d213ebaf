#include "volume/one_byte_ids.h"

#include "common/byte_permutes.h"

namespace kubrel {

namespace {

#ifdef KUBREL_BYTE_PERMUTES
KUBREL_PERMUTE_TARGET size_t map_narrow(const uint8_t* ids, size_t count, const uint8_t* table,
                                        uint8_t bound, uint8_t* out) {
  const __m512i low = _mm512_load_si512(table);
  const __m512i high = _mm512_load_si512(table + 64);
  const __m512i limit = _mm512_set1_epi8(static_cast<char>(bound));
  size_t done = 0;
  for (; count - done >= 64; done += 64) {
    __m512i group = _mm512_loadu_si512(ids + done);
    // Unsigned, so that bytes from 128 up (longer VarInts) fail too.
    if (_mm512_cmpge_epu8_mask(group, limit) != 0) break;
    _mm512_storeu_si512(out + done, _mm512_permutex2var_epi8(low, group, high));
  }
  return done;
}

KUBREL_PERMUTE_TARGET size_t map_wide(const uint8_t* ids, size_t count, const uint16_t* table,
                                      uint8_t bound, uint16_t* out) {
  const __m512i quarter[4] = {_mm512_load_si512(table), _mm512_load_si512(table + 32),
                              _mm512_load_si512(table + 64), _mm512_load_si512(table + 96)};
  const __m512i limit = _mm512_set1_epi8(static_cast<char>(bound));
  const __m512i upper_half = _mm512_set1_epi16(64);
  size_t done = 0;
  for (; count - done >= 64; done += 64) {
    __m512i group = _mm512_loadu_si512(ids + done);
    if (_mm512_cmpge_epu8_mask(group, limit) != 0) break;
    for (int half = 0; half < 2; ++half) {
      // Each half widened straight from memory: the loads cost no more than extracting it, and
      // g++ 12's extract intrinsics read a deliberately undefined operand that -Wall flags.
      __m512i wide = _mm512_cvtepu8_epi16(
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ids + done + 32 * half)));
      // A word permute reaches 64 entries: ids from 64 up take the second pair of quarters.
      __m512i below = _mm512_permutex2var_epi16(quarter[0], wide, quarter[1]);
      __m512i above = _mm512_permutex2var_epi16(quarter[2], wide, quarter[3]);
      __mmask32 upper = _mm512_test_epi16_mask(wide, upper_half);
      _mm512_storeu_si512(out + done + 32 * half, _mm512_mask_blend_epi16(upper, below, above));
    }
  }
  return done;
}
#else
size_t map_narrow(const uint8_t*, size_t, const uint8_t*, uint8_t, uint8_t*) {
  return 0;
}
size_t map_wide(const uint8_t*, size_t, const uint16_t*, uint8_t, uint16_t*) {
  return 0;
}
#endif

}  // namespace

OneByteIdMap::OneByteIdMap(const std::array<uint32_t, 128>& indices, uint32_t bound) {
  bound_ = static_cast<uint8_t>(bound < 128 ? bound : 128);
  for (uint32_t id = 0; id < bound_; ++id) {
    narrow_[id] = static_cast<uint8_t>(indices[id]);
    wide_[id] = static_cast<uint16_t>(indices[id]);
  }
#ifdef KUBREL_BYTE_PERMUTES
  usable_ = bound_ > 0 && has_byte_permutes();
#endif
}

size_t OneByteIdMap::map(const uint8_t* ids, size_t count, uint8_t* out) const {
  return usable_ ? map_narrow(ids, count, narrow_.data(), bound_, out) : 0;
}

size_t OneByteIdMap::map(const uint8_t* ids, size_t count, uint16_t* out) const {
  return usable_ ? map_wide(ids, count, wide_.data(), bound_, out) : 0;
}

}  // namespace kubrel
