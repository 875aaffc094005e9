#include <gmock/gmock.h>

#include "CalcTestEnv.h"

namespace kelvado::testing {
namespace {

using ::testing::ElementsAre;

class BlocTest : public CalcTest {};

TEST_F(BlocTest, MTTFdDeterminationRefusesMeasuresAndUnknown) {
  TBloc b;
  try {
    b.SetMTTFdDet(detMeasures);
    ADD_FAILURE() << "detMeasures taken";
  } catch (const EInvalidValue& e) {
    EXPECT_EQ(e.MsgNumber(), 1001);
    EXPECT_EQ(e.MsgArgs().at(0).AsString(), "detMeasures");
  }
  EXPECT_THROW(b.SetMTTFdDet(detUnknown), EInvalidValue);
  EXPECT_THROW(b.SetDCDet(detUnknown), EInvalidValue);
  b.SetDCDet(detMeasures);
  EXPECT_EQ(b.GetMTTFdDet(), detSubItems);
  EXPECT_THROW(b.SetMTTFd(2.5), EInvalidValue);
  EXPECT_THROW(b.SetMTTFd(std::nan("")), EInvalidValue);
}

TEST_F(BlocTest, PartsCountOverElementsWithInfiniteAndZeroValues) {
  auto b = BlocOf({50.0, 50.0});
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 25.0);
  // An element that never fails adds nothing.
  b->GetElementOpList()->Add(Element(kInf));
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 25.0);
  // Only never-failing elements, or none at all: the block never fails either.
  EXPECT_EQ(BlocOf({kInf, kInf})->GetMTTFdLazy(), kInf);
  EXPECT_EQ(Bloc()->GetMTTFdLazy(), kInf);
  // An element of MTTFd 0 (B10d 0) makes the block MTTFd 0; an element without data is left out.
  auto z = Element(10.0);
  z->GetElement()->SetUseB10d(true);
  z->GetElement()->SetB10d(0.0);
  b->GetElementOpList()->Add(std::move(z));
  EXPECT_EQ(b->GetMTTFdLazy(), 0.0);
  auto c = BlocOf({40.0});
  c->GetElementOpList()->Add(std::make_unique<TElementOp>());
  EXPECT_DOUBLE_EQ(c->GetMTTFdLazy(), 40.0);
  // Deleted elements do not count.
  c->GetElementOpList()->Items(0)->SetDeleted(true);
  EXPECT_EQ(c->GetMTTFdLazy(), kInf);
}

TEST_F(BlocTest, DCIsWeightedByTheFailureRate) {
  auto b = Bloc();
  b->GetElementOpList()->Add(Element(50.0, 0.9));
  b->GetElementOpList()->Add(Element(25.0, 0.6));
  EXPECT_NEAR(b->GetDCLazy(), 0.7, 1e-15);
  EXPECT_EQ(b->GetDCBandLazy(), dcLow);
  EXPECT_EQ(b->GetDCString(), "70 (Low)");
  // A never-failing element does not enter the average; only such elements: no DC (+infinity).
  b->GetElementOpList()->Add(Element(kInf, 0.0));
  EXPECT_NEAR(b->GetDCLazy(), 0.7, 1e-15);
  EXPECT_EQ(BlocOf({kInf})->GetDCLazy(), kInf);
  // An element without a value makes the DC undeterminable.
  b->GetElementOpList()->Add(std::make_unique<TElementOp>());
  EXPECT_EQ(b->GetDCLazy(), -1.0);
  EXPECT_EQ(b->GetDCSubItemsString(), "-");
  EXPECT_EQ(b->GetDCString(), "- (-)");

  // Direct and measure determinations.
  b->GetBloc()->SetDC(0.95);
  b->GetBloc()->SetDCDet(detDirect);
  EXPECT_DOUBLE_EQ(b->GetDCLazy(), 0.95);
  b->GetBloc()->SetDCDet(detMeasures);
  EXPECT_EQ(b->GetDCLazy(), 0.0);  // no measure: the minimum DC
}

TEST_F(BlocTest, ADeletedElementLeavesTheDC) {
  // 50 years / 0.9 beside a deleted 25 years / 0.6: 0.9, whether deleted before the first read or after.
  auto b = Bloc();
  b->GetElementOpList()->Add(Element(50.0, 0.9));
  auto gone = Element(25.0, 0.6);
  gone->SetDeleted(true);
  b->GetElementOpList()->Add(std::move(gone));
  EXPECT_NEAR(b->GetDCLazy(), 0.9, 1e-15);
  auto c = BlocOf({50.0, 25.0});
  c->GetElementOpList()->Items(0)->GetElement()->SetDC(0.9);
  c->GetElementOpList()->Items(1)->GetElement()->SetDC(0.6);
  EXPECT_NEAR(c->GetDCLazy(), 0.7, 1e-15);
  c->GetElementOpList()->Items(1)->SetDeleted(true);
  EXPECT_NEAR(c->GetDCLazy(), 0.9, 1e-15);
  EXPECT_EQ(c->GetDCBandLazy(), dcMedium);
}

