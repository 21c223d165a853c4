// Free-format reader of the problem input: every row of the golden read table,
// then the error reports, the refusal of infinite and NaN reals, correct
// rounding of decimal text and line counting.
#include "io/list_reader.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

using questrand::io::InputError;
using questrand::io::ListItem;
using questrand::io::ListReader;

namespace {

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

// One row of read.tsv with its line number in the file.
struct ReadRow {
  int line = 0;
  std::string group, read, types, input, result, values, bits, next;
};

// How a row is shown in test listings: its group and its input.
void PrintTo(const ReadRow& row, std::ostream* os) { *os << row.group << ": " << ::testing::PrintToString(row.input); }

std::vector<ReadRow> load_read_table() {
  const auto t = qtest::read_tsv(qtest::data_dir() / "formats" / "read.tsv");
  const int c_group = t.column("group"), c_read = t.column("read"), c_types = t.column("types"),
            c_input = t.column("input"), c_result = t.column("result"), c_values = t.column("values"),
            c_bits = t.column("bits"), c_next = t.column("next");
  std::vector<ReadRow> rows;
  int line = 1;
  for (const auto& r : t.rows) {
    ++line;
    ReadRow row;
    row.line = line;
    row.group = r.at(c_group);
    row.read = r.at(c_read);
    row.types = r.at(c_types);
    row.input = qtest::unescape(r.at(c_input));
    row.result = r.at(c_result);
    row.values = r.at(c_values);
    row.bits = r.at(c_bits);
    row.next = r.at(c_next);
    rows.push_back(row);
  }
  return rows;
}

// The table reads infinities and NaNs without complaint; the program refuses
// them (no physical input is infinite).
bool table_reads_non_finite(const ReadRow& row) {
  for (const auto& v : split_words(row.values))
    if (v == "Infinity" || v == "-Infinity" || v == "NaN") return true;
  return false;
}

// The one error row whose stored value we do not copy: the table's reader
// stores 0.0 into the item while reporting the error for a lone ".".
bool error_value_not_copied(const ReadRow& row) { return row.input == ".\n"; }

// The variables of one read, filled with one of two presets so that an item
// the read leaves alone can be told from one it sets.
struct Vars {
  int iv[8];
  float rv[8];
  bool lv[8];
  explicit Vars(bool alt) {
    for (int k = 0; k < 8; ++k) {
      iv[k] = alt ? -888 : -777;
      rv[k] = alt ? -888.0f : -777.0f;
      lv[k] = alt;
    }
  }
};

std::vector<ListItem> items_for(const std::string& types, Vars& v) {
  std::vector<ListItem> items;
  if (types == "-") return items;
  for (std::size_t k = 0; k < types.size(); ++k) {
    switch (types[k]) {
      case 'I':
        items.push_back(ListItem::integer(v.iv[k], "integer item"));
        break;
      case 'R':
        items.push_back(ListItem::real(v.rv[k], "real item"));
        break;
      case 'L':
        items.push_back(ListItem::logical(v.lv[k], "logical item"));
        break;
      default:
        ADD_FAILURE() << "unknown item type " << types[k];
    }
  }
  return items;
}

void check_values(const ReadRow& row, const Vars& v, bool alt) {
  if (row.types == "-") return;
  const auto vals = split_words(row.values);
  const auto bits = split_words(row.bits);
  ASSERT_EQ(vals.size(), row.types.size());
  const Vars preset(alt);
  std::size_t real_no = 0;
  for (std::size_t k = 0; k < row.types.size(); ++k) {
    SCOPED_TRACE("item " + std::to_string(k + 1));
    const bool unchanged = vals[k] == "unchanged";
    switch (row.types[k]) {
      case 'I':
        if (unchanged)
          EXPECT_EQ(v.iv[k], preset.iv[k]);
        else
          EXPECT_EQ(v.iv[k], std::stoi(vals[k]));
        break;
      case 'R': {
        ASSERT_LT(real_no, bits.size());
        const std::string& b = bits[real_no++];
        if (unchanged || b == "unchanged")
          EXPECT_EQ(bits_of(v.rv[k]), bits_of(preset.rv[k]));
        else
          EXPECT_EQ(bits_of(v.rv[k]), static_cast<std::uint32_t>(std::stoul(b, nullptr, 16)))
              << "value read " << v.rv[k] << ", table " << vals[k];
        break;
      }
      case 'L':
        if (unchanged)
          EXPECT_EQ(v.lv[k], preset.lv[k]);
        else
          EXPECT_EQ(v.lv[k], vals[k] == "T");
        break;
    }
  }
}

void check_next(const ReadRow& row, ListReader& in) {
  if (row.next == "<EOF>") {
    EXPECT_TRUE(in.at_end());
    EXPECT_THROW(in.read_text(1, "next line"), InputError);
    return;
  }
  const std::string expected = qtest::unescape(qtest::between_bars(row.next));
  const int width = static_cast<int>(expected.size()) + 8;
  EXPECT_EQ(in.read_text(width, "next line"), expected + std::string(8, ' '));
}

class ReadTable : public ::testing::TestWithParam<ReadRow> {};

TEST_P(ReadTable, ReadsAsTheTableShows) {
  const ReadRow& row = GetParam();
  SCOPED_TRACE("read.tsv line " + std::to_string(row.line) + " [" + row.group + "] types " + row.types);
  const bool ok = row.result == "ok";
  const bool refused = table_reads_non_finite(row);

  if (row.read == "(A12)") {
    ListReader in("PROB.INP", row.input);
    if (!ok) {
      EXPECT_THROW(in.read_text(12, "run name"), InputError);
      return;
    }
    EXPECT_EQ(in.read_text(12, "run name"), qtest::unescape(qtest::between_bars(row.values)));
    check_next(row, in);
    return;
  }

  ASSERT_EQ(row.read, "list");
  for (bool alt : {false, true}) {
    SCOPED_TRACE(alt ? "second preset" : "first preset");
    Vars v(alt);
    ListReader in("PROB.INP", row.input);
    const auto items = items_for(row.types, v);
    if (ok && !refused) {
      EXPECT_NO_THROW(in.read_list(items));
      check_values(row, v, alt);
      check_next(row, in);
    } else {
      EXPECT_THROW(in.read_list(items), InputError);
      if (!refused && !error_value_not_copied(row)) check_values(row, v, alt);
    }
  }
}

std::string row_name(const ::testing::TestParamInfo<ReadRow>& info) {
  return "line" + std::to_string(info.param.line);
}

INSTANTIATE_TEST_SUITE_P(Golden, ReadTable, ::testing::ValuesIn(load_read_table()), row_name);

TEST(ReadTableShape, HasAllRows) {
  const auto rows = load_read_table();
  EXPECT_EQ(rows.size(), 130u);
  int refused = 0;
  for (const auto& r : rows) refused += table_reads_non_finite(r) ? 1 : 0;
  EXPECT_EQ(refused, 7);  // inf, -Infinity, +INF, nan, NaN(0x1), 1E39, -1E39
}

// Message of the InputError thrown by f, or "" when nothing is thrown.
template <class F>
std::string message_of(F f) {
  try {
    f();
  } catch (const InputError& e) {
    return e.what();
  }
  return "";
}

TEST(ListReaderMessages, BadIntegerNamesFileLineQuantityAndText) {
  ListReader in("PROB.INP", "heading\n5.0 cells\n");
  in.skip_lines(1, "grid heading");
  int ni = 0;
  EXPECT_EQ(message_of([&] { in.read_list({ListItem::integer(ni, "number of grid columns")}); }),
            "PROB.INP: line 2: number of grid columns: expected an integer, found \"5.0\"");
  EXPECT_EQ(ni, 0);
}

TEST(ListReaderMessages, BadRealAndBadLogical) {
  float x = 0.0f;
  bool b = false;
  {
    ListReader in("case/PROB.INP", "1.5abc\n");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::real(x, "inlet velocity")}); }),
              "case/PROB.INP: line 1: inlet velocity: expected a real number, found \"1.5abc\"");
  }
  {
    ListReader in("PROB.INP", "\n\n1\n");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::logical(b, "parabolic-profile switch")}); }),
              "PROB.INP: line 3: parabolic-profile switch: expected a logical value T or F, found \"1\"");
  }
  {
    ListReader in("PROB.INP", ".X.\n");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::logical(b, "steady-state switch")}); }),
              "PROB.INP: line 1: steady-state switch: expected a logical value T or F, found \".X.\"");
  }
}

