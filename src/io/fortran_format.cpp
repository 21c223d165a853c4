// Fortran-style formatted output.  All digits come from std::to_chars with a
// given precision, which converts the exact binary value of the float (passed
// as a double, which holds every float exactly) and rounds it correctly;
// exact decimal ties round to even.  Each field is assembled in a small local
// buffer and appended to the caller's string: no C library formatting, no
// temporary strings per field.
#include "io/fortran_format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace questrand::io {

namespace {

// A field body being assembled: at most a sign, the digits of a float in
// fixed form with the precision the callers use, and an exponent.
struct Body {
  char s[1024];
  int n = 0;
  void put(char c) { s[n++] = c; }
  void put(const char* p, int len) {
    std::memcpy(s + n, p, static_cast<std::size_t>(len));
    n += len;
  }
};

void append_stars(std::string& out, int w) {
  if (w > 0) out.append(static_cast<std::size_t>(w), '*');
}

// Appends `s` right-justified in w columns, or w asterisks when it does not fit.
void append_right(std::string& out, const char* s, int n, int w) {
  if (w <= 0) return;
  if (n > w) {
    append_stars(out, w);
    return;
  }
  out.append(static_cast<std::size_t>(w - n), ' ');
  out.append(s, static_cast<std::size_t>(n));
}

// Digits of |v| rounded to `sig` significant digits and the decimal exponent
// of the rounded value: |v| ~ d1.d2.. * 10^exp10.  For zero the digits are all
// '0' and exp10 = 0.  A count below 1 means 7 digits (the default precision of
// the exponent conversion, kept for the odd descriptor with d = 0).
struct Digits {
  char d[128];
  int n = 0;
  int exp10 = 0;
};

void round_digits(double mag, int sig, Digits& r) {
  int prec = sig - 1;
  if (prec < 0) prec = 6;
  if (prec > 100) prec = 100;
  char buf[160];
  const auto res = std::to_chars(buf, buf + sizeof buf, mag, std::chars_format::scientific, prec);
  const char* end = res.ptr;
  const char* p = buf;
  r.n = 0;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') r.d[r.n++] = *p;
  // p at 'e': sign and at least two exponent digits.
  ++p;
  const bool neg = *p == '-';
  ++p;
  int e = 0;
  for (; p < end; ++p) e = e * 10 + (*p - '0');
  r.exp10 = neg ? -e : e;
}

// "NaN", "Infinity", "-Infinity" (or "Inf", "-Inf" when narrower).
void append_non_finite(std::string& out, float value, int w) {
  if (std::isnan(value)) {
    if (w >= 3)
      append_right(out, "NaN", 3, w);
    else
      append_stars(out, w);
    return;
  }
  if (std::signbit(value)) {
    if (w >= 9)
      append_right(out, "-Infinity", 9, w);
    else if (w >= 4)
      append_right(out, "-Inf", 4, w);
    else
      append_stars(out, w);
    return;
  }
  if (w >= 8)
    append_right(out, "Infinity", 8, w);
  else if (w >= 3)
    append_right(out, "Inf", 3, w);
  else
    append_stars(out, w);
}

// E+dd / E-dd for exponents up to 99 in magnitude, else +ddd / -ddd.
void put_exponent(Body& b, int e) {
  const int a = std::abs(e);
  const char sign = e < 0 ? '-' : '+';
  if (a <= 99) {
    b.put('E');
    b.put(sign);
    b.put(static_cast<char>('0' + a / 10));
    b.put(static_cast<char>('0' + a % 10));
  } else {
    b.put(sign);
    b.put(static_cast<char>('0' + a / 100 % 10));
    b.put(static_cast<char>('0' + a / 10 % 10));
    b.put(static_cast<char>('0' + a % 10));
  }
}

void append_e(std::string& out, float value, int w, int d, int scale) {
  if (!std::isfinite(value)) {
    append_non_finite(out, value, w);
    return;
  }
  const double mag = std::fabs(static_cast<double>(value));
  const bool neg = std::signbit(value);
  Body b;
  if (neg) b.put('-');
  Digits r;
  if (scale <= 0) {
    // 0.d1..dd: d significant digits.
    round_digits(mag, d > 0 ? d : 1, r);
    const int expo = (mag == 0.0) ? 0 : r.exp10 + 1;
    const int zero_at = b.n;
    b.put('0');
    b.put('.');
    if (d > 0) b.put(r.d, r.n);
    put_exponent(b, expo);
    if (b.n > w) {  // drop the optional leading zero
      std::memmove(b.s + zero_at, b.s + zero_at + 1, static_cast<std::size_t>(b.n - zero_at - 1));
      --b.n;
    }
  } else {
    if (scale > d + 1) {
      append_stars(out, w);
      return;
    }
    // k digits before the point, d-k+1 after: d+1 significant digits.
    const int k = scale;
    round_digits(mag, d + 1, r);
    const int expo = (mag == 0.0) ? 0 : r.exp10 + 1 - k;
    const int before = k < r.n ? k : r.n;
    b.put(r.d, before);
    b.put('.');
    b.put(r.d + before, r.n - before);
    put_exponent(b, expo);
  }
  append_right(out, b.s, b.n, w);
}

// Fw.d of a finite value; a leading zero before the point is dropped when
// that is the only way to fit.  Returns false (and appends nothing) when the
// value does not fit: the caller then writes asterisks.
bool append_fixed(std::string& out, float value, int w, int d) {
  const double mag = std::fabs(static_cast<double>(value));
  Body b;
  if (std::signbit(value)) b.put('-');
  const int start = b.n;
  const auto res = std::to_chars(b.s + b.n, b.s + sizeof b.s - 1, mag, std::chars_format::fixed, d);
  b.n = static_cast<int>(res.ptr - b.s);
  if (d == 0) b.put('.');
  if (b.n > w && b.n - start > 1 && b.s[start] == '0' && b.s[start + 1] == '.') {
    std::memmove(b.s + start, b.s + start + 1, static_cast<std::size_t>(b.n - start - 1));
    --b.n;
  }
  if (w > 0 && b.n > w) return false;
  append_right(out, b.s, b.n, w);
  return true;
}

void append_g(std::string& out, float value, int w, int d, int scale) {
  if (!std::isfinite(value)) {
    append_non_finite(out, value, w);
    return;
  }
  const double mag = std::fabs(static_cast<double>(value));
  // Zero or below 0.1.  No float lies between 0.1 and the double nearest to
  // it, so this comparison decides exactly for every float.
  if (mag == 0.0 || mag < 0.1) {
    append_e(out, value, w, d, scale);
    return;
  }
  // Rounded to d significant digits, the value has k = exp10 + 1 digits
  // before the point; this is the same as comparing |v| exactly with
  // 10^k - 0.5*10^(k-d) (a tie rounds up, since 99..9 is odd).
  Digits r;
  round_digits(mag, d, r);
  const int k = r.exp10 + 1;
  if (k > d) {
    append_e(out, value, w, d, scale);
    return;
  }
  if (!append_fixed(out, value, w - 4, d - (k > 0 ? k : 0))) {
    append_stars(out, w);
    return;
  }
  out.append(4, ' ');
}

void append_i(std::string& out, int value, int w) {
  char buf[16];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  append_right(out, buf, static_cast<int>(res.ptr - buf), w);
}

void append_a(std::string& out, std::string_view text, int w) {
  if (w <= 0) return;
  if (static_cast<int>(text.size()) >= w) {
    out.append(text.data(), static_cast<std::size_t>(w));
    return;
  }
  out.append(static_cast<std::size_t>(w) - text.size(), ' ');
  out.append(text);
}

void append_free_real(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-Infinity" : "Infinity";
    return;
  }
  const double mag = std::fabs(static_cast<double>(value));
  Body b;
  if (std::signbit(value)) b.put('-');
  Digits r;
  round_digits(mag, 9, r);  // the form is decided on this rounding
  if (mag != 0.0 && r.exp10 >= -1 && r.exp10 <= 8) {
    if (r.exp10 == -1) {
      b.put('0');
      b.put('.');
      b.put(r.d, r.n);
    } else {
      const int before = r.exp10 + 1;
      b.put(r.d, before);
      b.put('.');
      b.put(r.d + before, r.n - before);
    }
  } else {
    b.put(r.d[0]);
    b.put('.');
    b.put(r.d + 1, r.n - 1);
    put_exponent(b, mag == 0.0 ? 0 : r.exp10);
  }
  out.append(b.s, static_cast<std::size_t>(b.n));
}

}  // namespace

