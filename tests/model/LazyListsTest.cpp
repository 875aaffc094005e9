#include "model/LazyLists.h"

#include <gtest/gtest.h>

namespace kelvado {
namespace {

TEST(LazyLists, ARingForgetsItsOldestKeyFirst) {
  TPLrList plr(8);
  EXPECT_EQ(plr.ValueOf(0, 0, 0), plForward);  // a fresh cache knows nothing, not even S1/F1/P1
  for (uint8_t i = 0; i < 9; ++i) EXPECT_FALSE(plr.Add(static_cast<TPL>(i % 5), i & 1, (i >> 1) & 1, i >> 2));
  EXPECT_EQ(plr.Count(), 8u);
  EXPECT_EQ(plr.ValueOf(0, 0, 0), plForward);  // the first of nine keys was replaced
  for (uint8_t i = 1; i < 9; ++i) EXPECT_EQ(plr.ValueOf(i & 1, (i >> 1) & 1, i >> 2), static_cast<TPL>(i % 5));
  plr.Clear();
  EXPECT_EQ(plr.Count(), 0u);
  EXPECT_EQ(plr.ValueOf(1, 0, 0), plForward);
}

TEST(LazyLists, AKeyAlreadyHeldKeepsItsFirstValue) {
  TFloatList f(3);
  EXPECT_EQ(f.ValueOf(0.5), -1);
  EXPECT_FALSE(f.Add(7, 0.5));
  EXPECT_TRUE(f.Add(9, 0.5));
  EXPECT_EQ(f.ValueOf(0.5), 7);
  EXPECT_EQ(f.Count(), 1u);
  // Exact comparison: a neighbouring double is another key.
  EXPECT_EQ(f.ValueOf(0.5000000000000001), -1);
  // A repeated key does not advance the ring: three more keys push out 0.5 only at the third.
  f.Add(1, 1.0);
  f.Add(2, 2.0);
  EXPECT_EQ(f.ValueOf(0.5), 7);
  f.Add(3, 3.0);
  EXPECT_EQ(f.ValueOf(0.5), -1);
  EXPECT_EQ(f.ValueOf(3.0), 3);
}

TEST(LazyLists, PFHKeysCompareEveryPart) {
  TPFHList pfh(64);
  EXPECT_DOUBLE_EQ(pfh.ValueOf(cat3, 0.9, 30.0), -1.0);
  pfh.Add(1.26e-7, cat3, 0.9, 30.0);
  EXPECT_DOUBLE_EQ(pfh.ValueOf(cat3, 0.9, 30.0), 1.26e-7);
  EXPECT_DOUBLE_EQ(pfh.ValueOf(cat2, 0.9, 30.0), -1.0);
  EXPECT_DOUBLE_EQ(pfh.ValueOf(cat3, 0.6, 30.0), -1.0);
  EXPECT_DOUBLE_EQ(pfh.ValueOf(cat3, 0.9, 27.0), -1.0);
  // A cache without room stores nothing instead of writing out of bounds.
  TPFHList none(0);
  EXPECT_FALSE(none.Add(1.0, cat4, 0.99, 100.0));
  EXPECT_DOUBLE_EQ(none.ValueOf(cat4, 0.99, 100.0), -1.0);
}

}  // namespace
}  // namespace kelvado