TEST(ListReaderMessages, ErrorOnASplitListNamesTheLineAndTheItem) {
  float a = 0, b = 0, c = 0;
  ListReader in("PROB.INP", "1.0\n2.0 abc\nnext\n");
  EXPECT_EQ(message_of([&] {
              in.read_list({ListItem::real(a, "diffusivity in the channel"),
                            ListItem::real(b, "diffusivity in the membrane"),
                            ListItem::real(c, "diffusivity in the gel")});
            }),
            "PROB.INP: line 2: diffusivity in the gel: expected a real number, found \"abc\"");
  EXPECT_EQ(a, 1.0f);
  EXPECT_EQ(b, 2.0f);
  EXPECT_EQ(c, 0.0f);
}

TEST(ListReaderMessages, IntegerOverflowAndRepeatCounts) {
  int n = 0;
  {
    ListReader in("PROB.INP", "2147483648\n");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::integer(n, "number of the last time step")}); }),
              "PROB.INP: line 1: number of the last time step: expected an integer, found \"2147483648\"");
  }
  float a = 0, b = 0;
  {
    ListReader in("PROB.INP", "0*1.5\n");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::real(a, "relax u"), ListItem::real(b, "relax p")}); }),
              "PROB.INP: line 1: relax u: expected a real number, found \"0*1.5\"");
  }
  {
    ListReader in("PROB.INP", "2 * 1.5\n");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::real(a, "relax u"), ListItem::real(b, "relax p")}); }),
              "PROB.INP: line 1: relax p: expected a real number, found \"*\"");
  }
}

