// Whole-field solver: zero and negative iteration counts, empty ranges, the
// two row orderings, the residual clamp, the step length (its minimal-residual
// reduction, a negative value and the lasting reset of alpha), the untouched
// boundary ring and convergence to a manufactured solution.
#include "solvers/whole_field_solver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "solvers/solver_support.hpp"

namespace {

using questrand::Ccoef;
using questrand::Field;
using questrand::kMaxGrid;
using questrand::simsol;

using qtest::Problem;
using qtest::Range;
using qtest::changed_outside;
using qtest::copy_of;
using qtest::same_bits;
using qtest::exact;
using qtest::manufacture;
using qtest::max_error;
using qtest::set_coefficients;

// Runs simsol over the range with ni, nj one beyond it (as the equation
// routines call it).
void solve(const Ccoef& cf, float& alpha, const Range& r, Field& phi, int nsweep) {
  simsol(cf, r, phi, {r.iend + 1, r.jend + 1, nsweep}, alpha, qtest::whole_field_work());
}



// Zero one neighbour coefficient over the range, keeping the margin of ap.
enum class Side { north, south, east, west };
void drop(Ccoef& cf, const Range& r, Side s) {
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) {
      float& a = s == Side::north ? cf.an(i, j) : s == Side::south ? cf.as(i, j) : s == Side::east ? cf.ae(i, j) : cf.aw(i, j);
      cf.ap(i, j) -= a;
      a = 0.0f;
    }
}



// Euclidean norm of the node residuals, each formed in double.
double residual_norm(const Ccoef& cf, const Field& phi, const Range& r) {
  double s = 0.0;
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) {
      const double res = double(cf.an(i, j)) * phi(i, j + 1) + double(cf.as(i, j)) * phi(i, j - 1) +
                         double(cf.ae(i, j)) * phi(i + 1, j) + double(cf.aw(i, j)) * phi(i - 1, j) + cf.su(i, j) -
                         double(cf.ap(i, j)) * phi(i, j);
      s += res * res;
    }
  return std::sqrt(s);
}

// A general 2-D system, all four couplings, far from solved.
const Range kGeneral{3, 2, 16, 13};
Problem general_problem(float sp = 0.1f) {
  Problem p;
  set_coefficients(*p.cf, kGeneral, sp);
  manufacture(p, kGeneral, 0.0f);
  return p;
}

TEST(WholeFieldSolver, NoIterationsChangeNeitherFieldNorAlpha) {
  Problem p = general_problem();
  const auto before = copy_of(*p.phi);
  for (int nsweep : {0, -1, -4}) {
    float alpha = 0.8f;
    solve(*p.cf, alpha, kGeneral, *p.phi, nsweep);
    EXPECT_TRUE(same_bits(*before, *p.phi)) << "nsweep " << nsweep;
    EXPECT_TRUE(same_bits(alpha, 0.8f)) << "nsweep " << nsweep;
  }
}

TEST(WholeFieldSolver, EmptyRangeChangesNeitherFieldNorAlpha) {
  // No node: S1 = S2 = 0, so the guarded step length is 1 and the zero
  // correction is added.
  Problem p = general_problem();
  for (int j = 1; j <= 20; ++j)
    for (int i = 1; i <= 20; ++i) (*p.phi)(i, j) = 0.25f * static_cast<float>(i) - static_cast<float>(j);
  const auto before = copy_of(*p.phi);
  const Range empties[] = {{7, 3, 6, 12}, {3, 9, 15, 8}};
  for (const Range& r : empties) {
    float alpha = 0.8f;
    simsol(*p.cf, r, *p.phi, {20, 20, 3}, alpha, qtest::whole_field_work());
    EXPECT_TRUE(same_bits(*before, *p.phi));
    EXPECT_TRUE(same_bits(alpha, 0.8f));
  }
}

TEST(WholeFieldSolver, EachIterationReducesTheResidual) {
  // The step length minimises |r - omega q|, and the new residual is exactly
  // r - omega q: with omega > 0 every iteration lowers the residual norm,
  // whichever ordering it uses.
  const Problem ref = general_problem();
  double norm[9];
  norm[0] = residual_norm(*ref.cf, *ref.phi, kGeneral);
  for (int n = 1; n <= 8; ++n) {
    auto phi = copy_of(*ref.phi);
    float alpha = 0.8f;
    solve(*ref.cf, alpha, kGeneral, *phi, n);
    norm[n] = residual_norm(*ref.cf, *phi, kGeneral);
    EXPECT_TRUE(same_bits(alpha, 0.8f)) << n << " iterations";
    EXPECT_LT(norm[n], 0.8 * norm[n - 1]) << n << " iterations";
  }
  EXPECT_LT(norm[8], 1e-3 * norm[0]);
}

