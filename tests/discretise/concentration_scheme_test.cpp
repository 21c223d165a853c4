// The second-order concentration scheme: its order against the two-layer slab
// series on three kinds of stack, its conductance across the faces between
// layers, and the species balance of its steps.
#include "discretise/concentration_scheme.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "control/run.hpp"
#include "discretise/scalar_transport.hpp"
#include "observables/uptake.hpp"
#include "state_support.hpp"
#include "two_layer_slab.hpp"

using questrand::IterationState;
using questrand::Scheme;
using questrand::State;

namespace {

std::unique_ptr<State> held_stack(double d_memb, double d_gel, int n_memb, int n_gel, float dt, Scheme scheme) {
  auto s = qtest::held_stack(d_memb, d_gel, n_memb, n_gel, dt, 4);
  s->cscheme.scheme = scheme;
  return s;
}

void step(State& s) { qtest::time_step(s); }

// Mean of c over the gel's own cells (equal heights, equal widths).
double gel_mean(const State& s) {
  double sum = 0.0;
  int n = 0;
  for (int j = s.cprob.jgel1; j <= s.cprob.jgel2; ++j)
    for (int i = 2; i <= s.cgrid.ilast; ++i, ++n) sum += s.cvar.c(i, j);
  return sum / n;
}

struct Stack {
  const char* name;
  double d_memb, d_gel, t_end;
};

// Largest error of the gel mean against the series over t >= t_end / 10 (the
// first steps carry the start from a jump of the face value, which every
// scheme resolves at first order there and which fades from the curve).
double gel_mean_error(const Stack& k, const qtest::TwoLayerSlab& slab, int n_memb, int n_gel, float dt, Scheme scheme) {
  auto s = held_stack(k.d_memb, k.d_gel, n_memb, n_gel, dt, scheme);
  const int steps = static_cast<int>(std::lround(k.t_end / dt));
  double worst = 0.0;
  for (int n = 1; n <= steps; ++n) {
    step(*s);
    const double t = n * static_cast<double>(dt);
    if (t >= 0.1 * k.t_end) worst = std::max(worst, std::fabs(gel_mean(*s) - slab.second_layer_mean(t)));
  }
  return worst;
}

}  // namespace

// On 4/8 -> 8/16 -> 16/32 rows of membrane/gel with dt 10 -> 5 -> 2.5 s the
// error of the gel mean falls four times per halving (observed order at
// least 1.8) on a balanced, a membrane-limited and a gel-limited stack; the
// standard scheme's errors are printed beside them.
TEST(ConcentrationScheme, SecondOrderGelMeanConvergesAtOrderTwo) {
  const Stack stacks[] = {{"balanced", 5e-10, 8e-10, 800.0},
                          {"membrane-limited", 5e-11, 8e-10, 4000.0},
                          {"gel-limited", 5e-9, 5e-10, 1200.0}};
  struct Grid {
    int n_memb, n_gel;
    float dt;
  };
  const Grid grids[] = {{4, 8, 10.0f}, {8, 16, 5.0f}, {16, 32, 2.5f}};
  for (const Stack& k : stacks) {
    const qtest::TwoLayerSlab slab(k.d_memb, k.d_gel, 1.0e-4, 5.0e-4);
    std::vector<double> err;
    for (const Grid& gr : grids) {
      err.push_back(gel_mean_error(k, slab, gr.n_memb, gr.n_gel, gr.dt, Scheme::second_order));
      const double standard = gel_mean_error(k, slab, gr.n_memb, gr.n_gel, gr.dt, Scheme::standard);
      std::printf("%-16s %2d/%2d rows dt %4.1f s: gel-mean error second-order %.3e, standard %.3e\n", k.name,
                  gr.n_memb, gr.n_gel, static_cast<double>(gr.dt), err.back(), standard);
    }
    for (std::size_t m = 0; m + 1 < err.size(); ++m) {
      const double order = std::log2(err[m] / err[m + 1]);
      std::printf("%-16s observed order %.2f\n", k.name, order);
      EXPECT_GE(order, 1.8) << k.name << ", refinement " << m + 1;
    }
  }
}

