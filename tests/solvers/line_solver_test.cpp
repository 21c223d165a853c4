// Line solver: the single node, empty ranges, the pass count (sweep limit,
// tolerance, a non-number residual sum), the untouched boundary ring, lines
// solved exactly by one sweep, and convergence to a manufactured solution.
#include "solvers/line_solver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "solvers/solver_support.hpp"

namespace {

using questrand::adisol;
using questrand::Ccoef;
using questrand::Field;
using questrand::kMaxGrid;
using questrand::lisoli;
using questrand::lisolj;

using qtest::Problem;
using qtest::Range;
using qtest::changed_outside;
using qtest::copy_of;
using qtest::same_bits;
using qtest::exact;
using qtest::manufacture;
using qtest::max_error;
using qtest::set_coefficients;





// Sum of absolute (or signed) node residuals, each formed in double.
double residual_sum(const Ccoef& cf, const Field& phi, const Range& r, bool absolute = true) {
  double s = 0.0;
  for (int i = r.istart; i <= r.iend; ++i)
    for (int j = r.jstart; j <= r.jend; ++j) {
      const double res = double(cf.an(i, j)) * phi(i, j + 1) + double(cf.as(i, j)) * phi(i, j - 1) +
                         double(cf.ae(i, j)) * phi(i + 1, j) + double(cf.aw(i, j)) * phi(i - 1, j) + cf.su(i, j) -
                         double(cf.ap(i, j)) * phi(i, j);
      s += absolute ? std::fabs(res) : res;
    }
  return s;
}

void manual_passes(const Ccoef& cf, const Range& r, Field& phi, int n) {
  for (int k = 0; k < n; ++k) {
    lisoli(cf, r, phi, qtest::line_work());
    lisolj(cf, r, phi, qtest::line_work());
  }
}

// A general 2-D system far from solved, made of two uncoupled halves, the
// east one (columns 9..14) the negative of the west one (columns 3..8):
// node residuals of the two halves cancel in a signed sum.
const Range kGeneral{3, 4, 14, 12};
Problem general_problem() {
  Problem p;
  Ccoef& cf = *p.cf;
  Field& phi = *p.phi;
  const Range west{3, 4, 8, 12};
  set_coefficients(cf, west, 0.0f);
  for (int j = west.jstart; j <= west.jend; ++j) {
    cf.ap(3, j) -= cf.aw(3, j);
    cf.aw(3, j) = 0.0f;
    cf.ap(8, j) -= cf.ae(8, j);
    cf.ae(8, j) = 0.0f;
  }
  manufacture(p, west, 0.0f);
  for (int j = west.jstart - 1; j <= west.jend + 1; ++j)
    for (int i = west.istart; i <= west.iend; ++i) {
      cf.ap(i + 6, j) = cf.ap(i, j);
      cf.an(i + 6, j) = cf.an(i, j);
      cf.as(i + 6, j) = cf.as(i, j);
      cf.ae(i + 6, j) = cf.ae(i, j);
      cf.aw(i + 6, j) = cf.aw(i, j);
      cf.su(i + 6, j) = -cf.su(i, j);
      phi(i + 6, j) = -phi(i, j);
    }
  return p;
}

TEST(LineSolver, SingleNodeIsWeightedNeighbourMeanAfterEitherSweep) {
  // (1.5*2 + 0.5*(-1) + 2*4 + 0.75*8 + 3) / 5 = 19.5 / 5 = 3.9
  Problem p;
  Ccoef& cf = *p.cf;
  Field& phi = *p.phi;
  const int i = 7, j = 9;
  cf.ap(i, j) = 5.0f;
  cf.an(i, j) = 1.5f;
  cf.as(i, j) = 0.5f;
  cf.ae(i, j) = 2.0f;
  cf.aw(i, j) = 0.75f;
  cf.su(i, j) = 3.0f;
  cf.sp(i, j) = 100.0f;  // not read: already folded into ap
  phi(i, j + 1) = 2.0f;
  phi(i, j - 1) = -1.0f;
  phi(i + 1, j) = 4.0f;
  phi(i - 1, j) = 8.0f;
  const auto start = copy_of(phi);
  const float want = 3.9f;

  phi(i, j) = -50.0f;
  lisoli(cf, Range{i, j, i, j}, phi, qtest::line_work());
  EXPECT_NEAR(phi(i, j), want, 1e-6);

  phi(i, j) = -50.0f;
  lisolj(cf, Range{i, j, i, j}, phi, qtest::line_work());
  EXPECT_NEAR(phi(i, j), want, 1e-6);

  for (int nsweep : {1, 5}) {
    phi(i, j) = -50.0f;
    adisol(cf, Range{i, j, i, j}, phi, {nsweep, 0.0f}, qtest::line_work());
    EXPECT_NEAR(phi(i, j), want, 1e-6) << "nsweep " << nsweep;
  }
  EXPECT_EQ(changed_outside(*start, phi, Range{i, j, i, j}), 0);
}

TEST(LineSolver, EmptyRangeLeavesFieldUntouched) {
  Problem p;
  set_coefficients(*p.cf, Range{2, 2, 20, 20}, 0.5f);
  for (int j = 1; j <= 21; ++j)
    for (int i = 1; i <= 21; ++i) {
      (*p.phi)(i, j) = 0.1f * static_cast<float>(i) - 0.3f * static_cast<float>(j);
      p.cf->su(i, j) = 1.0f + static_cast<float>(i % 3);
    }
  const auto before = copy_of(*p.phi);
  const Range empties[] = {{6, 3, 5, 10}, {3, 8, 12, 7}, {9, 9, 4, 4}};
  for (const Range& r : empties) {
    SCOPED_TRACE(testing::Message() << "range " << r.istart << ".." << r.iend << " x " << r.jstart << ".." << r.jend);
    lisoli(*p.cf, r, *p.phi, qtest::line_work());
    lisolj(*p.cf, r, *p.phi, qtest::line_work());
    adisol(*p.cf, r, *p.phi, {4, 0.0f}, qtest::line_work());
    adisol(*p.cf, r, *p.phi, {4, -1.0f}, qtest::line_work());
    EXPECT_TRUE(same_bits(*before, *p.phi));
  }
}

TEST(LineSolver, ConstantExactSolutionStaysConstant) {
  // ap = an + as + ae + aw, su = 0 and the constant on the whole ring: the
  // constant solves the system; only rounding of the recurrence may move it.
  const Range r{2, 2, 17, 13};
  Problem p;
  set_coefficients(*p.cf, r, 0.0f);
  const float c = 2.5f;
  for (int j = 1; j <= 14; ++j)
    for (int i = 1; i <= 18; ++i) (*p.phi)(i, j) = c;
  adisol(*p.cf, r, *p.phi, {30, -1.0f}, qtest::line_work());
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) ASSERT_NEAR((*p.phi)(i, j), c, 4e-6f) << i << "," << j;
  EXPECT_LT(residual_sum(*p.cf, *p.phi, r), 1e-3);
}

