#include "model/Enums.h"

#include <gtest/gtest.h>

#include <set>

namespace kelvado {
namespace {

// Every value's identifier text reads back as the same value; names are unique and the count is right.
template <typename E>
void ExpectRoundTrip(int count) {
  ASSERT_EQ(EnumCount<E>(), count) << EnumInfo<E>::TypeName;
  std::set<std::string_view> seen;
  for (int i = 0; i < count; ++i) {
    const E v = static_cast<E>(i);
    const std::string_view name = EnumName(v);
    EXPECT_FALSE(name.empty());
    EXPECT_TRUE(seen.insert(name).second) << name;
    E back = static_cast<E>(count - 1 - i);
    ASSERT_TRUE(EnumFromName(name, back)) << name;
    EXPECT_EQ(back, v) << name;
    EXPECT_EQ(EnumOrdinalFromName<E>(name), i);
  }
  EXPECT_TRUE(EnumName(static_cast<E>(count)).empty());
  EXPECT_TRUE(EnumNameOf<E>(-1).empty());
}

TEST(Enums, EveryIdentifierTextRoundTrips) {
  ExpectRoundTrip<TPL>(7);
  ExpectRoundTrip<TCat>(5);
  ExpectRoundTrip<TTechnology>(6);
  ExpectRoundTrip<TMTTFdDenotation>(3);
  ExpectRoundTrip<TDCDenotation>(5);
  ExpectRoundTrip<TDetermination>(4);
  ExpectRoundTrip<TItemStatus>(3);
  ExpectRoundTrip<TNormVersion>(5);
  ExpectRoundTrip<TKelvadoVersion>(30);
}

TEST(Enums, UnknownTextsAreDetected) {
  TCat cat = cat3;
  for (const char* bad : {"", "cat5", "Cat4", "cat4 ", " cat4", "catb", "4"}) {
    EXPECT_FALSE(EnumFromName(bad, cat)) << '"' << bad << '"';
    EXPECT_EQ(cat, cat3) << "a refused text must leave the value alone";
    EXPECT_EQ(EnumOrdinalFromName<TCat>(bad), -1);
  }
}

TEST(Enums, StatusesCombineToTheWorstAndPLSetsHoldOneBitPerLevel) {
  EXPECT_EQ(MinItemStatus(isGreen, isYellow), isYellow);
  EXPECT_EQ(MinItemStatus(isRed, isYellow), isRed);
  TPLSet s{plD, plE};
  s.Exclude(plD);
  s.Include(plForward);
  s.Include(static_cast<TPL>(9));  // no such level: ignored
  EXPECT_EQ(s, TPLSet({plE, plForward}));
  EXPECT_EQ(s.Bits(), 0x50);
  EXPECT_EQ(TPLSet::FromBits(0xFF).Bits(), 0x7F);
}

}  // namespace
}  // namespace kelvado
