// The message formatter: a width or precision from a language text never builds a huge string.
#include <gtest/gtest.h>

#include <string>

#include "framework/tiFormat.h"

using namespace kelvado;

TEST(tiFormat, HugeWidthAndPrecisionAreCut) {
  // Moderate values first: they show the cut without a gigabyte allocation where it is missing.
  ASSERT_EQ(tiFormat("%5000s", {"x"}).size(), 1100u);
  EXPECT_EQ(tiFormat("%-5000d|", {7}).size(), 1101u);
  EXPECT_EQ(tiFormat("%1000000000s", {"x"}).size(), 1100u);
  EXPECT_EQ(tiFormat("%99999999999999999999999s", {"x"}).size(), 1100u);  // beyond every integer type
  EXPECT_EQ(tiFormat("%.1000000000f", {1.5}).size(), 2u + 1100u);
  EXPECT_EQ(tiFormat("%.1000000000d", {3}).size(), 1100u);
  EXPECT_EQ(tiFormat("%1000000000.1000000000e", {1.0}).size(), 1100u + 6u);
  // A precision limits a text; a cut precision still does.
  EXPECT_EQ(tiFormat("%.1000000000s", {"abc"}), "abc");
  EXPECT_EQ(tiFormat("%.2s", {"abc"}), "ab");
  // Ordinary fields are untouched.
  EXPECT_EQ(tiFormat("[%8.3f|%-4d|%05d|%.0f]", {3.14159, 42, 7, 2.5}), "[   3.142|42  |00007|2]");
  EXPECT_EQ(tiFormat("%1100s", {"x"}).size(), 1100u);
}
