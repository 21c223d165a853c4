// Real's arithmetic against the float arithmetic it stands for: the same
// bits for every operation, over random bit patterns, subnormal operands,
// results that land in the subnormal range, near-cancellations and ties.
#include "core/real.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

namespace {

using questrand::Real;

float from_bits(std::uint32_t b) {
  float f;
  std::memcpy(&f, &b, sizeof f);
  return f;
}
std::uint32_t bits_of(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Plain float operations, kept out of constant folding.
[[gnu::noinline]] float plain(char op, float a, float b) {
  switch (op) {
    case '+': return a + b;
    case '-': return a - b;
    case '*': return a * b;
    default: return a / b;
  }
}
[[gnu::noinline]] float wide(char op, float a, float b) {
  switch (op) {
    case '+': return (Real(a) + Real(b)).value();
    case '-': return (Real(a) - Real(b)).value();
    case '*': return (Real(a) * Real(b)).value();
    default: return (Real(a) / Real(b)).value();
  }
}

// Operand generators: any bit pattern; subnormals and tiny normals; values
// near 1 (ties and cancellations in sums); pairs whose product or quotient
// falls into the subnormal range.
float any(std::mt19937& rng) { return from_bits(static_cast<std::uint32_t>(rng())); }
float tiny(std::mt19937& rng) {
  const std::uint32_t sign = (rng() & 1u) << 31;
  return from_bits(sign | static_cast<std::uint32_t>(rng() % (3u << 23)));  // exponents 0..2
}
float near_one(std::mt19937& rng) { return from_bits(0x3f800000u + static_cast<std::uint32_t>(rng() % 64) - 32u); }
float scale(std::mt19937& rng, int lo, int hi) {
  std::uniform_int_distribution<int> e(lo, hi);
  std::uniform_real_distribution<float> m(1.0f, 2.0f);
  return std::ldexp(m(rng), e(rng)) * ((rng() & 1u) ? -1.0f : 1.0f);
}

}  // namespace

TEST(Real, EveryOperationGivesTheFloatBits) {
  std::mt19937 rng(20261208);
  long mismatches = 0;
  long compared = 0;
  for (int n = 0; n < 400000; ++n) {
    float a, b;
    switch (n % 6) {
      case 0: a = any(rng); b = any(rng); break;
      case 1: a = tiny(rng); b = any(rng); break;
      case 2: a = tiny(rng); b = tiny(rng); break;
      case 3: a = near_one(rng); b = near_one(rng); break;
      case 4: a = scale(rng, -80, -60); b = scale(rng, -80, -60); break;  // products below 2^-126
      default: a = scale(rng, -130, -100); b = scale(rng, 5, 40); break;  // quotients below 2^-126
    }
    if (n % 12 == 3) b = -a * 1.0000001f;  // cancellation into tiny differences
    for (char op : {'+', '-', '*', '/'}) {
      const float want = plain(op, a, b);
      const float got = wide(op, a, b);
      ++compared;
      if (std::isnan(want) && std::isnan(got)) continue;
      if (bits_of(want) != bits_of(got)) {
        if (++mismatches <= 5)
          ADD_FAILURE() << std::hexfloat << a << " " << op << " " << b << ": float " << want << ", Real " << got;
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "of " << compared;
}

TEST(Real, SubnormalResultsOfSumsAndProducts) {
  const float smallest = std::numeric_limits<float>::denorm_min();
  const float min_normal = std::numeric_limits<float>::min();
  EXPECT_EQ(bits_of((Real(min_normal) - Real(min_normal * 0.75f)).value()), bits_of(min_normal - min_normal * 0.75f));
  EXPECT_EQ(bits_of((Real(3.0f * smallest) * Real(0.5f)).value()), bits_of(3.0f * smallest * 0.5f));  // a tie
  EXPECT_EQ(bits_of((Real(1.0e-20f) * Real(1.0e-20f)).value()), bits_of(plain('*', 1.0e-20f, 1.0e-20f)));
  EXPECT_EQ(bits_of((Real(1.0e-30f) * Real(1.0e-30f)).value()), 0u);  // below half the smallest subnormal
  EXPECT_EQ(bits_of((Real(-1.0e-30f) * Real(1.0e-15f)).value()), bits_of(-1.0e-30f * 1.0e-15f));
  EXPECT_EQ(bits_of((Real(1.0e-38f) / Real(3.0f)).value()), bits_of(1.0e-38f / 3.0f));
}
