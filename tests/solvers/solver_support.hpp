// Shared by the solver tests: a coefficient block and field on the heap,
// a range, and bitwise comparisons of fields.
#pragma once

#include <cstring>
#include <memory>

#include "control/state.hpp"

namespace qtest {

using questrand::Ccoef;
using questrand::Field;
using questrand::kMaxGrid;

struct Range {
  int is, js, ie, je;
  bool inside(int i, int j) const { return i >= is && i <= ie && j >= js && j <= je; }
};

struct Problem {
  std::unique_ptr<Ccoef> cf = std::make_unique<Ccoef>();
  std::unique_ptr<Field> phi = std::make_unique<Field>();
};

inline std::unique_ptr<Field> copy_of(const Field& f) { return std::make_unique<Field>(f); }

inline bool same_bits(const Field& a, const Field& b) { return std::memcmp(a.data, b.data, sizeof a.data) == 0; }

inline bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Nodes outside the range whose bits differ.
inline int changed_outside(const Field& before, const Field& after, const Range& r) {
  int n = 0;
  for (int j = 1; j <= kMaxGrid; ++j)
    for (int i = 1; i <= kMaxGrid; ++i)
      if (!r.inside(i, j) && !same_bits(before(i, j), after(i, j))) ++n;
  return n;
}

}  // namespace qtest
