// Formatted output: every row of the output and free-format tables, plus the
// line builders.
#include "io/fortran_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "test_support.hpp"

namespace {

using namespace questrand::io;

std::uint32_t parse_hex(const std::string& s) { return static_cast<std::uint32_t>(std::stoul(s, nullptr, 16)); }

float float_from_bits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

int int_from_bits(std::uint32_t bits) {
  std::int32_t v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// An edit descriptor such as "1PG11.3", "E10.3" or "I4".
struct Descriptor {
  int scale = 0;
  char letter = ' ';
  int w = 0;
  int d = 0;
};

Descriptor parse_descriptor(const std::string& s) {
  Descriptor r;
  std::size_t p = 0;
  if (s.size() > 2 && s[0] >= '0' && s[0] <= '9' && s[1] == 'P') {
    r.scale = s[0] - '0';
    p = 2;
  }
  r.letter = s[p++];
  std::size_t dot = s.find('.', p);
  r.w = std::stoi(s.substr(p, dot - p));
  if (dot != std::string::npos) r.d = std::stoi(s.substr(dot + 1));
  return r;
}

std::string format_row(const Descriptor& ds, std::uint32_t bits) {
  switch (ds.letter) {
    case 'I': return fmt_i(int_from_bits(bits), ds.w);
    case 'E': return fmt_e(float_from_bits(bits), ds.w, ds.d, ds.scale);
    case 'G': return fmt_g(float_from_bits(bits), ds.w, ds.d, ds.scale);
    default: return "?";
  }
}

TEST(FortranFormat, EveryOutputTableRow) {
  const auto t = qtest::read_tsv(qtest::data_dir() / "formats" / "output.tsv");
  const int c_desc = t.column("descriptor"), c_bits = t.column("bits"), c_value = t.column("value"),
            c_case = t.column("case"), c_exp = t.column("expected");
  ASSERT_GE(c_desc, 0);
  ASSERT_GE(c_exp, 0);
  ASSERT_EQ(t.rows.size(), 426u);
  int checked = 0;
  for (std::size_t r = 0; r < t.rows.size(); ++r) {
    const auto& row = t.rows[r];
    SCOPED_TRACE("row " + std::to_string(r + 2) + ": " + row[c_desc] + " bits " + row[c_bits] + " value " +
                 row[c_value] + " (" + row[c_case] + ")");
    const Descriptor ds = parse_descriptor(row[c_desc]);
    EXPECT_EQ(format_row(ds, parse_hex(row[c_bits])), qtest::between_bars(row[c_exp]));
    ++checked;
  }
  EXPECT_EQ(checked, 426);
}

TEST(FortranFormat, EveryFreeTableRow) {
  const auto t = qtest::read_tsv(qtest::data_dir() / "formats" / "free.tsv");
  const int c_bits = t.column("bits"), c_line = t.column("line"), c_case = t.column("case");
  ASSERT_GE(c_line, 0);
  ASSERT_EQ(t.rows.size(), 54u);
  for (std::size_t r = 0; r < t.rows.size(); ++r) {
    const auto& row = t.rows[r];
    SCOPED_TRACE("row " + std::to_string(r + 2) + ": bits " + row[c_bits] + " (" + row[c_case] + ")");
    const float v = float_from_bits(parse_hex(row[c_bits]));
    const std::string line = qtest::between_bars(row[c_line]);
    EXPECT_EQ(FreeLine().real(v).str(), line);
    EXPECT_EQ(" " + free_real(v) + " ", line);
  }
}

TEST(FortranFormat, WorkedExamples) {
  EXPECT_EQ(fmt_e(-1.0f, 10, 3), "-0.100E+01");
  EXPECT_EQ(fmt_e(1.234e-5f, 10, 3, 1), " 1.234E-05");
  EXPECT_EQ(fmt_e(-0.0f, 11, 5, 1), "***********");
  EXPECT_EQ(fmt_e(1.125f, 10, 2, 1), "  1.12E+00");
  EXPECT_EQ(fmt_g(0.0015f, 11, 3, 1), "  1.500E-03");
  EXPECT_EQ(fmt_g(0.0f, 11, 3, 1), "  0.000E+00");
  EXPECT_EQ(fmt_g(-0.0f, 11, 3, 1), " -0.000E+00");
  EXPECT_EQ(fmt_g(12.5f, 10, 2, 1), "   12.    ");
  EXPECT_EQ(fmt_g(0.125f, 10, 2, 1), "  0.12    ");
  EXPECT_EQ(fmt_g(999.5f, 11, 3, 1), "  9.995E+02");
  EXPECT_EQ(fmt_g(99.6f, 10, 2, 1), "  9.96E+01");
  EXPECT_EQ(fmt_g(0.5f, 10, 3), " 0.500    ");
  EXPECT_EQ(fmt_g(0.05f, 10, 3), " 0.500E-01");  // no scale: 0.ddd form
}

TEST(FortranFormat, NonFiniteInNarrowFields) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(fmt_e(inf, 8, 1), "Infinity");
  EXPECT_EQ(fmt_e(inf, 7, 1), "    Inf");
  EXPECT_EQ(fmt_e(-inf, 9, 1), "-Infinity");
  EXPECT_EQ(fmt_e(-inf, 8, 1), "    -Inf");
  EXPECT_EQ(fmt_e(-inf, 3, 1), "***");
  EXPECT_EQ(fmt_g(nan, 3, 1), "NaN");
  EXPECT_EQ(fmt_g(nan, 2, 1), "**");
}

TEST(FortranFormat, TextField) {
  EXPECT_EQ(fmt_a("   I =", 5), "   I ");
  EXPECT_EQ(fmt_a("AB", 5), "   AB");
  EXPECT_EQ(fmt_a("ABCDE", 5), "ABCDE");
  EXPECT_EQ(fmt_a("*-*- U- VELOCITY -*-*", 12), "*-*- U- VELO");
}

TEST(FortranFormat, LineBuilder) {
  FormattedLine l;
  l.text(" X =").i(7, 3).a("abc", 4).e(1.0f, 10, 3, 1);
  EXPECT_EQ(l.str(), " X =  7 abc 1.000E+00");
}

TEST(FortranFormat, TabulationPadsAndOverwrites) {
  FormattedLine l;
  l.text("abc").t(6).text("x");
  EXPECT_EQ(l.str(), "abc  x");
  l.t(2).text("Z");  // moving left overwrites what is there
  EXPECT_EQ(l.str(), "aZc  x");
  l.text("Q");  // continues after the overwritten character
  EXPECT_EQ(l.str(), "aZQ  x");
  l.t(9).text("y");
  EXPECT_EQ(l.str(), "aZQ  x  y");
}

TEST(FortranFormat, SkippedColumnsAreBlankOnlyWhenWrittenAfter) {
  FormattedLine l;
  l.text("ab").x(5);
  EXPECT_EQ(l.str(), "ab");
  l.text("c");
  EXPECT_EQ(l.str(), "ab     c");
  FormattedLine m;
  m.x(1).text("*");
  EXPECT_EQ(m.str(), " *");
}

TEST(FortranFormat, FreeLineTextsAndReals) {
  EXPECT_EQ(FreeLine().str(), " ");
  EXPECT_EQ(FreeLine().real(0.5f).real(-1.5f).str(), " 0.500000000 -1.50000000 ");
  EXPECT_EQ(FreeLine().text("T00001.CON").str(), " T00001.CON");
  EXPECT_EQ(FreeLine().real(1.0f).text("x").real(2.0f).str(), " 1.00000000 x2.00000000 ");
  EXPECT_EQ(free_real(123.25f), "123.250000");
  EXPECT_EQ(free_real(1.0e9f), "1.00000000E+09");
}

}  // namespace