TEST(LineSolver, SweepLimitBelowTwoMakesExactlyOnePass) {
  const Problem ref = general_problem();
  auto one = copy_of(*ref.phi);
  manual_passes(*ref.cf, kGeneral, *one, 1);
  auto two = copy_of(*ref.phi);
  manual_passes(*ref.cf, kGeneral, *two, 2);
  ASSERT_FALSE(same_bits(*one, *two));
  for (int nsweep : {0, 1, -1, -7}) {
    auto phi = copy_of(*ref.phi);
    adisol(*ref.cf, kGeneral, *phi, {nsweep, 0.0f}, qtest::line_work());
    EXPECT_TRUE(same_bits(*one, *phi)) << "nsweep " << nsweep;
  }
}

TEST(LineSolver, PassesRunUntilResidualSumAtMostTolOrLimit) {
  const Problem ref = general_problem();
  // Residual sums after 1..6 manual passes.
  double rs[7] = {};
  std::unique_ptr<Field> after[7];
  {
    auto phi = copy_of(*ref.phi);
    for (int k = 1; k <= 6; ++k) {
      manual_passes(*ref.cf, kGeneral, *phi, 1);
      rs[k] = residual_sum(*ref.cf, *phi, kGeneral);
      after[k] = copy_of(*phi);
    }
  }
  for (int k = 1; k <= 6; ++k) {
    // The halves cancel: a signed sum would stop at the first pass.
    ASSERT_LT(std::fabs(residual_sum(*ref.cf, *after[k], kGeneral, false)), 1e-6 * rs[k]) << "pass " << k;
    if (k == 1) continue;
    ASSERT_LT(rs[k], 0.9 * rs[k - 1]) << "pass " << k;
    ASSERT_FALSE(same_bits(*after[k], *after[k - 1]));
  }

  auto run = [&](int nsweep, float tol) {
    auto phi = copy_of(*ref.phi);
    adisol(*ref.cf, kGeneral, *phi, {nsweep, tol}, qtest::line_work());
    return phi;
  };
  // A negative tolerance is never reached: all nsweep passes.
  EXPECT_TRUE(same_bits(*after[6], *run(6, -1.0f)));
  EXPECT_TRUE(same_bits(*after[4], *run(4, -1.0f)));
  // A tolerance between the sums after passes 2 and 3 stops after pass 3.
  const float tol3 = static_cast<float>(std::sqrt(rs[2] * rs[3]));
  EXPECT_TRUE(same_bits(*after[3], *run(6, tol3)));
  // ... unless the limit comes first.
  EXPECT_TRUE(same_bits(*after[2], *run(2, tol3)));
  // A tolerance above the first sum: one pass.
  EXPECT_TRUE(same_bits(*after[1], *run(6, static_cast<float>(2.0 * rs[1]))));
}

