#include "common/byte_permutes.h"

#ifdef KUBREL_BYTE_PERMUTES
namespace kubrel {

bool has_byte_permutes() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi");
  return has;
}

}  // namespace kubrel
#endif
