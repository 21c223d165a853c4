#include "core/vectorise.hpp"

#include <cstdlib>
#include <cstring>

namespace questrand {

bool wide_vectors() {
  static const bool wide = [] {
#if QUESTRAND_WIDE_CLONES
    const char* fixed = std::getenv("QUESTRAND_VECTOR_WIDTH");
    if (fixed != nullptr && std::strcmp(fixed, "baseline") == 0) return false;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
  }();
  return wide;
}

}  // namespace questrand