TEST(LineSolver, NonNumberResidualSumEndsPassLoop) {
  // Corner node (5,5) of the range 2..5 x 2..5 is coupled only to its north
  // and east ring values 1e38, with an = ae = 2 and ap = 8.  Both sweeps give
  // it (2e38 + 2e38) / 8 = 5e37 without overflow, but its residual adds
  // an * 1e38 + ae * 1e38 = inf and subtracts ap * 5e37 = inf: not a number.
  // The rest of column 5 is a set of isolated nodes; columns 2..4 form an
  // ordinary 2-D system, which every further pass would change.
  const Range r{2, 2, 5, 5};
  Problem p;
  Ccoef& cf = *p.cf;
  set_coefficients(cf, Range{2, 2, 4, 5}, 0.0f);
  for (int j = 2; j <= 5; ++j) {
    cf.ap(4, j) -= cf.ae(4, j);
    cf.ae(4, j) = 0.0f;
    cf.su(4, j) = 1.0f;
    cf.an(5, j) = cf.as(5, j) = cf.ae(5, j) = cf.aw(5, j) = 0.0f;
    cf.ap(5, j) = 1.0f;
    cf.su(5, j) = 1.0f;
  }
  cf.an(5, 5) = 2.0f;
  cf.ae(5, 5) = 2.0f;
  cf.ap(5, 5) = 8.0f;
  cf.su(5, 5) = 0.0f;
  Field& phi = *p.phi;
  phi(5, 6) = 1.0e38f;
  phi(6, 5) = 1.0e38f;
  phi(3, 1) = 3.0f;  // some nonzero ring values for the 2-D part
  phi(1, 4) = -2.0f;
  phi(2, 6) = 0.5f;

  auto one = copy_of(phi);
  manual_passes(cf, r, *one, 1);
  EXPECT_EQ((*one)(5, 5), 5.0e37f);
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) ASSERT_TRUE(std::isfinite((*one)(i, j))) << i << "," << j;
  const float partial = cf.an(5, 5) * (*one)(5, 6) + cf.as(5, 5) * (*one)(5, 4) + cf.ae(5, 5) * (*one)(6, 5);
  const float ap_phi = cf.ap(5, 5) * (*one)(5, 5);
  ASSERT_TRUE(std::isinf(partial) && std::isinf(ap_phi));
  auto two = copy_of(*one);
  manual_passes(cf, r, *two, 1);
  ASSERT_FALSE(same_bits(*one, *two));

  adisol(cf, r, phi, {5, 0.0f}, qtest::line_work());
  EXPECT_TRUE(same_bits(*one, phi));
}