TEST(ListReaderMessages, EndOfFile) {
  float a = 0, b = 0, c = 0, d = 0;
  {
    ListReader in("PROB.INP", "1.0 2.0\n3.0\n");
    EXPECT_EQ(message_of([&] {
                in.read_list({ListItem::real(a, "channel length"), ListItem::real(b, "half-gap"),
                              ListItem::real(c, "membrane thickness"), ListItem::real(d, "gel thickness")});
              }),
              "PROB.INP: line 2: gel thickness: end of file reached, expected a real number");
    EXPECT_EQ(in.line_number(), 2);
  }
  int n = 0;
  {
    ListReader in("PROB.INP", "");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::integer(n, "number of grid columns")}); }),
              "PROB.INP: line 1: number of grid columns: end of file reached, expected an integer");
  }
  {
    ListReader in("PROB.INP", "a\nb\n\n\n");
    in.skip_lines(2, "title lines");
    EXPECT_EQ(message_of([&] { in.read_list({ListItem::integer(n, "maximum outer iterations")}); }),
              "PROB.INP: line 4: maximum outer iterations: end of file reached, expected an integer");
  }
  {
    ListReader in("PROB.INP", "a\nb\n");
    EXPECT_EQ(message_of([&] { in.skip_lines(3, "title lines"); }),
              "PROB.INP: line 2: title lines: end of file reached, expected 1 more line");
  }
  {
    ListReader in("PROB.INP", "a\n");
    in.read_list({});
    EXPECT_EQ(message_of([&] { in.read_text(12, "run name"); }),
              "PROB.INP: line 1: run name: end of file reached, expected a line of text");
    EXPECT_EQ(message_of([&] { in.read_list({}); }),
              "PROB.INP: line 1: free text: end of file reached, expected a line of free text");
  }
}

TEST(ListReaderMessages, AreOneLineWithoutNewline) {
  float x = 0;
  const std::string m = message_of([&] {
    ListReader in("PROB.INP", "x\r\n");
    in.read_list({ListItem::real(x, "dt")});
  });
  EXPECT_EQ(m, "PROB.INP: line 1: dt: expected a real number, found \"x\"");
  EXPECT_EQ(m.find('\n'), std::string::npos);
  EXPECT_EQ(m.find('\r'), std::string::npos);
}

