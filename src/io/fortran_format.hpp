// Fortran-style formatted output: edit descriptors and line builders.
//
// Iw    integer right-justified in w columns
// Ew.d  0.ddd..E+xx; with scale 1 (1PEw.d) one non-zero digit before the point
// Gw.d  (under 1P) fixed form in w-4 columns plus 4 blanks when the value,
//       rounded to d significant digits, lies in 0.1 <= |v| < 10**d (exact
//       comparison with the rounding bounds); zero, magnitudes below 0.1 and
//       everything else in exponent form (1PEw.d under 1P)
// Aw    text in w columns: a longer text shows its first w characters, a
//       shorter one is preceded by blanks
// A value too wide for its field fills the field with asterisks.  Exact
// decimal ties round to even.  NaN and the infinities are written "NaN",
// "Infinity", "-Infinity" right-justified ("Inf"/"-Inf" when narrower).
#pragma once

#include <string>
#include <string_view>

namespace questrand::io {

std::string fmt_i(int value, int w);
std::string fmt_e(float value, int w, int d, int scale = 0);
std::string fmt_g(float value, int w, int d, int scale = 0);
std::string fmt_a(std::string_view text, int w);

// One formatted record, built left to right.  Columns count from 1.
class FormattedLine {
 public:
  FormattedLine& text(std::string_view s);           // quoted text, or A (own length)
  FormattedLine& a(std::string_view s, int w);       // Aw
  FormattedLine& x(int n);                           // nX
  FormattedLine& t(int column);                      // Tn
  FormattedLine& i(int value, int w);                // Iw
  FormattedLine& e(float value, int w, int d, int scale = 0);  // Ew.d / 1PEw.d
  FormattedLine& g(float value, int w, int d, int scale = 0);  // Gw.d / 1PGw.d
  const std::string& str() const { return line_; }

 private:
  void put(std::string_view s);
  std::string& field_begin();  // where the next field is appended
  void field_end(const std::string& out);
  std::string line_;
  std::string scratch_;  // a field that does not start at the end of the record
  std::size_t pos_ = 0;
};

// Nine significant digits of a single-precision value, as the free-format
// writer shows it: fixed form when the rounded magnitude is at least 0.1 and
// below 1.0E9 (0.500000000, 1.50000000, 999999936.), else exponent form with
// one digit before the point and eight after (5.22999987E-02,
// 0.00000000E+00, -0.00000000E+00).  No surrounding blanks.
std::string free_real(float value);

// One free-format output line: it begins with one blank; each real is written
// by free_real followed by one blank; texts are written unchanged.
class FreeLine {
 public:
  FreeLine() : line_(" ") {}
  FreeLine& real(float value);
  FreeLine& text(std::string_view s);
  const std::string& str() const { return line_; }

 private:
  std::string line_;
};

}  // namespace questrand::io