TEST(LineSolver, BoundaryRingAndBeyondNeverWritten) {
  // Coefficients and distinct values everywhere, so that any write outside
  // the range would show.
  const Range r{4, 6, 15, 11};
  Problem p;
  set_coefficients(*p.cf, Range{1, 1, kMaxGrid, kMaxGrid}, 0.25f);
  for (int j = 1; j <= kMaxGrid; ++j)
    for (int i = 1; i <= kMaxGrid; ++i) {
      (*p.phi)(i, j) = 0.001f * static_cast<float>(i) + static_cast<float>(j % 17) - 3.0f;
      p.cf->su(i, j) = static_cast<float>((i + 3 * j) % 7) - 2.5f;
    }
  const auto before = copy_of(*p.phi);

  lisoli(*p.cf, r, *p.phi, qtest::line_work());
  EXPECT_EQ(changed_outside(*before, *p.phi, r), 0);
  lisolj(*p.cf, r, *p.phi, qtest::line_work());
  EXPECT_EQ(changed_outside(*before, *p.phi, r), 0);
  adisol(*p.cf, r, *p.phi, {5, -1.0f}, qtest::line_work());
  EXPECT_EQ(changed_outside(*before, *p.phi, r), 0);
  int changed_inside = 0;
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) changed_inside += (*p.phi)(i, j) != (*before)(i, j);
  EXPECT_EQ(changed_inside, (r.iend - r.istart + 1) * (r.jend - r.jstart + 1));
}

TEST(LineSolver, OneSweepSolvesLinesExactlyWhenTheyAreTheOnlyCoupling) {
  // Thomas recurrence on diagonally dominant lines (margin 0.5 on ap): the
  // result is the exact solution up to a few roundings of values of order 1.
  const Range r{3, 2, 13, 16};
  {
    SCOPED_TRACE("vertical lines, ae = aw = 0");
    Problem p;
    set_coefficients(*p.cf, r, 0.5f);
    for (int j = r.jstart; j <= r.jend; ++j)
      for (int i = r.istart; i <= r.iend; ++i) {
        p.cf->ap(i, j) -= p.cf->ae(i, j) + p.cf->aw(i, j);
        p.cf->ae(i, j) = p.cf->aw(i, j) = 0.0f;
      }
    manufacture(p, r, 0.0f);
    lisoli(*p.cf, r, *p.phi, qtest::line_work());
    EXPECT_LT(max_error(*p.phi, r), 2e-6);
  }
  {
    SCOPED_TRACE("horizontal lines, an = as = 0");
    Problem p;
    set_coefficients(*p.cf, r, 0.5f);
    for (int j = r.jstart; j <= r.jend; ++j)
      for (int i = r.istart; i <= r.iend; ++i) {
        p.cf->ap(i, j) -= p.cf->an(i, j) + p.cf->as(i, j);
        p.cf->an(i, j) = p.cf->as(i, j) = 0.0f;
      }
    manufacture(p, r, 0.0f);
    lisolj(*p.cf, r, *p.phi, qtest::line_work());
    EXPECT_LT(max_error(*p.phi, r), 2e-6);
  }
}

