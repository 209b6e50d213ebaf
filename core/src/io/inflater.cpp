#include "io/inflater.h"

namespace kubrel {

const char* inflater_names() {
#if KUBREL_WITH_ISAL && KUBREL_WITH_LIBDEFLATE
  return "isa-l, libdeflate";
#elif KUBREL_WITH_ISAL
  return "isa-l, zlib";
#elif KUBREL_WITH_LIBDEFLATE
  return "libdeflate, zlib";
#else
  return "zlib";
#endif
}

}  // namespace kubrel