// The face between two layers carries the conductance of the two half cells
// in series: the flux it gives for a profile linear in each layer, with the
// flux continuous across the face, is that profile's flux, at the
// channel/membrane face (a wall for the flow, open to the species) and at the
// membrane/gel face; inside a layer it is gam A / h.
TEST(ConcentrationScheme, SeriesConductanceAcrossLayerFaces) {
  qtest::ProblemText p;
  p.ni = 6;
  p.n_flow = 3;
  p.n_memb = 2;
  p.n_gel = 5;
  p.steady = true;
  auto s = qtest::prepared_state(p.text());
  s->cscheme.scheme = Scheme::second_order;
  for (int j = 1; j <= s->cgrid.nj; ++j)
    for (int i = 1; i <= s->cgrid.ni; ++i) s->cvar.u(i, j) = s->cvar.v(i, j) = 0.0f;
  questrand::calcc(*s);
  const auto& g = s->cgrid;
  const auto& pb = s->cprob;
  const auto& cf = s->ccoef;
  const double rho = 1000.0, d_flow = 1.0e-9, d_memb = 5.0e-10, d_gel = 8.0e-10;
  struct Face {
    int j;  // the row below the face
    double y_face, d_below, d_above;
  };
  const Face faces[] = {{pb.jflow2, p.halfgap, d_flow, d_memb},
                        {pb.jmemb2, static_cast<double>(p.halfgap) + p.th_memb, d_memb, d_gel}};
  const int i = 3;
  for (const Face& f : faces) {
    // c = 1 - (y - y_face) q / D: the same flux q = 1e-9 on both sides.
    const double q = 1.0e-9;
    auto c = [&](int j) {
      const double y = g.y(j);
      return 1.0 - (y - f.y_face) * q / (y < f.y_face ? f.d_below : f.d_above);
    };
    const double area = g.wx(i);
    const double flux = cf.an(i, f.j) * (c(f.j) - c(f.j + 1)) / rho;  // the north face of the row below
    EXPECT_NEAR(flux / (q * area), 1.0, 2e-6) << "face above row " << f.j;
    EXPECT_EQ(cf.an(i, f.j), cf.as(i, f.j + 1)) << "the same face seen from above";
  }
  const double h_gel = 5.0e-4 / 5;
  EXPECT_NEAR(cf.an(i, pb.jgel1) / (rho * d_gel * g.wx(i) / h_gel), 1.0, 1e-6);
  EXPECT_EQ(questrand::design_cell_height(*s, pb.jflow2), p.halfgap / 3.0f);
  EXPECT_EQ(questrand::concentration_cell_height(*s, pb.jmemb1), p.th_memb / 2.0f);
}

// Each step's species balance (uptake file: inflow - outflow against the
// change of the amount, counted with the scheme's cells and time weights)
// stays at the level of single-precision rounding under both schemes, through
// the implicit Euler start and the BDF2 steps: channel flow with its
// convection, the channel/membrane face and the uptake of membrane and gel.
TEST(ConcentrationScheme, SpeciesBalanceOfEveryStepAtRoundingLevel) {
  for (const Scheme scheme : {Scheme::standard, Scheme::second_order}) {
    qtest::ProblemText p;
    p.ni = 14;
    p.n_flow = 5;
    p.n_memb = 3;
    p.n_gel = 6;
    p.dt = 2.0f;
    p.maxit = 100;
    p.convtol = 0.0f;
    auto s = qtest::prepared_state(p.text());
    s->cscheme.scheme = scheme;
    double worst = 0.0;
    for (int n = 1; n <= 8; ++n) {
      step(*s);
      worst = std::max(worst, std::fabs(questrand::uptake_of(*s).balance));
    }
    std::printf("%s scheme: worst step balance %.3g of the amount held\n", questrand::scheme_name(scheme), worst);
    EXPECT_LT(worst, 2e-6) << questrand::scheme_name(scheme);
  }
}

// A step up of the inlet at Courant numbers of about 50 along the channel:
// under the second-order scheme no cell leaves the range [0, c_in] of the
// start and inlet values in any step, from time zero (the start's sub-steps
// resolve the front) and as a continued run, which starts with one implicit
// Euler step and no sub-steps (plain BDF2 overshoots there in the first
// steps, so some cells must have taken the bounded step).
TEST(ConcentrationScheme, SecondOrderStepUpStaysWithinInletAndStartValues) {
  for (const bool continued : {false, true}) {
    qtest::ProblemText p;
    p.dt = 10.0f;
    p.nsteps = 6;
    p.maxit = 200;
    p.convtol = 1.0e-6f;
    auto s = qtest::prepared_state(p.text());
    s->cscheme.scheme = Scheme::second_order;
    if (continued) s->ctime.time = 10.0f;  // as from a restart file: the same fields, no start
    double lowest = 0.0, highest = 0.0;
    int bounded_cells = 0;
    for (int n = 1; n <= p.nsteps; ++n) {
      step(*s);
      for (int j = 2; j <= s->cgrid.jlast; ++j)
        for (int i = 2; i <= s->cgrid.ilast; ++i) {
          lowest = std::min(lowest, static_cast<double>(s->cvar.c(i, j)));
          highest = std::max(highest, static_cast<double>(s->cvar.c(i, j)));
          bounded_cells += s->cscheme.limited(i, j) != 0.0f;
        }
    }
    std::printf("second-order step up%s: c within [%.3g, %.9g], %d cell-steps bounded\n",
                continued ? ", continued" : "", lowest, highest, bounded_cells);
    // within the marking margin (1e-6 of the range, which a cell may take in
    // each of the start's sub-steps) and a few roundings of c ~ 1
    EXPECT_GE(lowest, -1e-5);
    EXPECT_LE(highest, 1.0 + 1e-5);
    if (continued) {
      EXPECT_GT(bounded_cells, 0);
    }
  }
}
