#include "discretise/concentration_scheme.hpp"

#include "physics/physics.hpp"

#include <algorithm>
#include <cmath>

namespace questrand {

const char* scheme_name(Scheme scheme) {
  switch (scheme) {
    case Scheme::second_order: return "second-order";
    case Scheme::second_order_graded: return "second-order-graded";
    case Scheme::standard: break;
  }
  return "standard";
}

const char* scheme_choices() { return "standard, second-order or second-order-graded"; }

bool parse_scheme(const std::string& text, Scheme& scheme) {
  for (const Scheme candidate : {Scheme::standard, Scheme::second_order, Scheme::second_order_graded})
    if (text == scheme_name(candidate)) {
      scheme = candidate;
      return true;
    }
  return false;
}

TimeWeights concentration_time_weights(const State& s) {
  if (is_second_order(s.cscheme.scheme) && s.cscheme.steps >= 2) {
    const float w = s.cscheme.step_ratio;
    if (w == 1.0f) return {1.5f, 2.0f, 0.5f};
    // variable-step BDF2, w = dt_n / dt_(n-1)
    return {(1.0f + 2.0f * w) / (1.0f + w), 1.0f + w, w * w / (1.0f + w)};
  }
  return {1.0f, 1.0f, 0.0f};
}

void mark_cells_out_of_bounds(State& s, float low, float high) {
  const Cgrid& g = s.cgrid;
  const Field& c = s.cvar.c;
  Field& limited = s.cscheme.limited;
  const float margin = 1.0e-6f * (high - low);
  for (int j = 2; j <= g.jlast; ++j)
    for (int i = 2; i <= g.ilast; ++i)
      if (c(i, j) > high + margin || c(i, j) < low - margin) limited(i, j) = 1.0f;
}

double concentration_change(const State& s) {
  const Cgrid& g = s.cgrid;
  const Cvar& var = s.cvar;
  const TimeWeights w = concentration_time_weights(s);
  double change = 0.0;
  for (int j = s.cprob.jflow1; j <= s.cprob.jgel2; ++j) {
    const double h = concentration_cell_height(s, j);
    for (int i = 2; i <= g.ilast; ++i) {
      const double v = static_cast<double>(g.wx(i)) * h * g.rad(j);
      const TimeTerm tt = time_term(w, var.cold(i, j), s.cscheme.c2old(i, j), s.cscheme.limited(i, j) != 0.0f);
      const double d = tt.now * var.c(i, j) - tt.explicit_part;
      change += v * d;
    }
  }
  return change;
}

void concentration_bounds(const State& s, float& low, float& high, bool of_c) {
  const Cgrid& g = s.cgrid;
  low = s.cvar.c(1, 2);
  high = low;
  for (int j = 2; j <= s.cprob.jflow2; ++j) {
    low = std::min(low, s.cvar.c(1, j));
    high = std::max(high, s.cvar.c(1, j));
  }
  for (int j = 2; j <= g.jlast; ++j) {
    const float k = of_c ? partition(s, j) : 1.0f;
    for (int i = 2; i <= g.ilast; ++i) {
      const float old = of_c ? s.cvar.cold(i, j) / k : s.cvar.cold(i, j);
      low = std::min(low, old);
      high = std::max(high, old);
    }
  }
}

double outlet_face_value(const State& s, int j, float low, float high) {
  const Cgrid& g = s.cgrid;
  const Field& c = s.cvar.c;
  const int il = g.ilast;
  const double c_u = c(il, j);
  if (il - 1 < 2) return c_u;
  const double c_uu = c(il - 1, j);
  const double d_uf = static_cast<double>(g.xu(il + 1)) - g.x(il);
  const double d_uuu = static_cast<double>(g.x(il)) - g.x(il - 1);
  const double extrapolated = c_u + (c_u - c_uu) * (d_uf / d_uuu);
  return std::clamp(extrapolated, static_cast<double>(low), static_cast<double>(high));
}

namespace {

// The ratios of one direction: nodes `node` (x or y), faces `face` (xu or
// yv, face K+1 between nodes K and K+1), n nodes.
void fill_face_ratios(const GridVec& node, const GridVec& face, int n, FaceRatios& r) {
  for (int k = 2; k + 1 <= n; ++k) {  // flow toward +: UU = k-1, U = k, D = k+1
    const double d_uuu = static_cast<double>(node(k)) - node(k - 1);
    const double d_ud = static_cast<double>(node(k + 1)) - node(k);
    const double d_uf = static_cast<double>(face(k + 1)) - node(k);
    r.up_pos[k] = d_ud / d_uuu;
    r.face_pos[k] = d_uf / d_ud;
  }
  for (int k = 1; k + 2 <= n; ++k) {  // flow toward -: UU = k+2, U = k+1, D = k
    const double d_uuu = static_cast<double>(node(k + 2)) - node(k + 1);
    const double d_ud = static_cast<double>(node(k + 1)) - node(k);
    const double d_uf = static_cast<double>(node(k + 1)) - face(k + 1);
    r.up_neg[k] = d_ud / d_uuu;
    r.face_neg[k] = d_uf / d_ud;
  }
}

}  // namespace

void set_face_ratios(State& s) {
  const Cgrid& g = s.cgrid;
  fill_face_ratios(g.x, g.xu, g.ni, s.work.x_face);
  fill_face_ratios(g.y, g.yv, g.nj, s.work.y_face);
}

namespace {

// F (c_f - c_U) of the x face between columns i and i+1 of row j (flux f,
// positive toward +x): the convected value's departure from upwinding.
double x_face_correction(const State& s, int i, int j, double f, float low, float high) {
  const Cgrid& g = s.cgrid;
  const Field& c = s.cvar.c;
  if (f > 0.0) {
    if (i < 2) return 0.0;                                  // inlet face: c_f = c(1, J)
    if (i == g.ilast) return f * (outlet_face_value(s, j, low, high) - c(i, j));
    const double cf = limited_face_value_of_ratios(c(i - 1, j), c(i, j), c(i + 1, j), s.work.x_face.up_pos[i],
                                                   s.work.x_face.face_pos[i]);
    return f * (cf - c(i, j));
  }
  if (f < 0.0) {
    if (i + 1 >= g.ni || i + 2 > g.ni) return 0.0;          // inflow through the outlet: upwind
    const double cf = limited_face_value_of_ratios(c(i + 2, j), c(i + 1, j), c(i, j), s.work.x_face.up_neg[i],
                                                   s.work.x_face.face_neg[i]);
    return f * (cf - c(i + 1, j));
  }
  return 0.0;
}

// F (c_f - c_U) of the y face between rows j and j+1 of column i (flux f,
// positive toward +y), for faces inside the channel.
double y_face_correction(const State& s, int i, int j, double f) {
  const Field& c = s.cvar.c;
  const int top = s.cprob.jflow2;
  if (f > 0.0 && j - 1 >= 1) {
    const double cf = limited_face_value_of_ratios(c(i, j - 1), c(i, j), c(i, j + 1), s.work.y_face.up_pos[j],
                                                   s.work.y_face.face_pos[j]);
    return f * (cf - c(i, j));
  }
  if (f < 0.0 && j + 2 <= top) {
    const double cf = limited_face_value_of_ratios(c(i, j + 2), c(i, j + 1), c(i, j), s.work.y_face.up_neg[j],
                                                   s.work.y_face.face_neg[j]);
    return f * (cf - c(i, j + 1));
  }
  return 0.0;
}

}  // namespace

float DeferredRow::source(int i, const FaceFlows& f) {
  const State& s = s_;
  const int j = j_;
  const int top = s.cprob.jflow2;
  if (j > top) return 0.0f;
  const double west = i == next_ ? west_ : x_face_correction(s, i - 1, j, f.fw, low_, high_);
  const double east = x_face_correction(s, i, j, f.fe, low_, high_);
  next_ = i + 1;
  west_ = east;
  double out = east - west;
  // the south face read before this row's north face takes its place
  NorthFaces& kept = s_.work.north_faces;
  const double south = j - 1 >= 2 ? (south_kept_ ? kept.correction[i] : y_face_correction(s, i, j - 1, f.fs)) : 0.0;
  if (j + 1 <= top) {
    const double north = y_face_correction(s, i, j, f.fn);
    kept.correction[i] = north;
    out += north;
  }
  if (j - 1 >= 2) out -= south;
  return static_cast<float>(-out);
}

float inlet_conductance(const State& s, int j, float area_ew) {
  const Field& gam = s.cprop.gamc;
  return 0.5f * (gam(1, j) + gam(2, j)) * area_ew / (0.5f * s.cgrid.dxw(2));
}

}  // namespace questrand
