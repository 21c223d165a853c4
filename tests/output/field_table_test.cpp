// Field tables: the reference tables line for line, block splitting, empty
// row ranges, the small-value cut and the titles.
#include "output/field_table.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

using questrand::Field;
using questrand::GridVec;

const std::string kTitleU = "*-*- U- VELOCITY -*-*";

// Everything written to the stream by `body`.
std::string capture(const std::function<void(std::FILE*)>& body) {
  char* buf = nullptr;
  std::size_t size = 0;
  std::FILE* f = open_memstream(&buf, &size);
  if (f == nullptr) return "<open_memstream failed>";
  body(f);
  std::fclose(f);
  std::string s(buf, size);
  std::free(buf);
  return s;
}

std::vector<std::string> split_lines(const std::string& s) {
  std::vector<std::string> lines;
  std::istringstream in(s);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// An integer right-justified in three columns.
std::string i3(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%3d", v);
  return buf;
}

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int k = 0; k < n; ++k) r += s;
  return r;
}

// 10**n in single precision, as an integer power is formed: repeated
// multiplication, and the reciprocal for a negative power.
float pow10i(int n) {
  float p = 1.0f;
  for (int k = 0; k < std::abs(n); ++k) p *= 10.0f;
  return n < 0 ? 1.0f / p : p;
}

// The 12 x 6 test field with its positions.
struct Sample {
  std::unique_ptr<Field> phi = std::make_unique<Field>();
  GridVec xpos, ypos;
  Sample() {
    const float xs[12] = {-0.05f, 0.05f, 0.15f, 0.95f, 1.5f, 9.96f, 12.5f, 99.6f, 150.0f, 1200.0f, 0.1f, 5.0e-3f};
    const float ys[6] = {-0.05f, 0.05f, 0.95f, 1.5f, 9.996f, 1250.0f};
    for (int i = 1; i <= 12; ++i) xpos(i) = xs[i - 1];
    for (int j = 1; j <= 6; ++j) ypos(j) = ys[j - 1];
    Field& p = *phi;
    for (int j = 1; j <= 6; ++j)
      for (int i = 1; i <= 12; ++i) {
        const float s = (i * j) % 5 == 0 ? -1.0f : 1.0f;
        p(i, j) = s * 1.5f * static_cast<float>(j) * pow10i(i - 7);
      }
    p(1, 6) = 1.0e-21f;
    p(2, 5) = -5.0e-25f;
    p(3, 4) = 1.0e-20f;
    p(4, 3) = -45.6f;
    p(5, 2) = std::numeric_limits<float>::quiet_NaN();
    p(6, 1) = 9.995f;
    p(7, 6) = 3.4e38f;
    p(8, 5) = -1.0e-20f;
    p(9, 4) = -0.0f;
    p(10, 3) = 1.0e10f;
    p(11, 2) = 0.5f;
    p(12, 1) = -1.0e-21f;
  }
  std::string table(int istart, int jstart, int iend, int jend, const std::string& title = kTitleU) const {
    return capture([&](std::FILE* f) { questrand::print(f, istart, jstart, iend, jend, xpos, ypos, *phi, title); });
  }
};

// The reference tables: one list of output lines per "#=== " section.
std::vector<std::vector<std::string>> reference_tables() {
  std::vector<std::vector<std::string>> sections;
  for (const std::string& line : split_lines(qtest::read_file(qtest::data_dir() / "formats" / "tables.txt"))) {
    if (line.rfind("#===", 0) == 0) {
      sections.emplace_back();
    } else if (!line.empty() && line[0] == '|' && !sections.empty()) {
      sections.back().push_back(qtest::between_bars(line));
    }
  }
  return sections;
}

TEST(FieldTable, ReferenceTablesLineForLine) {
  const Sample s;
  const auto sections = reference_tables();
  ASSERT_EQ(sections.size(), 5u);
  struct Range {
    int istart, iend;
    const char* name;
  };
  const Range ranges[5] = {{1, 8, "N = 8"}, {2, 8, "N = 7"}, {9, 10, "N = 2"}, {12, 12, "N = 1"}, {4, 12, "8 + 1"}};
  int lines_checked = 0;
  for (int k = 0; k < 5; ++k) {
    const auto got = split_lines(s.table(ranges[k].istart, 1, ranges[k].iend, 6));
    const auto& want = sections[k];
    EXPECT_EQ(got.size(), want.size()) << ranges[k].name;
    for (std::size_t n = 0; n < want.size() && n < got.size(); ++n) {
      SCOPED_TRACE(std::string(ranges[k].name) + ", line " + std::to_string(n + 1));
      EXPECT_EQ(got[n], want[n]);
      ++lines_checked;
    }
  }
  EXPECT_EQ(lines_checked, 81);
}

