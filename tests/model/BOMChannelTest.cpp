#include <gmock/gmock.h>

#include "CalcTestEnv.h"

namespace kelvado::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class ChannelTest : public CalcTest {
protected:
  // A channel of blocks with the given (directly entered) MTTFds.
  static std::unique_ptr<TChannelOp> ChannelOf(std::initializer_list<double> blocMTTFds) {
    auto ch = Channel();
    for (double m : blocMTTFds) ch->GetBlocOpList()->Add(DirectBloc(m));
    return ch;
  }
  static std::unique_ptr<TTestChannelOp> TestChannelOf(double blocMTTFd) {
    auto tc = TestChannel();
    tc->GetBlocOpList()->Add(DirectBloc(blocMTTFd));
    return tc;
  }
};

TEST_F(ChannelTest, PartsCountOverBlocksWithInfiniteAndZeroValues) {
  EXPECT_DOUBLE_EQ(ChannelOf({60.0, 30.0})->GetMTTFdLazy(), 20.0);
  EXPECT_DOUBLE_EQ(ChannelOf({60.0, kInf})->GetMTTFdLazy(), 60.0);
  EXPECT_EQ(ChannelOf({kInf})->GetMTTFdLazy(), kInf);
  EXPECT_EQ(Channel()->GetMTTFdLazy(), kInf);
  // A block of MTTFd 0 makes the whole channel 0.
  auto ch = ChannelOf({60.0});
  auto zero = BlocOf({10.0});
  zero->GetElementOpList()->Items(0)->GetElement()->SetUseB10d(true);  // B10d 0
  ch->GetBlocOpList()->Add(std::move(zero));
  EXPECT_EQ(ch->GetMTTFdLazy(), 0.0);
  EXPECT_THAT(Messages(*ch), ElementsAre("isRed=[3266] ||"));
  // Seven blocks of 210 years give 29.999999999999993 years: the band is still high.
  auto seven = ChannelOf({210, 210, 210, 210, 210, 210, 210});
  EXPECT_LT(seven->GetMTTFdLazy(), 30.0);
  EXPECT_EQ(seven->GetMTTFdDenotationString(), "High");
}

// "No value" (-1) is a computed value like any other: it stays cached until the node changes.
TEST_F(ChannelTest, ANoValueIsCachedLikeAnyOtherValue) {
  static int calls;
  calls = 0;
  class CountingMTTFd : public TMTTFdCalc13849 {
  public:
    double CalcComponentMTTFd(TComponentOp& node, TMTTFdDenotation& band, TDetermination det) override {
      ++calls;
      return TMTTFdCalc13849::CalcComponentMTTFd(node, band, det);
    }
  };
  CalcPool().SetMTTFdCalc([]() -> std::unique_ptr<TMTTFdCalc> { return std::make_unique<CountingMTTFd>(); });
  // Two channels, one of them still without blocks: the subsystem has no MTTFd.
  auto comp = Subsystem(cat3);
  comp->GetChannelOpList()->Add(ChannelOf({50.0}));
  comp->GetChannelOpList()->Add(Channel());
  EXPECT_EQ(comp->GetMTTFdLazy(), -1.0);
  EXPECT_EQ(comp->GetMTTFdLazy(), -1.0);
  EXPECT_EQ(calls, 1);
  comp->GetChannelOpList()->Items(1)->GetBlocOpList()->Add(DirectBloc(50.0));
  EXPECT_DOUBLE_EQ(comp->GetMTTFdLazy(), 50.0);
  EXPECT_EQ(calls, 2);
}

TEST_F(ChannelTest, DCAveragesTheBlocks) {
  auto ch = Channel();
  auto a = DirectBloc(50.0);
  a->GetBloc()->SetDCDet(detDirect);
  a->GetBloc()->SetDC(0.9);
  auto b = DirectBloc(25.0);
  b->GetBloc()->SetDCDet(detDirect);
  b->GetBloc()->SetDC(0.6);
  ch->GetBlocOpList()->Add(std::move(a));
  ch->GetBlocOpList()->Add(std::move(b));
  TDCDenotation band;
  EXPECT_NEAR(ch->GetDC(CalcPool().GetDCCalc(), band), 0.7, 1e-15);
  EXPECT_EQ(band, dcLow);
  // A deleted block does not count: the 50-year block of DC 0.9 alone.
  ch->GetBlocOpList()->Items(1)->SetDeleted(true);
  EXPECT_DOUBLE_EQ(ch->GetDC(CalcPool().GetDCCalc(), band), 0.9);
}