std::string fmt_i(int value, int w) {
  std::string s;
  append_i(s, value, w);
  return s;
}

std::string fmt_a(std::string_view text, int w) {
  std::string s;
  append_a(s, text, w);
  return s;
}

std::string fmt_e(float value, int w, int d, int scale) {
  std::string s;
  append_e(s, value, w, d, scale);
  return s;
}

std::string fmt_g(float value, int w, int d, int scale) {
  std::string s;
  append_g(s, value, w, d, scale);
  return s;
}

// ---------------------------------------------------------------------------
// FormattedLine: a field that starts at the end of the record (the usual
// case) is appended in place; one that starts elsewhere (after T or X moved
// the position back or past the end) goes through a scratch string.

void FormattedLine::put(std::string_view s) {
  if (pos_ == line_.size()) {
    line_.append(s);
    pos_ += s.size();
    return;
  }
  if (pos_ > line_.size()) line_.resize(pos_, ' ');
  const std::size_t overlap = std::min(s.size(), line_.size() - pos_);
  line_.replace(pos_, overlap, s.data(), overlap);
  line_.append(s.substr(overlap));
  pos_ += s.size();
}

std::string& FormattedLine::field_begin() {
  if (pos_ == line_.size()) return line_;
  scratch_.clear();
  return scratch_;
}

void FormattedLine::field_end(const std::string& out) {
  if (&out == &line_)
    pos_ = line_.size();
  else
    put(scratch_);
}

FormattedLine& FormattedLine::text(std::string_view s) {
  put(s);
  return *this;
}

FormattedLine& FormattedLine::a(std::string_view s, int w) {
  std::string& out = field_begin();
  append_a(out, s, w);
  field_end(out);
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
  std::string& out = field_begin();
  append_i(out, value, w);
  field_end(out);
  return *this;
}

FormattedLine& FormattedLine::e(float value, int w, int d, int scale) {
  std::string& out = field_begin();
  append_e(out, value, w, d, scale);
  field_end(out);
  return *this;
}

FormattedLine& FormattedLine::g(float value, int w, int d, int scale) {
  std::string& out = field_begin();
  append_g(out, value, w, d, scale);
  field_end(out);
  return *this;
}

// ---------------------------------------------------------------------------

std::string free_real(float value) {
  std::string s;
  append_free_real(s, value);
  return s;
}

FreeLine& FreeLine::real(float value) {
  append_free_real(line_, value);
  line_ += ' ';
  return *this;
}

FreeLine& FreeLine::text(std::string_view s) {
  line_ += s;
  return *this;
}

}  // namespace questrand::io
