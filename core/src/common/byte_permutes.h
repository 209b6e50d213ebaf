// Whether the CPU has AVX-512's byte permutes and bit-field shuffles (VBMI), looked up once at run
// time so that one build serves machines with and without them, and the attribute that compiles a
// function for them. Code that uses them keeps a plain path for other machines.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KUBREL_BYTE_PERMUTES 1
#define KUBREL_PERMUTE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace kubrel {
bool has_byte_permutes();
}  // namespace kubrel
#endif