TEST(ListReaderReals, RefusesInfinityAndNaN) {
  for (const char* text : {"inf", "+INF", "-Infinity", "Infinity", "nan", "NaN", "NaN(0x1)", "1E39", "-1E39",
                           "3.4028236E38", "1e99999999999", "2*inf", "2*1E39",
                           // the exact midpoint between the largest float and 2^128 rounds to
                           // even, which is the overflow
                           "340282356779733661637539395458142568448"}) {
    SCOPED_TRACE(text);
    float a = -1.0f, b = -1.0f;
    ListReader in("PROB.INP", std::string(text) + "\n");
    const std::string m = message_of([&] { in.read_list({ListItem::real(a, "time-step size"), ListItem::real(b, "b")}); });
    EXPECT_EQ(m, "PROB.INP: line 1: time-step size: expected a real number, found \"" + std::string(text) + "\"");
    EXPECT_EQ(a, -1.0f);
  }
}

float read_one_real(const std::string& text) {
  float x = -1.0f;
  ListReader in("PROB.INP", text + "\n");
  in.read_list({ListItem::real(x, "value")});
  return x;
}

TEST(ListReaderReals, RangeEdges) {
  EXPECT_EQ(bits_of(read_one_real("3.40282347E+38")), 0x7F7FFFFFu);
  EXPECT_EQ(bits_of(read_one_real("340282356779733661637539395458142568447")), 0x7F7FFFFFu);
  EXPECT_EQ(bits_of(read_one_real("1E-50")), 0x00000000u);
  EXPECT_EQ(bits_of(read_one_real("-1E-50")), 0x80000000u);
  EXPECT_EQ(bits_of(read_one_real("1e-99999999999")), 0x00000000u);
  EXPECT_EQ(bits_of(read_one_real("0E99999")), 0x00000000u);
  EXPECT_EQ(bits_of(read_one_real("1E-45")), 0x00000001u);
  EXPECT_EQ(bits_of(read_one_real("1E-40")), 0x000116C2u);
  EXPECT_EQ(bits_of(read_one_real("1.17549435E-38")), 0x00800000u);
}

TEST(ListReaderReals, CorrectlyRoundedFromTheDecimalText) {
  // Just above the midpoint between 1 and the next float: rounds up.  Going
  // through double would land on the midpoint and round to even (down).
  EXPECT_EQ(bits_of(read_one_real("1.00000005960464477539062501")), 0x3F800001u);
  EXPECT_EQ(bits_of(read_one_real("1.00000005960464477539062499")), 0x3F800000u);
  EXPECT_EQ(bits_of(read_one_real("1.000000059604644775390625")), 0x3F800000u);  // tie, to even
  // Just below a midpoint whose even neighbour is above.
  EXPECT_EQ(bits_of(read_one_real("1.000000178813934326171874")), 0x3F800001u);
  EXPECT_EQ(bits_of(read_one_real("1.000000178813934326171875")), 0x3F800002u);  // tie, to even
  // Exponent letters and the signed exponent without a letter.
  EXPECT_EQ(read_one_real("2.5D2"), 250.0f);
  EXPECT_EQ(read_one_real("2.5q-1"), 0.25f);
  EXPECT_EQ(read_one_real("25-1"), 2.5f);
  EXPECT_EQ(read_one_real("-.25+1"), -2.5f);
  EXPECT_EQ(read_one_real("0.1"), 0.1f);
  EXPECT_EQ(read_one_real("0.000000000000000000000000000000000000000000000000001E51"), 1.0f);
}

TEST(ListReaderLines, CountsLinesAcrossSplitLists) {
  ListReader in("PROB.INP", "title 1\ntitle 2\ntitle 3\n1.0 2.0\n\n3.0\n4.0 tail\nlabel\n5 ,\n,7\nRUN1\n");
  EXPECT_EQ(in.line_number(), 0);
  in.skip_lines(3, "title lines");
  EXPECT_EQ(in.line_number(), 3);
  float a = 0, b = 0, c = 0, d = 0;
  in.read_list({ListItem::real(a, "a"), ListItem::real(b, "b"), ListItem::real(c, "c"), ListItem::real(d, "d")});
  EXPECT_EQ(in.line_number(), 7);
  EXPECT_EQ(d, 4.0f);
  in.read_list({});
  EXPECT_EQ(in.line_number(), 8);
  int i = 0, j = -1;
  in.read_list({ListItem::integer(i, "i"), ListItem::integer(j, "j")});
  EXPECT_EQ(in.line_number(), 10);
  EXPECT_EQ(i, 5);
  EXPECT_EQ(j, -1);
  EXPECT_FALSE(in.at_end());
  EXPECT_EQ(in.read_text(12, "run name"), "RUN1        ");
  EXPECT_EQ(in.line_number(), 11);
  EXPECT_TRUE(in.at_end());
}

