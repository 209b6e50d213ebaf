#include "volume/packed_indices.h"

#include <algorithm>
#include <bit>

#include "common/byte_permutes.h"

namespace kubrel {

namespace {

constexpr unsigned kGroup = 32;
// Four indices share each 64-bit lane of the shuffle, and their bits, from the lane's first
// byte, must fit in it: 3 * bits + 7 + bits <= 64.
constexpr unsigned kWidestBits = 14;

#ifdef KUBREL_BYTE_PERMUTES
constexpr __mmask64 kEveryByte = ~__mmask64{0};
constexpr __mmask32 kEveryWord = ~__mmask32{0};

// The shuffle controls for groups of 32 indices of `bits` bits: `gather` brings each lane the 8
// bytes that start at its first index's byte, and `shifts` picks, for each output byte, the 8 bits
// that start at that index's bit (the low byte) or 8 bits further (the high byte).
struct Controls {
  alignas(64) uint8_t gather[64];
  alignas(64) uint8_t shifts[64];

  explicit Controls(unsigned bits) {
    for (unsigned lane = 0; lane < 8; ++lane) {
      unsigned first_byte = 4 * lane * bits / 8;
      for (unsigned byte = 0; byte < 8; ++byte)
        gather[8 * lane + byte] = static_cast<uint8_t>(std::min(first_byte + byte, 63u));
      for (unsigned k = 0; k < 4; ++k) {
        unsigned offset = (4 * lane + k) * bits - 8 * first_byte;
        shifts[8 * lane + 2 * k] = static_cast<uint8_t>(offset);
        shifts[8 * lane + 2 * k + 1] = static_cast<uint8_t>(offset + 8);
      }
    }
  }
};

template <class T>
KUBREL_PERMUTE_TARGET uint64_t unpack(std::span<const uint8_t> stream, unsigned bits,
                                      uint64_t entries, uint32_t palette_size, T* out) {
  const Controls controls(bits);
  const __m512i gather = _mm512_load_si512(controls.gather);
  const __m512i shifts = _mm512_load_si512(controls.shifts);
  const __m512i mask = _mm512_set1_epi16(static_cast<short>((1u << bits) - 1));
  const __m512i limit = _mm512_set1_epi16(static_cast<short>(std::min(palette_size, 65535u)));
  uint64_t done = 0;
  // A group of 32 starts on a whole byte: 32 * bits is a multiple of 8.
  for (; entries - done >= kGroup; done += kGroup) {
    uint64_t byte = done * bits / 8;
    if (stream.size() < 64 || byte > stream.size() - 64) break;
    __m512i bytes = _mm512_loadu_si512(stream.data() + byte);
    // The zero-masked forms with every lane selected compile to the plain instructions; the plain
    // intrinsics of g++ 12 pass a deliberately undefined operand that -Wall flags.
    __m512i lanes = _mm512_maskz_permutexvar_epi8(kEveryByte, gather, bytes);
    __m512i indices =
        _mm512_and_si512(_mm512_maskz_multishift_epi64_epi8(kEveryByte, shifts, lanes), mask);
    if (_mm512_cmpge_epu16_mask(indices, limit) != 0) break;
    if constexpr (sizeof(T) == 1) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + done),
                          _mm512_maskz_cvtepi16_epi8(kEveryWord, indices));
    } else {
      _mm512_storeu_si512(out + done, indices);
    }
  }
  return done;
}
#else
template <class T>
uint64_t unpack(std::span<const uint8_t>, unsigned, uint64_t, uint32_t, T*) {
  return 0;
}
#endif

}  // namespace

bool can_unpack_indices(unsigned bits) {
#ifdef KUBREL_BYTE_PERMUTES
  return std::endian::native == std::endian::little && bits >= 1 && bits <= kWidestBits &&
         has_byte_permutes();
#else
  (void)bits;
  return false;
#endif
}

uint64_t unpack_indices(std::span<const uint8_t> stream, unsigned bits, uint64_t entries,
                        uint32_t palette_size, uint8_t* out) {
  // Eight-bit cells hold indices of eight bits at most.
  return can_unpack_indices(bits) && bits <= 8 ? unpack(stream, bits, entries, palette_size, out)
                                               : 0;
}

uint64_t unpack_indices(std::span<const uint8_t> stream, unsigned bits, uint64_t entries,
                        uint32_t palette_size, uint16_t* out) {
  return can_unpack_indices(bits) ? unpack(stream, bits, entries, palette_size, out) : 0;
}

}  // namespace kubrel
