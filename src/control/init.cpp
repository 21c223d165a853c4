#include "control/init.hpp"

#include "setup/properties.hpp"

namespace questrand {

void init(State& s) {
  const Cgrid& g = s.cgrid;
  Cprob& pb = s.cprob;
  Cvar& var = s.cvar;
  for (int j = 1; j <= pb.jflow2; ++j) {
    for (int i = 1; i <= g.ni; ++i) {
      if (pb.parabolic && s.cphys.wall) {
        const float y = g.y(j);
        const float h = pb.halfgap;
        var.u(i, j) = pb.u_in * 4.0f * y * (h - y) / (h * h);
      } else if (pb.parabolic) {
        const float eta = g.y(j) / pb.halfgap;
        var.u(i, j) = pb.u_in * (1.0f - eta * eta);
      } else {
        var.u(i, j) = pb.u_in;
      }
      var.c(i, j) = (i <= 2) ? pb.c_in : 0.0f;
    }
  }
  if (s.cphys.wall)
    for (int i = 1; i <= g.ni; ++i) var.u(i, 1) = -var.u(i, 2);  // the reflection through the wall

  props(s);

  double flow = 0.0;
  double mom = 0.0;
  for (int j = 2; j <= g.nj - 1; ++j) {
    const float uf = var.u(2, j);
    const float f = 0.5f * (s.cprop.den(1, j) + s.cprop.den(2, j)) * g.rad(j) * g.hy(j) * uf;
    flow = flow + static_cast<double>(f);
    mom = mom + static_cast<double>(f * uf);
  }
  pb.flowin = static_cast<float>(flow);
  pb.momin = static_cast<float>(mom);

  s.cterm.resref_m = pb.flowin;
  s.cterm.resref_u = pb.momin;
  s.cterm.resref_v = pb.momin;
  s.cterm.resref_c = pb.flowin;
}

}  // namespace questrand