TEST(WholeFieldSolver, FirstIterationRunsRowsUpwardsSecondDownwards) {
  // Coupling only to the west and south makes the system lower triangular
  // in the upward ordering: its factorisation is then exact (no fill-in), so
  // one iteration solves it.  Coupling only to the west and north is lower
  // triangular in the downward ordering: the first iteration leaves an
  // error, the second (downward) one removes it.  Two separate calls of one
  // iteration each both run upwards and do not.
  const Range r{3, 3, 14, 12};
  const float alphas[] = {0.8f, 0.0f};
  for (float alpha0 : alphas) {
    SCOPED_TRACE(testing::Message() << "alpha " << alpha0);
    {
      SCOPED_TRACE("west and south coupling");
      Problem p;
      set_coefficients(*p.cf, r, 0.5f);
      drop(*p.cf, r, Side::east);
      drop(*p.cf, r, Side::north);
      manufacture(p, r, 0.0f);
      float alpha = alpha0;
      solve(*p.cf, alpha, r, *p.phi, 1);
      EXPECT_LT(max_error(*p.phi, r), 3e-6);
    }
    {
      SCOPED_TRACE("west and north coupling");
      Problem p;
      set_coefficients(*p.cf, r, 0.5f);
      drop(*p.cf, r, Side::east);
      drop(*p.cf, r, Side::south);
      manufacture(p, r, 0.0f);
      auto once = copy_of(*p.phi);
      float alpha = alpha0;
      solve(*p.cf, alpha, r, *once, 1);
      EXPECT_GT(max_error(*once, r), 1e-2);

      auto separate = copy_of(*once);
      solve(*p.cf, alpha, r, *separate, 1);
      EXPECT_GT(max_error(*separate, r), 1e-3);

      auto twice = copy_of(*p.phi);
      solve(*p.cf, alpha, r, *twice, 2);
      EXPECT_LT(max_error(*twice, r), 3e-6);
      EXPECT_TRUE(same_bits(alpha, alpha0));
    }
  }
}

// A 3 x 2 system over 2..4 x 2..3 with neighbour coefficients in steps of
// 1/4, ap = an + as + ae + aw + margin, and a fixed boundary ring.
Problem small_example(float margin) {
  Problem p;
  Ccoef& cf = *p.cf;
  struct Node {
    int i, j;
    float an, as, ae, aw, su;
  };
  const Node nodes[] = {{2, 2, 1.0f, 0.5f, 0.75f, 1.25f, 2.0f},  {3, 2, 1.5f, 0.25f, 1.0f, 0.5f, -1.0f},
                        {4, 2, 0.5f, 1.0f, 0.25f, 1.5f, 0.5f},   {2, 3, 0.75f, 1.25f, 0.5f, 1.0f, 0.0f},
                        {3, 3, 0.25f, 0.75f, 1.5f, 0.75f, 3.0f}, {4, 3, 1.0f, 0.5f, 0.75f, 0.25f, -2.0f}};
  for (const Node& n : nodes) {
    cf.an(n.i, n.j) = n.an;
    cf.as(n.i, n.j) = n.as;
    cf.ae(n.i, n.j) = n.ae;
    cf.aw(n.i, n.j) = n.aw;
    cf.su(n.i, n.j) = n.su;
    cf.ap(n.i, n.j) = n.an + n.as + n.ae + n.aw + margin;
  }
  Field& ring = *p.phi;
  ring(1, 2) = 1.0f;
  ring(1, 3) = -0.5f;
  ring(5, 2) = 2.0f;
  ring(5, 3) = 1.5f;
  ring(2, 1) = 0.5f;
  ring(3, 1) = -1.0f;
  ring(4, 1) = 0.25f;
  ring(2, 4) = 0.75f;
  ring(3, 4) = 2.0f;
  ring(4, 4) = -0.25f;
  return p;
}