TEST_F(ChannelTest, CutAtTheCategoryCapWithAGreenNote) {
  auto comp = Subsystem(cat3);
  comp->GetChannelOpList()->Add(ChannelOf({150.0}));
  comp->GetChannelOpList()->Add(ChannelOf({kInf}));
  TChannelOp* ch = comp->GetChannelOpList()->Items(0);
  EXPECT_EQ(ch->GetMTTFdCut(), 100.0);
  EXPECT_THAT(Messages(*ch), ElementsAre("isGreen=[3269] 150|100|100"));
  EXPECT_EQ(ch->CheckStatus(nullptr, false), isGreen);
  EXPECT_EQ(comp->GetChannelOpList()->Items(1)->GetMTTFdCut(), kInf);  // infinity is not cut
  EXPECT_EQ(comp->GetChannelOpList()->Items(1)->GetMTTFdCutString(), "FE");

  comp->GetComponent()->SetCat(cat4);
  SetOpt("cutmttfdraise", true);
  SetOpt("usedcinterlevels", true);
  EXPECT_EQ(ch->GetMTTFdCut(), 150.0);
  SetOpt("usedcinterlevels", false);
  EXPECT_EQ(ch->GetMTTFdCut(), 100.0);
}

TEST_F(ChannelTest, TestChannelLimitsTheChannel) {
  auto comp = Subsystem(cat2);
  comp->GetChannelOpList()->Add(ChannelOf({60.0}));
  comp->GetChannelOpList()->Add(TestChannelOf(20.0));
  TChannelOp* ch = comp->GetChannelOpList()->Items(0);
  auto* tc = dynamic_cast<TTestChannelOp*>(comp->GetChannelOpList()->Items(1));
  ASSERT_EQ(ch->PairedTestChannelOp(), tc);
  ASSERT_TRUE(tc->IsUsedBySubsystem());

  // Option on (default): the fit MTTFd is limited to 2 x 20 years.
  EXPECT_EQ(ch->GetMTTFdFit(), 40.0);
  EXPECT_EQ(tc->GetMTTFdFit(), 20.0);
  EXPECT_THAT(Messages(*ch), ElementsAre("isGreen=[3270] 60|40|20"));

  // Option off: no fit, but the test-channel rule: 2 x 20 is not above 60.
  SetOpt("MTTFdCFitBeforeSymm", false);
  EXPECT_EQ(ch->GetMTTFdFit(), 60.0);
  EXPECT_FALSE(ch->IsTestChannelMTTFdSatisfied());
  EXPECT_THAT(Messages(*ch), ElementsAre("isRed=[3267] ||"));
  tc->GetBlocOpList()->Items(0)->GetBloc()->SetMTTFd(31.0);
  EXPECT_TRUE(ch->IsTestChannelMTTFdSatisfied());
  // A test channel that never fails is always good enough, even for a never-failing channel.
  tc->GetBlocOpList()->Items(0)->GetBloc()->SetMTTFd(kInf);
  ch->GetBlocOpList()->Items(0)->GetBloc()->SetMTTFd(kInf);
  EXPECT_TRUE(ch->IsTestChannelMTTFdSatisfied());

  // The test channel counts only in category 2 with the PL from the channels.
  comp->GetComponent()->SetPLDet(detDirect);
  EXPECT_FALSE(tc->IsUsedBySubsystem());
  comp->GetComponent()->SetPLDet(detSubItems);
  comp->GetComponent()->SetCat(cat3);
  EXPECT_FALSE(tc->IsUsedBySubsystem());
}

