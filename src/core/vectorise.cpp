#include "core/vectorise.hpp"

#include <cstdlib>
#include <cstring>

namespace questrand {

bool avx2_clones_taken() {
  static const bool taken = [] {
#if QUESTRAND_AVX2_CLONES
    const char* fixed = std::getenv("QUESTRAND_VECTOR_WIDTH");
    if (fixed != nullptr && std::strcmp(fixed, "baseline") == 0) return false;
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
  }();
  return taken;
}

}  // namespace questrand
