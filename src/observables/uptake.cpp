#include "observables/uptake.hpp"

#include "physics/physics.hpp"

#include <limits>

#include "discretise/common.hpp"
#include "discretise/concentration_scheme.hpp"

namespace questrand {

namespace {

struct LayerSums {
  double amount = 0.0;
  double volume = 0.0;
};

// Sums of c V over rows j1..j2 with V = wx hy rad, the control volumes.
LayerSums control_volume_sums(const State& s, const Field& c, int j1, int j2) {
  const Cgrid& g = s.cgrid;
  LayerSums sums;
  for (int j = j1; j <= j2; ++j)
    for (int i = 2; i <= g.ilast; ++i) {
      const double v = static_cast<double>(g.wx(i)) * g.hy(j) * g.rad(j);
      sums.amount += c(i, j) * v;
      sums.volume += v;
    }
  return sums;
}

// Sums of c V over a layer's rows j1..j2 with V = wx dz rad, dz the design
// cell height (thickness / rows), cells that tile the layer exactly.
LayerSums design_cell_sums(const State& s, const Field& c, int j1, int j2) {
  const Cgrid& g = s.cgrid;
  LayerSums sums;
  for (int j = j1; j <= j2; ++j) {
    const double dz = design_cell_height(s, j);
    for (int i = 2; i <= g.ilast; ++i) {
      const double v = static_cast<double>(g.wx(i)) * dz * g.rad(j);
      sums.amount += c(i, j) * v;
      sums.volume += v;
    }
  }
  return sums;
}

// Linear interpolation weight: position lies between nodes k and k+1 of
// `nodes` (first <= k < last), fraction w from k; clamped to the range.
struct Bracket {
  int k = 0;
  double w = 0.0;
};

Bracket bracket(const GridVec& nodes, int first, int last, double position) {
  if (last <= first) return {first, 0.0};
  int k = first;
  while (k + 1 < last && nodes(k + 1) <= position) ++k;
  const double span = static_cast<double>(nodes(k + 1)) - nodes(k);
  double w = span > 0.0 ? (position - nodes(k)) / span : 0.0;
  if (w < 0.0) w = 0.0;
  if (w > 1.0) w = 1.0;
  return {k, w};
}

// c of row j at x = L/2, linear between the two nearest columns.
double at_mid_length(const State& s, const Field& c, int j) {
  const Cgrid& g = s.cgrid;
  const Bracket bx = bracket(g.x, 2, g.ilast, 0.5 * static_cast<double>(s.cprob.chlength));
  if (bx.w == 0.0) return c(bx.k, j);
  return (1.0 - bx.w) * c(bx.k, j) + bx.w * c(bx.k + 1, j);
}

// c at x = L/2 and depth y, linear between the layer's rows j1..j2 around y.
double at_point(const State& s, const Field& c, int j1, int j2, double y) {
  const Bracket by = bracket(s.cgrid.y, j1, j2, y);
  const double below = at_mid_length(s, c, by.k);
  if (by.w == 0.0) return below;
  return (1.0 - by.w) * below + by.w * at_mid_length(s, c, by.k + 1);
}

double face_density(const Field& den, int i1, int j1, int i2, int j2) {
  return 0.5 * (static_cast<double>(den(i1, j1)) + den(i2, j2));
}

}  // namespace

Uptake uptake_of(const State& s) {
  const Cgrid& g = s.cgrid;
  const Cprob& pb = s.cprob;
  const Field& c = s.cvar.c;
  const Field& u = s.cvar.u;
  const Field& den = s.cprop.den;
  const Field& gam = s.cprop.gamc;
  Uptake up;
  up.time = s.ctime.time;

  const LayerSums flow = design_cell_sums(s, c, pb.jflow1, pb.jflow2);
  const LayerSums memb = design_cell_sums(s, c, pb.jmemb1, pb.jmemb2);
  const LayerSums gel = design_cell_sums(s, c, pb.jgel1, pb.jgel2);
  up.m_flow = flow.amount;
  up.m_memb = memb.amount;
  up.m_gel = gel.amount;
  up.c_memb_mean = memb.volume > 0.0 ? memb.amount / memb.volume : 0.0;
  up.c_gel_mean = gel.volume > 0.0 ? gel.amount / gel.volume : 0.0;

  const double memb_face = pb.halfgap;
  const double gel_face = static_cast<double>(pb.halfgap) + pb.th_memb;
  up.c_memb_mid = at_point(s, c, pb.jmemb1, pb.jmemb2, memb_face + 0.5 * pb.th_memb);
  up.c_gel_mid = at_point(s, c, pb.jgel1, pb.jgel2, gel_face + 0.5 * pb.th_gel);
  const double top_row = at_mid_length(s, c, pb.jgel2);
  if (s.cphys.sink)
    up.c_gel_top = 0.0;  // the sink holds the back face at c = 0 (PHYSICS.INP gel_back = sink)
  else
    up.c_gel_top = pb.jgel2 > pb.jgel1 ? (9.0 * top_row - at_mid_length(s, c, pb.jgel2 - 1)) / 8.0 : top_row;

  // Membrane to gel: the north faces of row jmemb2.
  const int jm = pb.jmemb2;
  for (int i = 2; i <= g.ilast; ++i) {
    const float area_n = g.wx(i) * g.radv(jm + 1);
    const float dn = is_second_order(s.cscheme.scheme)
                         ? series_conductance(s, i, jm, area_n)
                         : 0.5f * (gam(i, jm + 1) + gam(i, jm)) * area_n / g.dyn(jm);
    // phi = c / K is continuous across the face (PHYSICS.INP partition; K = 1 without)
    up.flux_memb_gel += dn * (static_cast<double>(c(i, jm)) / partition(s, jm) - static_cast<double>(c(i, jm + 1)) / partition(s, jm + 1)) /
                        face_density(den, i, jm, i, jm + 1);
  }

  // Inlet and outlet faces of the channel rows.
  const bool second_order = is_second_order(s.cscheme.scheme);
  float low = 0.0f, high = 0.0f;
  if (second_order) concentration_bounds(s, low, high, true);
  double inflow = 0.0, outflow = 0.0, outlet_volume_flow = 0.0;
  const int il = g.ilast;
  for (int j = pb.jflow1; j <= pb.jflow2; ++j) {
    const float area_ew = g.rad(j) * concentration_cell_height(s, j);  // the scheme's cell
    const float fw = 0.5f * (den(1, j) + den(2, j)) * u(2, j) * area_ew;
    const float fe = 0.5f * (den(il + 1, j) + den(il, j)) * u(il + 1, j) * area_ew;
    const double rho_w = face_density(den, 1, j, 2, j);
    const double rho_e = face_density(den, il, j, il + 1, j);
    if (second_order) {
      // the fixed inlet value at x = 0; the outlet's convected face value, no diffusion
      const float dw = inlet_conductance(s, j, area_ew);
      const double aw = dw + (fw > 0.0f ? fw : 0.0f);
      inflow += (aw * c(1, j) - (aw - fw) * c(2, j)) / rho_w;
      const double face = fe > 0.0f ? outlet_face_value(s, j, low, high) : static_cast<double>(c(il + 1, j));
      outflow += fe * face / rho_e;
    } else {
      const float dw = 0.5f * (gam(1, j) + gam(2, j)) * area_ew / g.dxw(2);
      const double aw = hybrid_plus(fw, dw);
      inflow += (aw * c(1, j) - (aw - fw) * c(2, j)) / rho_w;
      const float de = 0.5f * (gam(il + 1, j) + gam(il, j)) * area_ew / g.dxe(il);
      const double ae = hybrid_minus(fe, de);
      outflow += ((ae + fe) * c(il, j) - ae * c(il + 1, j)) / rho_e;
    }
    outlet_volume_flow += fe / rho_e;
  }
  up.c_out = outlet_volume_flow > 0.0 ? outflow / outlet_volume_flow : std::numeric_limits<double>::quiet_NaN();

  const double total = control_volume_sums(s, c, pb.jflow1, pb.jgel2).amount;
  if (s.ctime.steady) {
    up.balance = inflow != 0.0 ? (inflow - outflow) / inflow : inflow - outflow;
  } else {
    // the last (sub-)step: under the second-order scheme the first steps of a
    // run from time zero are made of sub-steps, and the balance is the last one's
    const double dt = is_second_order(s.cscheme.scheme) ? s.cscheme.last_dt : s.ctime.dt;
    double defect = (inflow - outflow) * dt - concentration_change(s);  // the scheme's cells and weights
    if (s.cphys.present) defect -= s.cphys.level_sink + s.cphys.level_reacted;  // what left into the sink or reacted
    const double scale = total != 0.0 ? total : inflow * dt;
    up.balance = scale != 0.0 ? defect / scale : defect;
  }
  if (s.cphys.present) {
    up.physics = true;
    up.m_sink = s.cphys.m_sink;
    up.m_reacted = s.cphys.m_reacted;
  }
  return up;
}

}  // namespace questrand