TEST_F(ChannelTest, ADeletedOrRemovedTestChannelCountsAsAbsent) {
  auto comp = Subsystem(cat2);
  comp->GetChannelOpList()->Add(ChannelOf({60.0}));
  comp->GetChannelOpList()->Add(TestChannelOf(20.0));
  TChannelOp* ch = comp->GetChannelOpList()->Items(0);
  TTestChannelOp* tc = ch->GetTestChannelOp();
  tc->SetDeleted(true);
  EXPECT_EQ(ch->GetTestChannelOp(), tc);  // still the stored pairing
  EXPECT_EQ(ch->PairedTestChannelOp(), nullptr);
  EXPECT_FALSE(tc->IsUsedBySubsystem());
  EXPECT_EQ(ch->GetMTTFdFit(), 60.0);
  EXPECT_THAT(Messages(*ch), ElementsAre());
  // Freed by its list: the stored reference is never followed (the sanitizer would see it).
  comp->GetChannelOpList()->Delete(1);
  EXPECT_EQ(ch->GetTestChannelOp(), nullptr);  // what the stores write never points at freed memory
  EXPECT_EQ(ch->PairedTestChannelOp(), nullptr);
  EXPECT_EQ(ch->GetMTTFdFit(), 60.0);
  ch->Changed();
}

TEST_F(ChannelTest, PairingByTheListAndRepairingKeepsTheOldTestChannelInPlace) {
  auto comp = Subsystem(cat2);
  TChannelOpList& list = *comp->GetChannelOpList();
  list.Add(Channel());
  list.Add(Channel());
  list.Add(TestChannel());
  auto* tc1 = dynamic_cast<TTestChannelOp*>(list.Items(2));
  EXPECT_EQ(list.Items(0)->GetTestChannelOp(), tc1);
  EXPECT_EQ(list.Items(1)->GetTestChannelOp(), tc1);
  list.Add(Channel());
  EXPECT_EQ(list.Items(3)->GetTestChannelOp(), tc1);

  tc1->SetDeleted(true);
  list.Add(TestChannel());
  auto* tc2 = dynamic_cast<TTestChannelOp*>(list.Items(4));
  EXPECT_EQ(list.Items(0)->GetTestChannelOp(), tc2);
  EXPECT_EQ(tc1->GetOwner(), comp.get());  // still the subsystem's

  // A protected test channel refuses to be paired away; the pairing stays as it was.
  tc2->SetIsProtected(true);
  EXPECT_THROW(list.Items(0)->SetTestChannelOp(nullptr), EProtectionViolation);
  EXPECT_EQ(list.Items(0)->GetTestChannelOp(), tc2);
  tc2->SetIsProtected(false);

  EXPECT_THROW(tc2->SetTestChannelOp(tc1), EKelvado);
  tc2->SetTestChannelOp(nullptr);
  try {
    tc2->SetTestChannelOp(tc1);
  } catch (const EKelvado& e) {
    EXPECT_EQ(e.MsgNumber(), 1018);
  }
}

TEST_F(ChannelTest, TheCategoryUsesTheFirstChannelsThatAreNotDeletedNorTestChannels) {
  auto comp = Subsystem(cat1);
  TChannelOpList& list = *comp->GetChannelOpList();
  list.Add(TestChannel());
  list.Add(ChannelOf({50.0}));
  list.Add(ChannelOf({50.0}));
  TChannelOp* first = list.Items(1);
  TChannelOp* second = list.Items(2);
  EXPECT_TRUE(first->IsUsedBySubsystem());
  EXPECT_FALSE(second->IsUsedBySubsystem());
  EXPECT_EQ(first->GetPosition(), 1);
  EXPECT_EQ(second->GetPosition(), 2);
  EXPECT_EQ(first->GetCaption(), "T3 1");
  EXPECT_EQ(second->GetCaption(), "T3 2");
  EXPECT_EQ(list.Items(0)->GetCaption(), "T4");
  EXPECT_EQ(Channel()->GetCaption(), "T3");
  EXPECT_EQ(first->GetChnOrder(), 1.0);

  first->SetDeleted(true);
  EXPECT_FALSE(first->IsUsedBySubsystem());
  EXPECT_TRUE(second->IsUsedBySubsystem());
  EXPECT_EQ(second->GetPosition(), 1);
}

