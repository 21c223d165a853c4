#include "discretise/concentration_scheme.hpp"

namespace questrand {

const char* scheme_name(Scheme scheme) { return scheme == Scheme::second_order ? "second-order" : "standard"; }

bool parse_scheme(const std::string& text, Scheme& scheme) {
  if (text == "standard") {
    scheme = Scheme::standard;
    return true;
  }
  if (text == "second-order") {
    scheme = Scheme::second_order;
    return true;
  }
  return false;
}

float design_cell_height(const State& s, int j) {
  const Cprob& pb = s.cprob;
  if (j <= pb.jflow2) return pb.halfgap / static_cast<float>(pb.n_flow);
  if (j <= pb.jmemb2) return pb.th_memb / static_cast<float>(pb.n_memb);
  return pb.th_gel / static_cast<float>(pb.n_gel);
}

float concentration_cell_height(const State& s, int j) {
  return s.cscheme.scheme == Scheme::second_order ? design_cell_height(s, j) : s.cgrid.hy(j);
}

TimeWeights concentration_time_weights(const State& s) {
  if (s.cscheme.scheme == Scheme::second_order && s.cscheme.steps >= 2) return {1.5f, 2.0f, 0.5f};
  return {1.0f, 1.0f, 0.0f};
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
      double d = static_cast<double>(w.now) * var.c(i, j) - static_cast<double>(w.old) * var.cold(i, j);
      if (w.older != 0.0f) d += static_cast<double>(w.older) * s.cscheme.c2old(i, j);
      change += v * d;
    }
  }
  return change;
}

float series_conductance(const State& s, int i, int j, float area) {
  const Field& gam = s.cprop.gamc;
  const float resistance = 0.5f * design_cell_height(s, j) / gam(i, j) + 0.5f * design_cell_height(s, j + 1) / gam(i, j + 1);
  return area / resistance;
}

}  // namespace questrand
