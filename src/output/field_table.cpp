// Field tables of the listing file.
#include "output/field_table.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "io/fortran_format.hpp"

namespace questrand {

namespace {

constexpr int kBlockColumns = 8;    // grid columns per block
constexpr float kCutoff = 1.0e-20f;  // smaller magnitudes print as zero

void write_line(std::FILE* f, const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), f);
  std::fputc('\n', f);
}

}  // namespace

void print(std::FILE* listing, int istart, int jstart, int iend, int jend, const GridVec& xpos,
           const GridVec& ypos, const Field& phi, std::string_view title) {
  using io::FormattedLine;

  // Title: two empty lines, then 1X, 20("*-"), A12, 20("-*").
  write_line(listing, "");
  write_line(listing, "");
  {
    FormattedLine l;
    l.x(1);
    for (int k = 0; k < 20; ++k) l.text("*-");
    l.a(title, 12);
    for (int k = 0; k < 20; ++k) l.text("-*");
    write_line(listing, l.str());
  }
  if (iend < istart) return;

  float tabrow[12];
  int i0 = istart;
  for (;;) {
    const int i1 = std::min(i0 + kBlockColumns - 1, iend);
    const int n = i1 - i0 + 1;

    // Header: an empty line, then 1H , A5, n times (I3, 7X), A6.
    write_line(listing, "");
    {
      FormattedLine l;
      l.text(" ").a("   I =", 5);
      for (int i = i0; i <= i1; ++i) l.i(i, 3).x(7);
      l.a(" Y =  ", 6);
      write_line(listing, l.str());
    }
    write_line(listing, "  J");

    // Rows from the top down: 1H , I3, n values in 1PE10.2, ypos in 1PG11.3.
    for (int j = jend; j >= jstart; --j) {
      for (int i = i0; i <= i1; ++i) {
        float v = phi(i, j);
        if (std::fabs(v) < kCutoff) v = 0.0f;  // NaN passes through
        tabrow[i - i0] = v;
      }
      FormattedLine l;
      l.text(" ").i(j, 3);
      for (int k = 0; k < n; ++k) l.e(tabrow[k], 10, 2, 1);
      l.g(ypos(j), 11, 3, 1);
      write_line(listing, l.str());
    }

    // Footer: an empty line, then " X =", 1P, G10.3, further G10.2.
    write_line(listing, "");
    {
      FormattedLine l;
      l.text(" X =").g(xpos(i0), 10, 3, 1);
      for (int i = i0 + 1; i <= i1; ++i) l.g(xpos(i), 10, 2, 1);
      write_line(listing, l.str());
    }

    if (i1 >= iend) break;
    i0 = i1 + 1;
  }
}

}  // namespace questrand