TEST_F(ChannelTest, RecursiveCheckOfAnUnusedChannelIncludesEveryBlock) {
  auto comp = Subsystem(cat1);
  comp->GetChannelOpList()->Add(ChannelOf({50.0}));
  auto unused = ChannelOf({50.0});
  unused->GetBlocOpList()->Items(0)->GetBloc()->SetName("");
  comp->GetChannelOpList()->Add(std::move(unused));
  TChannelOp* ch = comp->GetChannelOpList()->Items(1);
  ASSERT_FALSE(ch->IsUsedBySubsystem());
  EXPECT_FALSE(ch->GetBlocOpList()->Items(0)->IsMTTFdOrDCRelevant());
  EXPECT_THAT(Messages(*ch, true), ElementsAre("isYellow=[3261] ||"));
  EXPECT_THAT(Messages(*ch, false), ElementsAre());
}

TEST_F(ChannelTest, RelevanceOfBlocksAndElementsFollowsTheSubsystem) {
  auto comp = Subsystem(cat2);
  comp->GetChannelOpList()->Add(ChannelOf({50.0}));
  comp->GetChannelOpList()->Add(TestChannelOf(50.0));
  TBlocOp* inChannel = comp->GetChannelOpList()->Items(0)->GetBlocOpList()->Items(0);
  TBlocOp* inTest = comp->GetChannelOpList()->Items(1)->GetBlocOpList()->Items(0);
  EXPECT_TRUE(inChannel->IsDCRelevant());
  EXPECT_TRUE(inTest->IsMTTFdRelevant());
  EXPECT_FALSE(inTest->IsDCRelevant());  // never under a test channel
  // The block's MTTFd entered directly: its elements do not count for the MTTFd.
  inChannel->GetElementOpList()->Add(Element(40.0));
  TElementOp* e = inChannel->GetElementOpList()->Items(0);
  EXPECT_FALSE(e->IsMTTFdRelevant());
  inChannel->GetBloc()->SetMTTFdDet(detSubItems);
  EXPECT_TRUE(e->IsMTTFdRelevant());
  comp->GetComponent()->SetMTTFdDet(detDirect);
  EXPECT_FALSE(inChannel->IsMTTFdRelevant());
  EXPECT_FALSE(e->IsMTTFdRelevant());
  SetOpt("printnonrelevant", false);
  EXPECT_EQ(e->GetMTTFdString(), "T391");
}

TEST_F(ChannelTest, ACacheIsResetByAChangeThreeLevelsDown) {
  auto ch = Channel();
  ch->GetBlocOpList()->Add(BlocOf({50.0, 50.0}));
  TElementOp* e = ch->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0);
  int changes = 0;
  ch->SetOnChange([&](TtiObject*) { ++changes; });
  EXPECT_DOUBLE_EQ(ch->GetMTTFdLazy(), 25.0);
  const int lookups = db_->mttfdBandCalls;
  EXPECT_DOUBLE_EQ(ch->GetMTTFdLazy(), 25.0);
  EXPECT_EQ(db_->mttfdBandCalls, lookups);  // computed once

  e->GetElement()->SetMTTFd(kInf);  // data object of an element node of a block node of the channel
  EXPECT_GT(changes, 0);
  EXPECT_DOUBLE_EQ(ch->GetMTTFdLazy(), 50.0);

  // The element's Nop (used with B10d) reaches the channel too.
  e->GetElement()->SetUseB10d(true);
  e->GetElement()->SetB10d(1e6);
  e->SetNop(2e4);
  EXPECT_DOUBLE_EQ(ch->GetMTTFdLazy(), 1.0 / (1.0 / 500.0 + 1.0 / 50.0));
}

TEST_F(ChannelTest, AssignCopiesBlocksButNotThePairing) {
  auto comp = Subsystem(cat2);
  comp->GetChannelOpList()->Add(ChannelOf({50.0, 70.0}));
  comp->GetChannelOpList()->Add(TestChannel());
  TChannelOp* ch = comp->GetChannelOpList()->Items(0);
  auto copy = ch->CloneAs<TChannelOp>();
  EXPECT_TRUE(copy->Equals(*ch));
  EXPECT_EQ(copy->GetTestChannelOp(), nullptr);
  EXPECT_EQ(copy->GetBlocOpList()->GetCount(), 2);
  EXPECT_EQ(copy->GetBlocOpList()->Items(1)->GetOwner(), copy.get());
  EXPECT_DOUBLE_EQ(copy->GetMTTFdLazy(), ch->GetMTTFdLazy());
}

}  // namespace
}  // namespace kelvado::testing
