#include "setup/text_helpers.hpp"

#include <gtest/gtest.h>

#include <string>

using questrand::appendext;
using questrand::chrbln;
using questrand::stem_length;

TEST(Chrbln, LastNonBlankPosition) {
  EXPECT_EQ(chrbln("            "), 1);  // all blank
  EXPECT_EQ(chrbln("A           "), 1);  // only position 1
  EXPECT_EQ(chrbln("RUN1        "), 4);
  EXPECT_EQ(chrbln(std::string("AB\0\0", 4)), 2);  // byte 0 counts as blank
  EXPECT_EQ(chrbln(""), 1);
  EXPECT_EQ(chrbln("ABCDEFGHIJKL"), 12);
}

TEST(Appendext, ListedNames) {
  auto with_sav = [](std::string name, int mode = 1) {
    appendext(name, ".sav", mode);
    return name;
  };
  EXPECT_EQ(with_sav("RUN1        "), "RUN1.sav    ");
  EXPECT_EQ(with_sav("RESULT.DAT  "), "RESULT.sav  ");
  EXPECT_EQ(with_sav("A           "), "A.sav       ");
  EXPECT_EQ(with_sav(".DAT        "), ".sav        ");         // point in column 1
  EXPECT_EQ(with_sav("RUN1.DAT    ", 0), "RUN1.DAT    ");     // mode 0 keeps an extension
  EXPECT_EQ(with_sav("RUN1        ", 0), "RUN1.sav    ");     // mode 0 still adds one
  EXPECT_EQ(with_sav("ABCDEFGHIJKL"), "ABCDEFGHIJKL");        // extension cut off entirely
  EXPECT_EQ(with_sav("ABCDEFGHIJ  "), "ABCDEFGHIJ.s");        // cut to 12
  EXPECT_EQ(with_sav("            "), "            ");        // blank stays blank
  EXPECT_EQ(with_sav("RESULT.     "), "RESULT.sav  ");
}

TEST(StemLength, PointPositionOrEight) {
  EXPECT_EQ(stem_length("RESULT.     "), 6);
  EXPECT_EQ(stem_length("CASE1.A     "), 5);
  EXPECT_EQ(stem_length("ABCDEFGHIJKL"), 8);  // no point
  EXPECT_EQ(stem_length(".ABC        "), 8);  // point in column 1
  EXPECT_EQ(stem_length("ABCDEFGH.X  "), 8);  // point in column 9
  EXPECT_EQ(stem_length("ABCDEFGHI.X "), 8);  // point after column 9
  EXPECT_EQ(stem_length("RUN1        "), 8);  // keeps the blanks: "RUN1    "
  EXPECT_EQ(stem_length("T00001.  "), 6);
}