TEST(LineSolver, SweepsUseNeighbourLinesSolvedEarlierInTheSameSweep) {
  // Lines coupled to their west neighbour line only (ae = 0): the columns,
  // solved west to east, each see their final west neighbour, so one
  // vertical sweep is exact.  Coupled to the east only it is not: the east
  // column is still at its starting value.  Likewise rows coupled to the
  // south only, or to the north only, for the horizontal sweep.
  const Range r{3, 3, 12, 11};
  struct Case {
    const char* name;
    int dropped;  // 0 ae, 1 aw, 2 an, 3 as
    bool vertical;
    bool exact;
  };
  const Case cases[] = {{"vertical sweep, west coupling only", 0, true, true},
                        {"vertical sweep, east coupling only", 1, true, false},
                        {"horizontal sweep, south coupling only", 2, false, true},
                        {"horizontal sweep, north coupling only", 3, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Problem p;
    set_coefficients(*p.cf, r, 0.5f);
    Ccoef& cf = *p.cf;
    for (int j = r.jstart; j <= r.jend; ++j)
      for (int i = r.istart; i <= r.iend; ++i) {
        float* a = c.dropped == 0 ? &cf.ae(i, j) : c.dropped == 1 ? &cf.aw(i, j) : c.dropped == 2 ? &cf.an(i, j) : &cf.as(i, j);
        cf.ap(i, j) -= *a;
        *a = 0.0f;
      }
    manufacture(p, r, 0.0f);
    if (c.vertical)
      lisoli(cf, r, *p.phi, qtest::line_work());
    else
      lisolj(cf, r, *p.phi, qtest::line_work());
    if (c.exact)
      EXPECT_LT(max_error(*p.phi, r), 2e-6);
    else
      EXPECT_GT(max_error(*p.phi, r), 1e-2);
  }
}

TEST(LineSolver, ConvergesToManufacturedSolution) {
  // ap = sum of neighbours + 0.1 makes the system diagonally dominant by 0.1,
  // so max |phi - exact| <= max |residual| / 0.1 <= residual sum / 0.1.
  const Range r{2, 2, 23, 18};
  Problem p;
  set_coefficients(*p.cf, r, 0.1f);
  manufacture(p, r, 0.0f);
  const double start_error = max_error(*p.phi, r);
  ASSERT_GT(start_error, 0.5);

  const float tol = 1e-3f;
  adisol(*p.cf, r, *p.phi, {1000, tol}, qtest::line_work());
  const double rsum = residual_sum(*p.cf, *p.phi, r);
  EXPECT_LE(rsum, 1.01 * tol);
  EXPECT_LE(max_error(*p.phi, r), rsum / 0.1);

  // Further passes reach rounding level: node residuals of a few units in the
  // last place of ap * phi (ap * phi ~ 5, ulp 5e-7), times 1 / 0.1.
  adisol(*p.cf, r, *p.phi, {100, -1.0f}, qtest::line_work());
  EXPECT_LT(max_error(*p.phi, r), 1e-5);
}

TEST(LineSolver, ResultDoesNotDependOnEarlierCalls) {
  const Range small{5, 5, 9, 8};
  Problem a;
  set_coefficients(*a.cf, small, 0.0f);
  manufacture(a, small, 0.0f);
  auto first = copy_of(*a.phi);
  adisol(*a.cf, small, *first, {2, -1.0f}, qtest::line_work());

  Problem b;
  const Range big{2, 2, 300, 340};
  set_coefficients(*b.cf, big, 0.3f);
  manufacture(b, big, 7.0f);
  adisol(*b.cf, big, *b.phi, {2, -1.0f}, qtest::line_work());

  auto again = copy_of(*a.phi);
  adisol(*a.cf, small, *again, {2, -1.0f}, qtest::line_work());
  EXPECT_TRUE(same_bits(*first, *again));
}

}  // namespace
