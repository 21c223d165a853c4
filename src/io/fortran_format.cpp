// Fortran-style formatted output.  All digits come from the C library's exact
// decimal conversion of the value (as a double, which holds every float
// exactly); exact ties round to even.
#include "io/fortran_format.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace questrand::io {

namespace {

std::string stars(int w) { return std::string(static_cast<std::size_t>(w > 0 ? w : 0), '*'); }

// Right-justifies `s` in w columns, or w asterisks when it does not fit.
std::string right(const std::string& s, int w) {
  if (w <= 0) return std::string();
  if (static_cast<int>(s.size()) > w) return stars(w);
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

// Digits of |v| rounded to `sig` significant digits (sig >= 1) and the
// decimal exponent of the rounded value: |v| ~ 0.d1d2.. * 10^(exp10+1),
// i.e. d1.d2.. * 10^exp10.  For zero the digits are all '0' and exp10 = 0.
struct Digits {
  std::string digits;
  int exp10 = 0;
};

Digits round_digits(double mag, int sig) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", sig - 1, mag);
  Digits r;
  const char* p = buf;
  for (; *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') r.digits += *p;
  r.exp10 = std::atoi(p + 1);
  return r;
}

// Decimal exponent of the exact value of |v| (floor(log10|v|)), v finite, non-zero.
int exact_exp10(double mag) {
  // 150 digits after the point hold every float exactly, so nothing is rounded.
  char buf[256];
  std::snprintf(buf, sizeof buf, "%.150e", mag);
  const char* e = std::strchr(buf, 'e');
  return std::atoi(e + 1);
}

// "NaN", "Infinity", "-Infinity" (or "Inf", "-Inf" when narrower).
std::string non_finite(float value, int w) {
  if (std::isnan(value)) return w >= 3 ? right("NaN", w) : stars(w);
  if (std::signbit(value)) {
    if (w >= 9) return right("-Infinity", w);
    if (w >= 4) return right("-Inf", w);
    return stars(w);
  }
  if (w >= 8) return right("Infinity", w);
  if (w >= 3) return right("Inf", w);
  return stars(w);
}

std::string exponent_text(int e) {
  char buf[16];
  int a = std::abs(e);
  if (a <= 99)
    std::snprintf(buf, sizeof buf, "E%c%02d", e < 0 ? '-' : '+', a);
  else
    std::snprintf(buf, sizeof buf, "%c%03d", e < 0 ? '-' : '+', a);
  return buf;
}

// Fw.d of a finite value; a leading zero before the point is dropped when
// that is the only way to fit.
std::string fixed(float value, int w, int d) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", d, std::fabs(static_cast<double>(value)));
  std::string body = buf;
  if (d == 0) body += '.';
  std::string s = (std::signbit(value) ? "-" : "") + body;
  if (static_cast<int>(s.size()) > w && body.size() > 1 && body[0] == '0' && body[1] == '.') {
    body.erase(0, 1);
    s = (std::signbit(value) ? "-" : "") + body;
  }
  return right(s, w);
}

}  // namespace

std::string fmt_i(int value, int w) { return right(std::to_string(value), w); }

std::string fmt_a(std::string_view text, int w) {
  if (w <= 0) return std::string();
  if (static_cast<int>(text.size()) >= w) return std::string(text.substr(0, static_cast<std::size_t>(w)));
  return std::string(static_cast<std::size_t>(w) - text.size(), ' ') + std::string(text);
}