TEST(WholeFieldSolver, WorkedExampleOfThreeIterations) {
  // Range 2..4 x 2..3, ap = an + as + ae + aw + 1/4, values worked in exact
  // rational arithmetic.  With alpha = 4/5 the minimal-residual step lengths
  // are 1.0467 (upward), 1.0545 (downward), 1.0601 (upward): each is limited
  // to 1 (without the limit phi(2,2) would be 1.2102 after one iteration).
  Problem p = small_example(0.25f);
  Ccoef& cf = *p.cf;
  Field& ring = *p.phi;

  struct Want {
    float alpha;
    int nsweep;
    double phi[2][3];  // rows J = 2, 3; columns I = 2..4
  };
  const Want wants[] = {
      {0.8f, 1, {{1.156244093, 0.304898609, 0.110230764}, {0.607241392, 0.988190643, -0.282445290}}},
      {0.8f, 2, {{1.181747898, 0.501969200, 0.522306275}, {0.562337197, 1.138159231, -0.204384942}}},
      {0.8f, 3, {{1.169407698, 0.434810516, 0.503505243}, {0.559170980, 1.118850766, -0.215982490}}},
      {0.0f, 1, {{1.130880473, 0.304323537, 0.251802359}, {0.512559122, 1.044154000, -0.268385571}}},
      {0.0f, 2, {{1.162444806, 0.421065629, 0.506430392}, {0.552530352, 1.112865627, -0.218184138}}},
  };
  const Range r{2, 2, 4, 3};
  for (const Want& w : wants) {
    SCOPED_TRACE(testing::Message() << "alpha " << w.alpha << ", " << w.nsweep << " iterations");
    auto phi = copy_of(ring);
    float alpha = w.alpha;
    solve(cf, alpha, r, *phi, w.nsweep);
    for (int j = 2; j <= 3; ++j)
      for (int i = 2; i <= 4; ++i) EXPECT_NEAR((*phi)(i, j), w.phi[j - 2][i - 2], 2e-6) << i << "," << j;
    EXPECT_EQ(alpha, w.alpha);
    EXPECT_EQ(changed_outside(ring, *phi, r), 0);
  }
}

TEST(WholeFieldSolver, ResidualClampReplacesValuesByPositiveOnes) {
  // A single node with ap = 4 and a zero ring: the correction is
  // r_clamped / 4, A applied to it gives back r_clamped, so the step length
  // is 1 and phi becomes r_clamped / 4.
  struct Case {
    float su;   // residual with phi = 0
    float phi;  // expected after one iteration
  };
  const Case cases[] = {
      {-5.0e11f, 2.5e10f},   // too large: +1e11, sign not kept
      {3.0e11f, 2.5e10f},    // too large: +1e11
      {-1.0e11f, -2.5e10f},  // at the limit: kept
      {8.0f, 2.0f},          // ordinary
      {0.0f, 2.5e-35f},      // zero: +1e-34
      {-4.0e-35f, 2.5e-35f}, // below 1e-34 in magnitude: +1e-34, sign not kept
      {-1.0e-34f, -2.5e-35f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "su " << c.su);
    Problem p;
    Ccoef& cf = *p.cf;
    const int i = 5, j = 6;
    cf.ap(i, j) = 4.0f;
    cf.an(i, j) = 1.0f;  // the ring values are 0
    cf.as(i, j) = 0.5f;
    cf.ae(i, j) = 0.75f;
    cf.aw(i, j) = 1.5f;
    cf.su(i, j) = c.su;
    float alpha = 0.8f;
    simsol(cf, Range{i, j, i, j}, *p.phi, {i + 1, j + 1, 1}, alpha, qtest::whole_field_work());
    EXPECT_EQ((*p.phi)(i, j), c.phi);
    EXPECT_TRUE(same_bits(alpha, 0.8f));
  }
}

TEST(WholeFieldSolver, SatisfiedSystemStillGetsTinyCorrection) {
  // phi = 0, su = 0 and a zero ring satisfy the system exactly; every node
  // residual is replaced by +1e-34, and the correction of that size is added.
  const Range r{2, 2, 9, 7};
  Problem p;
  set_coefficients(*p.cf, r, 0.0f);
  float alpha = 0.8f;
  solve(*p.cf, alpha, r, *p.phi, 1);
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) {
      const float v = (*p.phi)(i, j);
      EXPECT_NE(v, 0.0f) << i << "," << j;
      EXPECT_LT(std::fabs(v), 1e-32f) << i << "," << j;
    }
  EXPECT_EQ(changed_outside(*std::make_unique<Field>(), *p.phi, r), 0);
}