TEST(FieldTable, SeventeenColumnsMakeBlocksOfEightEightOne) {
  auto phi = std::make_unique<Field>();
  GridVec xpos, ypos;
  for (int i = 1; i <= 17; ++i) xpos(i) = 0.5f * static_cast<float>(i);
  for (int j = 1; j <= 3; ++j) ypos(j) = static_cast<float>(j);
  const auto lines =
      split_lines(capture([&](std::FILE* f) { questrand::print(f, 1, 1, 17, 3, xpos, ypos, *phi, kTitleU); }));
  std::vector<std::string> headers;
  std::vector<std::string> footers;
  for (const auto& l : lines) {
    if (l.rfind("    I ", 0) == 0) headers.push_back(l);
    if (l.rfind(" X =", 0) == 0) footers.push_back(l);
  }
  ASSERT_EQ(headers.size(), 3u);
  ASSERT_EQ(footers.size(), 3u);
  std::string h1 = " " + std::string("   I ");
  for (int i = 1; i <= 8; ++i) h1 += i3(i) + "       ";
  std::string h2 = " " + std::string("   I ");
  for (int i = 9; i <= 16; ++i) h2 += i3(i) + "       ";
  EXPECT_EQ(headers[0], h1 + " Y =  ");
  EXPECT_EQ(headers[1], h2 + " Y =  ");
  EXPECT_EQ(headers[2], " " + std::string("   I ") + " 17" + "       " + " Y =  ");
  EXPECT_EQ(footers[0].size(), 4u + 8u * 10u);
  EXPECT_EQ(footers[1].size(), 4u + 8u * 10u);
  EXPECT_EQ(footers[2].size(), 4u + 10u);
  // Each block: empty line, header, "  J", three rows, empty line, footer.
  ASSERT_EQ(lines.size(), 3u + 3u * 8u);
  for (int b = 0; b < 3; ++b) {
    const std::size_t at = 3 + static_cast<std::size_t>(b) * 8;
    EXPECT_EQ(lines[at], "");
    EXPECT_EQ(lines[at + 2], "  J");
    EXPECT_EQ(lines[at + 3].substr(0, 4), "   3");
    EXPECT_EQ(lines[at + 5].substr(0, 4), "   1");
    EXPECT_EQ(lines[at + 6], "");
  }
  EXPECT_EQ(lines[3 + 16 + 3], "   3  0.00E+00   3.00    ");
}

TEST(FieldTable, NoRowsGivesHeaderJLineAndFooterOnly) {
  const Sample s;
  const auto lines = split_lines(s.table(4, 5, 12, 4));
  const auto full = split_lines(s.table(4, 1, 12, 6));
  // Title (3 lines), then per block: empty, header, "  J", empty, footer.
  ASSERT_EQ(lines.size(), 3u + 2u * 5u);
  for (int b = 0; b < 2; ++b) {
    const std::size_t at = 3 + static_cast<std::size_t>(b) * 5;
    EXPECT_EQ(lines[at], "");
    EXPECT_EQ(lines[at + 1].rfind("    I ", 0), 0u);
    EXPECT_EQ(lines[at + 2], "  J");
    EXPECT_EQ(lines[at + 3], "");
    EXPECT_EQ(lines[at + 4].rfind(" X =", 0), 0u);
  }
  // Same header and footer lines as the full table.
  EXPECT_EQ(lines[4], full[4]);
  EXPECT_EQ(lines[7], full[13]);
  EXPECT_EQ(lines[9], full[15]);
  EXPECT_EQ(lines[12], full[24]);
}

TEST(FieldTable, SmallValuesPrintAsZero) {
  auto phi = std::make_unique<Field>();
  GridVec xpos, ypos;
  xpos(1) = xpos(2) = xpos(3) = xpos(4) = 1.0f;
  ypos(1) = 1.0f;
  (*phi)(1, 1) = 1.0e-21f;
  (*phi)(2, 1) = -5.0e-25f;
  (*phi)(3, 1) = 1.0e-20f;
  (*phi)(4, 1) = -1.0e-20f;
  const auto lines =
      split_lines(capture([&](std::FILE* f) { questrand::print(f, 1, 1, 4, 1, xpos, ypos, *phi, kTitleU); }));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[6], "   1  0.00E+00  0.00E+00  1.00E-20 -1.00E-20   1.00    ");
}

TEST(FieldTable, TitlesShowTheirFirstTwelveCharacters) {
  const Sample s;
  const questrand::Cio io;
  const std::pair<std::string, std::string> titles[5] = {{io.title_u, "*-*- U- VELO"},
                                                         {io.title_v, "*-*- V- VELO"},
                                                         {io.title_p, "*-*-*- PRESS"},
                                                         {io.title_t, "*-*- TEMPERA"},
                                                         {io.title_c, "*-* CONCENTR"}};
  for (const auto& [title, shown] : titles) {
    SCOPED_TRACE(title);
    const auto lines = split_lines(s.table(1, 1, 2, 2, title));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], " " + repeat("*-", 20) + shown + repeat("-*", 20));
    EXPECT_EQ(lines[2].size(), 93u);
  }
}

}  // namespace