TEST_F(BlocTest, NoiseNeverMovesAValueAcrossABound) {
  // One element of DC 0.99 and 50 years gives a block DC one unit in the last place below 0.99.
  auto b = Bloc();
  b->GetElementOpList()->Add(Element(50.0, 0.99));
  EXPECT_LT(b->GetDCLazy(), 0.99);
  EXPECT_EQ(b->GetDCBandLazy(), dcHigh);
  // Six elements of 18 years give 2.9999999999999996 years: that is 3 years, not too low.
  auto c = BlocOf({18.0, 18.0, 18.0, 18.0, 18.0, 18.0});
  EXPECT_LT(c->GetMTTFdLazy(), 3.0);
  EXPECT_EQ(c->CheckStatus(nullptr, false), isGreen);
  c->GetElementOpList()->Add(Element(1000.0));
  EXPECT_THAT(Messages(*c), ElementsAre("isRed=[3262] ||"));
}

TEST_F(BlocTest, NewBlockStatusAndMessages) {
  auto b = Bloc("");
  // No elements: green notes for MTTFd and DC, yellow for the missing name; nothing red.
  EXPECT_EQ(b->CheckStatus(nullptr, false), isYellow);
  EXPECT_THAT(Messages(*b), ElementsAre("isGreen=[3294] ||", "isGreen=[3295] ||", "isYellow=[3261] ||"));

  auto c = BlocOf({50.0});
  c->GetBloc()->SetMissionTime(10.0);
  EXPECT_THAT(Messages(*c), ElementsAre("isYellow=[3265] 20|10|"));

  // DC undefined: only never-failing elements for the DC while the block MTTFd is entered.
  auto d = BlocOf({kInf});
  d->GetBloc()->SetMTTFdDet(detDirect);
  EXPECT_EQ(d->CheckStatus(nullptr, false), isRed);
  EXPECT_THAT(Messages(*d), ElementsAre("isRed=[3263] ||"));
}

TEST_F(BlocTest, RecursiveCheckIncludesTheElementsOnlyWhenAsked) {
  auto b = BlocOf({50.0});
  b->GetElementOpList()->Add(Element(50.0, 0.0, ""));
  auto deleted = Element(50.0, 0.0, "");
  deleted->SetDeleted(true);
  b->GetElementOpList()->Add(std::move(deleted));
  EXPECT_EQ(b->CheckStatus(nullptr, false), isGreen);
  EXPECT_EQ(b->CheckStatus(nullptr, true), isYellow);
  EXPECT_THAT(Messages(*b, true), ElementsAre("isYellow=[3256] ||"));
}

TEST_F(BlocTest, MinMissionTimeCountsRelevantElementsThatAreNotDeleted) {
  auto b = Bloc();
  auto e = Element(50.0);
  e->GetElement()->SetMissionTime(15.0);
  b->GetElementOpList()->Add(std::move(e));
  auto gone = Element(50.0);
  gone->GetElement()->SetMissionTime(5.0);
  gone->SetDeleted(true);
  b->GetElementOpList()->Add(std::move(gone));
  EXPECT_EQ(b->GetMinMissionTime(), 15.0);
  // With the block's MTTFd entered directly its elements do not count for the MTTFd, nor (the DC taken
  // directly) for the DC.
  b->GetBloc()->SetMTTFdDet(detDirect);
  b->GetBloc()->SetDCDet(detDirect);
  EXPECT_EQ(b->GetMinMissionTime(), 20.0);
}

TEST_F(BlocTest, CachesAreKeptUntilAChangeBelow) {
  auto b = BlocOf({50.0, 50.0});
  TElementOp* e = b->GetElementOpList()->Items(0);
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 25.0);
  const int lookups = db_->mttfdBandCalls;
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 25.0);
  EXPECT_DOUBLE_EQ(b->GetMTTFdSubItemsLazy(), 25.0);
  const int afterSub = db_->mttfdBandCalls;
  EXPECT_GT(afterSub, lookups);
  EXPECT_DOUBLE_EQ(b->GetMTTFdSubItemsLazy(), 25.0);
  EXPECT_EQ(db_->mttfdBandCalls, afterSub);

  e->GetElement()->SetMTTFd(kInf);
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 50.0);
  EXPECT_DOUBLE_EQ(b->GetMTTFdSubItemsLazy(), 50.0);
  e->SetNop(10.0);  // not used while UseB10d is off, but a change all the same
  b->GetElementOpList()->Delete(0);
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 50.0);
  b->GetBloc()->SetMTTFdDet(detDirect);
  EXPECT_DOUBLE_EQ(b->GetMTTFdLazy(), 10.0);
}

TEST_F(BlocTest, AssignCopiesElementsThatAreNotDeleted) {
  auto b = BlocOf({50.0, 60.0});
  b->GetElementOpList()->Items(1)->SetDeleted(true);
  auto copy = b->CloneAs<TBlocOp>();
  EXPECT_EQ(copy->GetElementOpList()->GetCount(), 1);
  EXPECT_EQ(copy->GetElementOpList()->Items(0)->GetOwner(), copy.get());
  EXPECT_FALSE(copy->Equals(*b));
  b->GetElementOpList()->Delete(1);
  EXPECT_TRUE(copy->Equals(*b));
  EXPECT_DOUBLE_EQ(copy->GetMTTFdLazy(), 50.0);
  EXPECT_EQ(copy->GetPosition(), 0);  // in no channel
}

}  // namespace
}  // namespace kelvado::testing