// Range 2..3 x 2..3, ap = 1/2, all neighbour coefficients 1, phi and the ring
// 0, a unit source at (2,3).  In the upward ordering with alpha = 0 the
// correction is d = (-4/11, 8/33; -14/33, -4/11) at (2,2), (3,2); (2,3),
// (3,3), with S1 = 17/33 and S2 = 1073/1089, so omega = 18513/35409.  With
// alpha = 0.8 the factorisation gives S1 = -1083/2149: a negative step.
const Range kIndefinite{2, 2, 3, 3};
Problem indefinite_problem() {
  Problem p;
  for (int j = 2; j <= 3; ++j)
    for (int i = 2; i <= 3; ++i) {
      p.cf->ap(i, j) = 0.5f;
      p.cf->an(i, j) = p.cf->as(i, j) = p.cf->ae(i, j) = p.cf->aw(i, j) = 1.0f;
    }
  p.cf->su(2, 3) = 1.0f;
  return p;
}

TEST(WholeFieldSolver, IndefiniteSystemStepLengthWorkedExample) {
  Problem p = indefinite_problem();
  float alpha = 0.0f;
  solve(*p.cf, alpha, kIndefinite, *p.phi, 1);
  const double omega = 18513.0 / 35409.0;
  EXPECT_NEAR((*p.phi)(2, 2), -4.0 / 11.0 * omega, 1e-6);
  EXPECT_NEAR((*p.phi)(3, 2), 8.0 / 33.0 * omega, 1e-6);
  EXPECT_NEAR((*p.phi)(2, 3), -14.0 / 33.0 * omega, 1e-6);
  EXPECT_NEAR((*p.phi)(3, 3), -4.0 / 11.0 * omega, 1e-6);
  EXPECT_EQ(alpha, 0.0f);
}

TEST(WholeFieldSolver, NegativeStepKeepsFieldAndResetsAlphaForGood) {
  Problem p = indefinite_problem();
  const auto before = copy_of(*p.phi);
  float alpha = 0.8f;
  solve(*p.cf, alpha, kIndefinite, *p.phi, 1);
  EXPECT_EQ(alpha, 0.0f);
  EXPECT_TRUE(same_bits(*before, *p.phi));

  // Later calls, on any system, work with alpha = 0 and leave it there.
  const Problem good = general_problem();
  auto with_reset = copy_of(*good.phi);
  solve(*good.cf, alpha, kGeneral, *with_reset, 3);
  EXPECT_EQ(alpha, 0.0f);

  float zero = 0.0f;
  auto with_zero = copy_of(*good.phi);
  solve(*good.cf, zero, kGeneral, *with_zero, 3);
  EXPECT_TRUE(same_bits(*with_zero, *with_reset));

  float eight = 0.8f;
  auto with_eight = copy_of(*good.phi);
  solve(*good.cf, eight, kGeneral, *with_eight, 3);
  EXPECT_FALSE(same_bits(*with_eight, *with_reset));
  EXPECT_EQ(eight, 0.8f);
}

TEST(WholeFieldSolver, BoundaryRingAndBeyondNeverWritten) {
  // ni and nj well beyond the range, coefficients and distinct values
  // everywhere, so that any write outside the range would show.
  const Range r{4, 6, 15, 11};
  Problem p;
  set_coefficients(*p.cf, Range{1, 1, kMaxGrid, kMaxGrid}, 0.25f);
  for (int j = 1; j <= kMaxGrid; ++j)
    for (int i = 1; i <= kMaxGrid; ++i) {
      (*p.phi)(i, j) = 0.001f * static_cast<float>(i) + static_cast<float>(j % 17) - 3.0f;
      p.cf->su(i, j) = static_cast<float>((i + 3 * j) % 7) - 2.5f;
    }
  const auto before = copy_of(*p.phi);
  float alpha = 0.8f;
  simsol(*p.cf, r, *p.phi, {40, 30, 3}, alpha, qtest::whole_field_work());
  EXPECT_EQ(changed_outside(*before, *p.phi, r), 0);
  int changed_inside = 0;
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) changed_inside += (*p.phi)(i, j) != (*before)(i, j);
  EXPECT_EQ(changed_inside, (r.iend - r.istart + 1) * (r.jend - r.jstart + 1));
}

