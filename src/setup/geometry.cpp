#include "setup/geometry.hpp"

namespace questrand {

void geom(State& s) {
  Cgrid& g = s.cgrid;
  const int ni = g.ni;
  const int nj = g.nj;
  g.ilast = ni - 1;
  g.jlast = nj - 1;

  for (int j = 1; j <= nj; ++j) g.rad(j) = g.axisym ? g.y(j) : 1.0f;

  g.dxw(1) = 0.0f;
  g.dxe(ni) = 0.0f;
  for (int i = 1; i <= ni - 1; ++i) {
    g.dxe(i) = g.x(i + 1) - g.x(i);
    g.dxw(i + 1) = g.dxe(i);
  }
  g.dys(1) = 0.0f;
  g.dyn(nj) = 0.0f;
  for (int j = 1; j <= nj - 1; ++j) {
    g.dyn(j) = g.y(j + 1) - g.y(j);
    g.dys(j + 1) = g.dyn(j);
  }

  g.wx(1) = 0.0f;
  g.wx(ni) = 0.0f;
  for (int i = 2; i <= ni - 1; ++i) g.wx(i) = 0.5f * (g.dxw(i) + g.dxe(i));
  g.hy(1) = 0.0f;
  g.hy(nj) = 0.0f;
  for (int j = 2; j <= nj - 1; ++j) g.hy(j) = 0.5f * (g.dys(j) + g.dyn(j));

  g.xu(1) = 0.0f;
  for (int i = 2; i <= ni; ++i) g.xu(i) = 0.5f * (g.x(i - 1) + g.x(i));
  g.dxwu(1) = 0.0f;
  g.dxwu(2) = 0.0f;
  g.dxeu(1) = 0.0f;
  g.dxeu(ni) = 0.0f;
  for (int i = 2; i <= ni - 1; ++i) {
    g.dxeu(i) = g.xu(i + 1) - g.xu(i);
    g.dxwu(i + 1) = g.dxeu(i);
  }
  g.wxu(1) = 0.0f;
  g.wxu(2) = 0.0f;
  for (int i = 3; i <= ni - 1; ++i) g.wxu(i) = 0.5f * (g.dxwu(i) + g.dxeu(i));

  g.yv(1) = 0.0f;
  g.radv(1) = 0.0f;
  for (int j = 2; j <= nj; ++j) {
    g.radv(j) = 0.5f * (g.rad(j - 1) + g.rad(j));
    g.radvs(j) = 0.5f * (g.radv(j) + g.radv(j - 1));
    g.yv(j) = 0.5f * (g.y(j - 1) + g.y(j));
  }
  g.dysv(1) = 0.0f;
  g.dysv(2) = 0.0f;
  g.dynv(nj) = 0.0f;
  for (int j = 2; j <= nj - 1; ++j) {
    g.dynv(j) = g.yv(j + 1) - g.yv(j);
    g.dysv(j + 1) = g.dynv(j);
  }
  g.hyv(1) = 0.0f;
  g.hyv(2) = 0.0f;
  g.hyv(nj) = 0.0f;
  for (int j = 3; j <= nj - 1; ++j) g.hyv(j) = 0.5f * (g.dysv(j) + g.dynv(j));
}

}  // namespace questrand
