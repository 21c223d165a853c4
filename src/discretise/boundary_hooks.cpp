#include "discretise/boundary_hooks.hpp"

#include <cmath>

namespace questrand {

namespace {

// Second-order scheme: the shear of the channel wall on the last channel row
// with the wall where it is, y = halfgap (the standard geometry puts the
// row's north face midway to the first membrane node, a fixed fraction of a
// row away from the wall when the layers' rows differ in height, which slows
// the wall row by some 30 % of its speed on every grid), and its gradient
// from the quadratic through the wall (u = 0), the wall row P and the row
// below it, at distances s1 = halfgap - y_P and s2 = halfgap - y_(P-1):
//   du/dy at the wall = -(u_P s2^2 - u_(P-1) s1^2) / (s1 s2 (s2 - s1)),
// exact for the Poiseuille parabola.  Implicit part mu A u_P / s1 (as the
// standard hook, with the true distance), the rest as a deferred correction
// from the current iterate.
void wall_shear_second_order(State& s) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  const Field& vis = s.cprop.vis;
  const Field& u = s.cvar.u;
  Ccoef& cf = s.ccoef;
  const int j = pb.jflow2;
  const double s1 = static_cast<double>(pb.halfgap) - g.y(j);
  const double s2 = static_cast<double>(pb.halfgap) - g.y(j - 1);
  const bool quadratic = j - 1 >= 2 && s2 > s1;
  for (int i = 3; i <= g.ilast; ++i) {
    const float mu_w = 0.5f * (vis(i, j) + vis(i - 1, j));
    const double conductance = static_cast<double>(mu_w) * g.wxu(i) * g.radv(j + 1);
    cf.sp(i, j) = cf.sp(i, j) - static_cast<float>(conductance / s1);
    cf.an(i, j) = 0.0f;
    if (quadratic) {
      const double slope = (u(i, j) * s2 * s2 - u(i, j - 1) * s1 * s1) / (s1 * s2 * (s2 - s1));
      cf.su(i, j) = cf.su(i, j) - static_cast<float>(conductance * (slope - u(i, j) / s1));
    }
  }
}

}  // namespace

void modu(State& s) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  const Field& vis = s.cprop.vis;
  const Field& den = s.cprop.den;
  Field& u = s.cvar.u;
  Ccoef& cf = s.ccoef;

  // Channel wall: shear towards the wall face at rest.
  if (s.cscheme.scheme == Scheme::second_order) {
    wall_shear_second_order(s);
  } else {
    const int j = pb.jflow2;
    const float delta = g.yv(j + 1) - g.y(j);
    for (int i = 3; i <= g.ilast; ++i) {
      const float mu_w = 0.5f * (vis(i, j) + vis(i - 1, j));
      cf.sp(i, j) = cf.sp(i, j) - mu_w * g.wxu(i) * g.radv(j + 1) / delta;
      cf.an(i, j) = 0.0f;
    }
  }
  // Membrane and gel: no flow.
  for (int j = pb.jmemb1; j <= g.jlast; ++j)
    for (int i = 3; i <= g.ilast; ++i) cf.sp(i, j) = -s.cgen.bignum;
  // Symmetry plane.
  for (int i = 2; i <= g.ni; ++i) {
    u(i, 1) = u(i, 2);
    cf.as(i, 2) = 0.0f;
  }
  // Outlet: the last interior profile, shifted so that the outflow is flowin.
  float flow = 0.0f;
  float area = 0.0f;
  for (int j = 2; j <= pb.jflow2; ++j) {
    const float rho_f = 0.5f * (den(g.ilast - 1, j) + den(g.ilast, j));
    flow = flow + rho_f * g.rad(j) * g.hy(j) * u(g.ilast, j);
    area = area + rho_f * g.rad(j) * g.hy(j);
  }
  if (pb.jflow2 >= 2) {
    const float uinc = (pb.flowin - flow) / area;
    for (int j = 2; j <= pb.jflow2; ++j) u(g.ni, j) = u(g.ilast, j) + uinc;
  }
}

void modv(State& s) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  Ccoef& cf = s.ccoef;
  for (int i = 2; i <= g.ilast; ++i) cf.an(i, pb.jflow2) = 0.0f;
  for (int j = pb.jmemb1; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i) cf.sp(i, j) = -s.cgen.bignum;
  for (int i = 2; i <= g.ilast; ++i) cf.as(i, 3) = 0.0f;
  for (int j = 3; j <= g.jlast; ++j) cf.ae(g.ilast, j) = 0.0f;
}

void modp(State& /*s*/) {}

void modt(State& s) {
  const Cgrid& g = s.cgrid;
  Field& t = s.cvar.t;
  Ccoef& cf = s.ccoef;
  for (int i = 2; i <= g.ilast; ++i) {
    t(i, 1) = t(i, 2);
    cf.as(i, 2) = 0.0f;
  }
  for (int j = 2; j <= g.jlast; ++j) {
    t(g.ni, j) = t(g.ilast, j);
    cf.ae(g.ilast, j) = 0.0f;
  }
  const float delta = g.yv(g.nj) - g.y(g.jlast);
  for (int i = 2; i <= g.ilast; ++i) {
    const float dtop = g.wx(i) * s.cprop.gamt(i, g.jlast) * g.radv(g.nj) / delta;
    cf.su(i, g.jlast) = cf.su(i, g.jlast) + dtop * t(i, g.nj);
    cf.sp(i, g.jlast) = cf.sp(i, g.jlast) - dtop;
    cf.an(i, g.jlast) = 0.0f;
  }
}

void modc(State& s) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  Field& c = s.cvar.c;
  const Field& cold = s.cvar.cold;
  const Field& u = s.cvar.u;
  Ccoef& cf = s.ccoef;
  const int ni = g.ni;

  for (int i = 2; i <= g.ilast; ++i) {
    c(i, 1) = c(i, 2);
    cf.as(i, 2) = 0.0f;
  }
  // Characteristic outflow: the value that reaches the outlet node in one step.
  for (int j = 2; j <= pb.jflow2; ++j) {
    const float xb = g.x(ni) - s.ctime.dt * u(ni, j);
    int nearest = 1;
    float dmin = s.cgen.bignum;
    for (int i = 1; i <= ni; ++i) {
      const float dist = std::fabs(g.x(i) - xb);
      if (dist < dmin) {
        nearest = i;
        dmin = dist;
      }
    }
    if (nearest == ni) {
      c(ni, j) = cold(ni - 1, j) + (cold(ni, j) - cold(ni - 1, j)) / (g.x(ni) - g.x(ni - 1)) * (xb - g.x(ni - 1));
    } else {
      c(ni, j) = cold(nearest, j);
    }
    if (c(ni, j) > c(ni - 1, j)) c(ni, j) = c(ni - 1, j);
  }
  for (int j = pb.jmemb1; j <= g.jlast; ++j) {
    cf.aw(2, j) = 0.0f;
    cf.ae(g.ilast, j) = 0.0f;
  }
  for (int i = 2; i <= g.ilast; ++i) cf.an(i, g.jlast) = 0.0f;
}

}  // namespace questrand