TEST(WholeFieldSolver, ResultDoesNotDependOnEarlierCalls) {
  const Range small{5, 5, 9, 8};
  Problem a;
  set_coefficients(*a.cf, small, 0.0f);
  manufacture(a, small, 0.0f);
  auto first = copy_of(*a.phi);
  float alpha = 0.8f;
  solve(*a.cf, alpha, small, *first, 2);

  // A larger system first, its correction nonzero around the small range.
  Problem b;
  const Range big{2, 2, 60, 50};
  set_coefficients(*b.cf, big, 0.3f);
  manufacture(b, big, 7.0f);
  float alpha_b = 0.8f;
  solve(*b.cf, alpha_b, big, *b.phi, 2);

  auto again = copy_of(*a.phi);
  alpha = 0.8f;
  solve(*a.cf, alpha, small, *again, 2);
  EXPECT_TRUE(same_bits(*first, *again));
}

TEST(WholeFieldSolver, BothOrderingsConvergeToManufacturedSolution) {
  // ap = sum of neighbours + 0.1: diagonally dominant by 0.1, so
  // max |phi - exact| <= max |residual| / 0.1.  Converged node residuals are
  // a few units in the last place of ap * phi (ap * phi ~ 5, ulp 5e-7).
  const Range r{2, 2, 25, 21};
  Problem p;
  set_coefficients(*p.cf, r, 0.1f);
  manufacture(p, r, 0.0f);
  ASSERT_GT(max_error(*p.phi, r), 0.5);

  auto alternating = copy_of(*p.phi);
  float alpha = 0.8f;
  solve(*p.cf, alpha, r, *alternating, 80);
  EXPECT_LT(max_error(*alternating, r), 1e-5);
  EXPECT_EQ(alpha, 0.8f);

  // Calls of one iteration each: the upward ordering only.
  auto upward = copy_of(*p.phi);
  for (int k = 0; k < 80; ++k) solve(*p.cf, alpha, r, *upward, 1);
  EXPECT_LT(max_error(*upward, r), 1e-5);

  // The intermediate results of the two ways differ.
  auto two = copy_of(*p.phi);
  solve(*p.cf, alpha, r, *two, 2);
  auto one_one = copy_of(*p.phi);
  solve(*p.cf, alpha, r, *one_one, 1);
  solve(*p.cf, alpha, r, *one_one, 1);
  double diff = 0.0;
  for (int j = r.jstart; j <= r.jend; ++j)
    for (int i = r.istart; i <= r.iend; ++i) diff = std::fmax(diff, std::fabs((*two)(i, j) - (*one_one)(i, j)));
  EXPECT_GT(diff, 1e-3);
}

}  // namespace

TEST(WholeFieldSolver, StepLengthAndUpdateAreSinglePrecision) {
  // One upward iteration on a 3 x 2 range whose step length lies strictly
  // between 0 and 1.  The correction is scaled by the step length rounded to
  // a single-precision real and added in single precision.  Carrying the
  // double quotient into a double product and sum instead moves (3,2) and
  // (4,3) by one unit in the last place (the second values below).
  Problem p = small_example(1.0f);
  Ccoef& cf = *p.cf;
  Field& phi = *p.phi;
  for (int j = 2; j <= 3; ++j)
    for (int i = 2; i <= 4; ++i) phi(i, j) = 0.1f * static_cast<float>(i + j);

  float alpha = 0.0f;
  solve(cf, alpha, Range{2, 2, 4, 3}, phi, 1);
  const float single[2][3] = {{0x1.c7c4cp-1f, 0x1.835a9cp-3f, 0x1.365f94p-2f},
                              {0x1.7cb1cp-2f, 0x1.b70e7p-1f, -0x1.b6975p-3f}};
  for (int j = 2; j <= 3; ++j)
    for (int i = 2; i <= 4; ++i) EXPECT_TRUE(same_bits(phi(i, j), single[j - 2][i - 2])) << i << "," << j << ": " << phi(i, j);
  // The double-precision update would give these at (3,2) and (4,3).
  EXPECT_FALSE(same_bits(phi(3, 2), 0x1.835a9ap-3f));
  EXPECT_FALSE(same_bits(phi(4, 3), -0x1.b6974ep-3f));
  EXPECT_EQ(alpha, 0.0f);
}