TEST(ListReaderLines, SlashEndsTheReadOnItsLine) {
  ListReader in("PROB.INP", "1\n\n/ 2 3\nnext\n");
  int a = 0, b = 9, c = 9;
  in.read_list({ListItem::integer(a, "a"), ListItem::integer(b, "b"), ListItem::integer(c, "c")});
  EXPECT_EQ(in.line_number(), 3);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 9);
  EXPECT_EQ(c, 9);
  EXPECT_EQ(in.read_text(4, "next"), "next");
}

TEST(ListReaderLines, ErrorLineOnTheLineOfTheBadValue) {
  ListReader in("PROB.INP", "1\n\n\n2 x\n");
  int a = 0, b = 0, c = 0;
  EXPECT_EQ(message_of([&] {
              in.read_list({ListItem::integer(a, "a"), ListItem::integer(b, "b"), ListItem::integer(c, "c")});
            }),
            "PROB.INP: line 4: c: expected an integer, found \"x\"");
}

TEST(ListReaderLists, MixedTypesOnOneLine) {
  ListReader in("PROB.INP", "24, 1.5E-3 .TRUE. comment\n");
  int n = 0;
  float x = 0;
  bool b = false;
  in.read_list({ListItem::integer(n, "n"), ListItem::real(x, "x"), ListItem::logical(b, "b")});
  EXPECT_EQ(n, 24);
  EXPECT_EQ(bits_of(x), 0x3AC49BA6u);
  EXPECT_TRUE(b);
  EXPECT_TRUE(in.at_end());
}

TEST(ListReaderLists, RepeatedValueIsReadForEachItemsType) {
  ListReader in("PROB.INP", "2*5\n");
  int n = 0;
  float x = 0;
  in.read_list({ListItem::integer(n, "n"), ListItem::real(x, "x")});
  EXPECT_EQ(n, 5);
  EXPECT_EQ(x, 5.0f);
}

TEST(ListReaderLists, NullsAndSemicolons) {
  ListReader in("PROB.INP", "1;;3 2*, 6\n");
  int v[6] = {-1, -1, -1, -1, -1, -1};
  std::vector<ListItem> items;
  for (int k = 0; k < 6; ++k) items.push_back(ListItem::integer(v[k], "value"));
  in.read_list(items);
  // A semicolon separates like a comma; "2*" gives two nulls and the comma
  // after it is its separator, so 6 is the sixth value.
  EXPECT_EQ(v[0], 1);
  EXPECT_EQ(v[1], -1);
  EXPECT_EQ(v[2], 3);
  EXPECT_EQ(v[3], -1);
  EXPECT_EQ(v[4], -1);
  EXPECT_EQ(v[5], 6);
}

TEST(ListReaderLists, RepeatCountSpillsPastTheItemsHarmlessly) {
  ListReader in("PROB.INP", "99999999999999999999*7\nnext\n");
  int a = 0, b = 0;
  in.read_list({ListItem::integer(a, "a"), ListItem::integer(b, "b")});
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, 7);
  EXPECT_EQ(in.read_text(4, "next"), "next");
}

TEST(ListReaderText, WidthAndLineEnds) {
  ListReader in("PROB.INP", "AB\r\nRUN\t1 long name here\n\r\nX\r");
  EXPECT_EQ(in.read_text(4, "t"), "AB  ");
  EXPECT_EQ(in.read_text(8, "t"), "RUN\t1 lo");
  EXPECT_EQ(in.read_text(3, "t"), "   ");
  EXPECT_EQ(in.read_text(2, "t"), "X ");
  EXPECT_TRUE(in.at_end());
  EXPECT_EQ(in.line_number(), 4);
}

TEST(ListReaderLists, LoneCarriageReturnIsABlank) {
  ListReader in("PROB.INP", "5\r6\n");
  int a = 0, b = 0;
  in.read_list({ListItem::integer(a, "a"), ListItem::integer(b, "b")});
  EXPECT_EQ(a, 5);
  EXPECT_EQ(b, 6);
}

}  // namespace
