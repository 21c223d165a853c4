#include "setup/geometry.hpp"

namespace questrand {

namespace {

// Distances between neighbouring positions along one direction, from position
// `first` on: fwd(k) = pos(k+1) - pos(k) and bwd(k+1) = fwd(k) for
// k = first..n-1; zero before `first` (bwd also at `first`) and fwd(n) = 0.
void neighbour_distances(const GridVec& pos, int first, int n, GridVec& fwd, GridVec& bwd) {
  for (int k = 1; k <= first; ++k) bwd(k) = 0.0f;
  for (int k = 1; k < first; ++k) fwd(k) = 0.0f;
  fwd(n) = 0.0f;
  for (int k = first; k <= n - 1; ++k) {
    fwd(k) = pos(k + 1) - pos(k);
    bwd(k + 1) = fwd(k);
  }
}

// Cell widths w(k) = 0.5 (bwd(k) + fwd(k)) for k = first..n-1, zero before
// `first` and at n.
void cell_widths(const GridVec& bwd, const GridVec& fwd, int first, int n, GridVec& w) {
  for (int k = 1; k < first; ++k) w(k) = 0.0f;
  w(n) = 0.0f;
  for (int k = first; k <= n - 1; ++k) w(k) = 0.5f * (bwd(k) + fwd(k));
}

}  // namespace

void geom(State& s) {
  Cgrid& g = s.cgrid;
  const int ni = g.ni;
  const int nj = g.nj;
  g.ilast = ni - 1;
  g.jlast = nj - 1;

  for (int j = 1; j <= nj; ++j) g.rad(j) = g.axisym ? g.y(j) : 1.0f;

  neighbour_distances(g.x, 1, ni, g.dxe, g.dxw);
  neighbour_distances(g.y, 1, nj, g.dyn, g.dys);
  cell_widths(g.dxw, g.dxe, 2, ni, g.wx);
  cell_widths(g.dys, g.dyn, 2, nj, g.hy);

  g.xu(1) = 0.0f;
  for (int i = 2; i <= ni; ++i) g.xu(i) = 0.5f * (g.x(i - 1) + g.x(i));
  neighbour_distances(g.xu, 2, ni, g.dxeu, g.dxwu);
  cell_widths(g.dxwu, g.dxeu, 3, ni, g.wxu);

  g.yv(1) = 0.0f;
  g.radv(1) = 0.0f;
  for (int j = 2; j <= nj; ++j) {
    g.radv(j) = 0.5f * (g.rad(j - 1) + g.rad(j));
    g.radvs(j) = 0.5f * (g.radv(j) + g.radv(j - 1));
    g.yv(j) = 0.5f * (g.y(j - 1) + g.y(j));
  }
  neighbour_distances(g.yv, 2, nj, g.dynv, g.dysv);
  cell_widths(g.dysv, g.dynv, 3, nj, g.hyv);
}

}  // namespace questrand