std::string fmt_e(float value, int w, int d, int scale) {
  if (!std::isfinite(value)) return non_finite(value, w);
  const double mag = std::fabs(static_cast<double>(value));
  const bool neg = std::signbit(value);
  std::string mant;
  int expo = 0;
  if (scale <= 0) {
    // 0.d1..dd: d significant digits.
    Digits r = round_digits(mag, d > 0 ? d : 1);
    if (d <= 0) r.digits.clear();
    mant = "0." + r.digits;
    expo = (mag == 0.0) ? 0 : r.exp10 + 1;
  } else {
    if (scale > d + 1) return stars(w);
    // k digits before the point, d-k+1 after: d+1 significant digits.
    const int k = scale;
    Digits r = round_digits(mag, d + 1);
    mant = r.digits.substr(0, static_cast<std::size_t>(k)) + "." + r.digits.substr(static_cast<std::size_t>(k));
    expo = (mag == 0.0) ? 0 : r.exp10 + 1 - k;
  }
  std::string s = (neg ? "-" : "") + mant + exponent_text(expo);
  if (static_cast<int>(s.size()) > w && scale <= 0) {
    mant.erase(0, 1);  // drop the optional leading zero
    s = (neg ? "-" : "") + mant + exponent_text(expo);
  }
  return right(s, w);
}

std::string fmt_g(float value, int w, int d, int scale) {
  if (!std::isfinite(value)) return non_finite(value, w);
  const double mag = std::fabs(static_cast<double>(value));
  if (mag == 0.0 || exact_exp10(mag) < -1) return fmt_e(value, w, d, scale);  // zero or below 0.1
  // Rounded to d significant digits, the value has k = exp10 + 1 digits
  // before the point; this is the same as comparing |v| exactly with
  // 10^k - 0.5*10^(k-d) (a tie rounds up, since 99..9 is odd).
  const Digits r = round_digits(mag, d);
  const int k = r.exp10 + 1;
  if (k > d) return fmt_e(value, w, d, scale);
  std::string f = fixed(value, w - 4, d - (k > 0 ? k : 0));
  if (f.find('*') != std::string::npos) return stars(w);
  return f + "    ";
}

// ---------------------------------------------------------------------------

void FormattedLine::put(std::string_view s) {
  if (pos_ > line_.size()) line_.resize(pos_, ' ');
  for (char ch : s) {
    if (pos_ < line_.size())
      line_[pos_] = ch;
    else
      line_.push_back(ch);
    ++pos_;
  }
}

FormattedLine& FormattedLine::text(std::string_view s) {
  put(s);
  return *this;
}

FormattedLine& FormattedLine::a(std::string_view s, int w) {
  put(fmt_a(s, w));
  return *this;
}

FormattedLine& FormattedLine::x(int n) {
  if (n > 0) pos_ += static_cast<std::size_t>(n);
  return *this;
}

FormattedLine& FormattedLine::t(int column) {
  pos_ = column > 1 ? static_cast<std::size_t>(column - 1) : 0;
  return *this;
}

FormattedLine& FormattedLine::i(int value, int w) {
  put(fmt_i(value, w));
  return *this;
}

FormattedLine& FormattedLine::e(float value, int w, int d, int scale) {
  put(fmt_e(value, w, d, scale));
  return *this;
}

FormattedLine& FormattedLine::g(float value, int w, int d, int scale) {
  put(fmt_g(value, w, d, scale));
  return *this;
}

// ---------------------------------------------------------------------------

std::string free_real(float value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  const double mag = std::fabs(static_cast<double>(value));
  const std::string sign = std::signbit(value) ? "-" : "";
  const Digits r = round_digits(mag, 9);  // the form is decided on this rounding
  if (mag != 0.0 && r.exp10 >= -1 && r.exp10 <= 8) {
    if (r.exp10 == -1) return sign + "0." + r.digits;
    const std::size_t before = static_cast<std::size_t>(r.exp10 + 1);
    return sign + r.digits.substr(0, before) + "." + r.digits.substr(before);
  }
  const int expo = mag == 0.0 ? 0 : r.exp10;
  return sign + r.digits.substr(0, 1) + "." + r.digits.substr(1) + exponent_text(expo);
}

FreeLine& FreeLine::real(float value) {
  line_ += free_real(value);
  line_ += ' ';
  return *this;
}

FreeLine& FreeLine::text(std::string_view s) {
  line_ += s;
  return *this;
}

}  // namespace questrand::io
