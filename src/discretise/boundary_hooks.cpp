#include "discretise/boundary_hooks.hpp"

#include <cmath>

namespace questrand {

namespace {

// A no-slip wall at rest on the north or the south face of a channel row of
// the u-cells: the channel's top (the membrane face, y = halfgap, north of
// row jflow2) or, with PHYSICS.INP lower_face = wall, its bottom (y = 0,
// south of row 2).
enum class WallSide { north, south };
struct ChannelWall {
  int row;         // the u-cells' row next to the wall
  WallSide side;   // the face of that row on which the wall lies
  float position;  // the wall's y (second-order scheme)
};

// The wall's shear on the u-cells I = 3..ilast of its row: the link across
// the wall face is cut (an or as = 0) and the shear mu_w A du/dy, A = wxu
// radv of that face, mu_w = (vis(I,J) + vis(I-1,J)) / 2, leaves through it.
//
// Standard scheme: du/dy = u_P / delta, delta the distance from the node to
// the face, implicit (sp -= mu_w A / delta).  (At the top the face lies
// midway to the first membrane node, a fixed fraction of a row away from the
// wall when the layers' rows differ in height; the bottom face is y = 0.)
//
// Second-order scheme: the wall where it is, y = position, and the gradient
// from the quadratic through the wall (u = 0), the wall row P and the next
// row N away from it, at distances s1 = |position - y_P|, s2 = |position - y_N|:
//   du/dy at the wall (towards P) = (u_P s2^2 - u_N s1^2) / (s1 s2 (s2 - s1)),
// exact for the Poiseuille parabola.  Implicit part mu A u_P / s1 (as the
// standard scheme, with the true distance), the rest as a deferred
// correction from the current iterate; u_P / s1 alone when the channel has
// one row.  (On the standard geometry's top the midway face slows the wall
// row by some 30 % of its speed on every grid when the rows differ.)
void wall_shear(State& s, const ChannelWall& wall) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  const Field& vis = s.cprop.vis;
  const Field& u = s.cvar.u;
  Ccoef& cf = s.ccoef;
  const int j = wall.row;
  const bool north = wall.side == WallSide::north;
  const int face = north ? j + 1 : j;       // the wall face's index in yv and radv
  Field& across = north ? cf.an : cf.as;    // the link through the wall face
  if (is_second_order(s.cscheme.scheme)) {
    const int jn = north ? j - 1 : j + 1;   // the next row away from the wall
    const double s1 = north ? static_cast<double>(wall.position) - g.y(j) : g.y(j) - static_cast<double>(wall.position);
    const double s2 = north ? static_cast<double>(wall.position) - g.y(jn) : g.y(jn) - static_cast<double>(wall.position);
    const bool quadratic = jn >= pb.jflow1 && jn <= pb.jflow2 && s2 > s1;
    for (int i = 3; i <= g.ilast; ++i) {
      const float mu_w = 0.5f * (vis(i, j) + vis(i - 1, j));
      const double conductance = static_cast<double>(mu_w) * g.wxu(i) * g.radv(face);
      cf.sp(i, j) = cf.sp(i, j) - static_cast<float>(conductance / s1);
      across(i, j) = 0.0f;
      if (quadratic) {
        const double slope = (u(i, j) * s2 * s2 - u(i, jn) * s1 * s1) / (s1 * s2 * (s2 - s1));
        cf.su(i, j) = cf.su(i, j) - static_cast<float>(conductance * (slope - u(i, j) / s1));
      }
    }
  } else {
    const float delta = north ? g.yv(face) - g.y(j) : g.y(j) - g.yv(face);
    for (int i = 3; i <= g.ilast; ++i) {
      const float mu_w = 0.5f * (vis(i, j) + vis(i - 1, j));
      cf.sp(i, j) = cf.sp(i, j) - mu_w * g.wxu(i) * g.radv(face) / delta;
      across(i, j) = 0.0f;
    }
  }
}

}  // namespace

void modu(State& s) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  const Field& den = s.cprop.den;
  Field& u = s.cvar.u;
  Ccoef& cf = s.ccoef;

  // Channel top (the membrane face): shear towards the wall face at rest.
  wall_shear(s, {pb.jflow2, WallSide::north, pb.halfgap});
  // Membrane and gel: no flow.
  for (int j = pb.jmemb1; j <= g.jlast; ++j)
    for (int i = 3; i <= g.ilast; ++i) cf.sp(i, j) = -s.cgen.bignum;
  if (s.cphys.wall) {
    // Lower wall (PHYSICS.INP lower_face = wall): shear towards y = 0 at rest;
    // the mirror row holds the reflection through it (zero on the wall).
    wall_shear(s, {2, WallSide::south, 0.0f});
    for (int i = 2; i <= g.ni; ++i) u(i, 1) = -u(i, 2);
  } else {
    // Symmetry plane.
    for (int i = 2; i <= g.ni; ++i) {
      u(i, 1) = u(i, 2);
      cf.as(i, 2) = 0.0f;
    }
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
