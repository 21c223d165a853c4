#include "core/real.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace questrand {

namespace {

// A chain of the assembly's and the solvers' operations on subnormal
// numbers in the arithmetic T; the time of a call is what the choice weighs.
template <class T>
[[gnu::noinline]] float subnormal_chain(const float* x, int n) {
  T sum = 0.0f;
  for (int i = 0; i < n; ++i) {
    const T a = x[i];
    sum = sum + a * T(0.75f) - a / T(3.0f);
  }
  if constexpr (std::is_same_v<T, Real>) {
    return sum.value();
  } else {
    return sum;
  }
}

template <class T>
double fastest_chain_seconds(const float* x, int n) {
  double best = 1.0e30;
  volatile float keep = 0.0f;
  for (int repeat = 0; repeat < 5; ++repeat) {
    const auto start = std::chrono::steady_clock::now();
    keep = keep + subnormal_chain<T>(x, n);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

bool time_the_routes() {
  constexpr int n = 2048;
  float x[n];
  for (int i = 0; i < n; ++i) x[i] = 1.0e-40f * static_cast<float>(1 + i % 13);  // subnormal
  return fastest_chain_seconds<float>(x, n) > fastest_chain_seconds<Real>(x, n);
}

}  // namespace

bool subnormal_route_pays() {
  static const bool pays = [] {
    const char* fixed = std::getenv("QUESTRAND_SUBNORMAL_ROUTE");
    if (fixed != nullptr && std::strcmp(fixed, "double") == 0) return true;
    if (fixed != nullptr && std::strcmp(fixed, "float") == 0) return false;
    return time_the_routes();
  }();
  return pays;
}

}  // namespace questrand
