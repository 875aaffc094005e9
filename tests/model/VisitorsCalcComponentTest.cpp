// The subsystem and safety-function operations of the calculators: CCF, DCavg, subsystem MTTFd with cap,
// symmetrisation and test channel, subsystem PL and safety-function PL. The PFH grid itself is the general
// database's (tested with the real tables in tests/storage/db); here it records what it is asked.
#include <map>
#include <optional>

#include "platform/Registry.h"
#include "platform/TextCase.h"
#include "tests/model/SubsystemTestEnv.h"

namespace kelvado::testing {
namespace {

class CalcComponentTest : public SubsystemTest {
protected:
  static std::unique_ptr<TComponentOp> TwoChannels(TCat cat, double m1, double m2, double dc = 0.9) {
    auto s = Subsystem(cat);
    s->GetChannelOpList()->Add(Channel({{m1, dc}}));
    s->GetChannelOpList()->Add(Channel({{m2, dc}}));
    return s;
  }
  static int MsgOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const EKelvado& e) {
      return e.MsgNumber();
    }
    return 0;
  }
};

// ---- MTTFd of a subsystem ----

TEST_F(CalcComponentTest, TwoChannelsAreSymmetrised) {
  // 2/3 x (30 + 60 - 1/(1/30 + 1/60)) = 2/3 x (90 - 20) = 46.666666667 years, band high (>= 30).
  auto s = TwoChannels(cat3, 30, 60);
  EXPECT_NEAR(s->GetMTTFdLazy(), 46.666666667, 1e-9);
  EXPECT_EQ(s->GetMTTFdDenotationLazy(), mttfHigh);
  // Worst case instead: the smaller channel, 30 years.
  s->GetComponent()->SetUseWorstCaseMTTFd(true);
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 30.0);
}

TEST_F(CalcComponentTest, WorstCaseTakesTheSmallerChannel) {
  auto s = TwoChannels(cat4, 20, 50);
  s->GetComponent()->SetUseWorstCaseMTTFd(true);
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 20.0);
}

TEST_F(CalcComponentTest, CapBeforeOrAfterSymmetrisationFollowsTheOption) {
  // Category 3, cap 100: 200 and 300 years. Cut before: 100 and 100 give 2/3 x (200 - 50) = 100. Cut after:
  // 2/3 x (500 - 120) = 253.33, capped to 100.
  auto s3 = TwoChannels(cat3, 200, 300);
  EXPECT_DOUBLE_EQ(s3->GetMTTFdLazy(), 100.0);
  SetOpt("MTTFdCutBeforeSymm", false);
  s3->Changed();
  EXPECT_DOUBLE_EQ(s3->GetMTTFdLazy(), 100.0);

  // Category 4 with the raise to 2500 years: 3000 and 1000 years.
  // Cut before: 2500 and 1000: 2/3 x (3500 - 1/(1/2500 + 1/1000)) = 2/3 x (3500 - 714.285714286) = 1857.142857143.
  // Cut after: 2/3 x (4000 - 750) = 2166.666666667, below the cap.
  SetOpt("cutmttfdraise", true);
  SetOpt("usedcinterlevels", true);
  auto s4 = TwoChannels(cat4, 3000, 1000, 0.99);
  EXPECT_NEAR(s4->GetMTTFdLazy(), 2166.666666667, 1e-9);
  SetOpt("MTTFdCutBeforeSymm", true);
  s4->Changed();
  EXPECT_NEAR(s4->GetMTTFdLazy(), 1857.142857143, 1e-9);
  // Without the raise the cap is 100 years: both channels are cut to 100 and so is the result.
  SetOpt("cutmttfdraise", false);
  s4->Changed();
  EXPECT_DOUBLE_EQ(s4->GetMTTFdLazy(), 100.0);
}

TEST_F(CalcComponentTest, AnEvaluationReadsEachOptionOnce) {
  // The settings store behind the options, counting the reads that reach it.
  class CountingRegistry : public FileRegistry {
  public:
    using FileRegistry::FileRegistry;
    std::map<std::string, int> reads;
    std::optional<RegValue> ReadValue(const std::string& key, const std::string& name) override {
      ++reads[LowerAscii(name)];
      return FileRegistry::ReadValue(key, name);
    }
  };
  auto reg = std::make_unique<CountingRegistry>(dir_ + "/reg");
  CountingRegistry& counting = *reg;
  SetCurrentUserRegistry(std::move(reg));
  reg_ = nullptr;
  ResetConfig();
  // Six subsystems of 200 and 300 years (cat 3, cap 100): each computation reads the cut and the cap's options.
  auto sf = SafetyFunction();
  for (int i = 0; i < 6; ++i) sf->GetComponentOpList()->Add(TwoChannels(cat3, 200, 300));
  sf->GetPLLazy();
  EXPECT_EQ(counting.reads["mttfdcutbeforesymm"], 1);
  EXPECT_EQ(counting.reads["cutmttfdraise"], 1);
  EXPECT_DOUBLE_EQ(sf->GetComponentOpList()->Items(5)->GetMTTFdLazy(), 100.0);
  // The next evaluation reads them again: a changed option counts from then on.
  RegWriteBool("opt", "cutmttfdraise", true);
  RegWriteBool("opt", "usedcinterlevels", true);
  ResetConfig();
  sf->Changed();
  sf->GetPLLazy();
  EXPECT_EQ(counting.reads["mttfdcutbeforesymm"], 2);
  EXPECT_DOUBLE_EQ(sf->GetComponentOpList()->Items(5)->GetMTTFdLazy(), 100.0);  // cat 3 keeps 100 years
}

TEST_F(CalcComponentTest, TestChannelLimitsTheSingleChannelOfCategory2) {
  // One channel of 40 years, test channel of 15 years: with the option on, min(40, 2 x 15) = 30 years.
  auto s = Subsystem(cat2);
  s->GetChannelOpList()->Add(Channel({{40, 0.9}}));
  s->GetChannelOpList()->Add(TestChannel(15));
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 30.0);
  SetOpt("MTTFdCFitBeforeSymm", false);
  s->Changed();
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 40.0);
  // A deleted test channel counts as absent.
  SetOpt("MTTFdCFitBeforeSymm", true);
  s->GetChannelOpList()->GetItems(1)->SetDeleted(true);
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 40.0);
}

TEST_F(CalcComponentTest, DirectMTTFdIsCappedWhenComputedNotWhenStored) {
  auto s = Subsystem(cat4);
  TComponent& c = *s->GetComponent();
  c.SetMTTFdDet(detDirect);
  c.SetMTTFd(2000);
  EXPECT_DOUBLE_EQ(c.GetMTTFdOrgValue(), 2000.0);
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 100.0);
  // Switching the category-4 raise on later works on the entered 2000 years, not on a cut 100.
  SetOpt("cutmttfdraise", true);
  SetOpt("usedcinterlevels", true);
  s->Changed();
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 2000.0);
}

TEST_F(CalcComponentTest, ArithmeticNoiseNeverCrossesABandBound) {
  // A one-channel subsystem of `n` blocks of `years` each, in series.
  const auto series = [](int n, double years) {
    auto s = Subsystem(cat1);
    auto ch = std::make_unique<TChannelOp>();
    ch->SetChannel(std::make_unique<TChannel>());
    for (int i = 0; i < n; ++i) ch->GetBlocOpList()->Add(Bloc({{years, 0.0}}));
    s->GetChannelOpList()->Add(std::move(ch));
    return s;
  };
  // Seven blocks of 210 years: 1/(7/210) computes to 29.999999999999993. The subsystem hands that value out
  // (and caches it) as computed; against the tables it is the standard's 30 years: band high, and 30 is what
  // the PFH grid is asked for.
  auto s = series(7, 210);
  EXPECT_EQ(s->GetMTTFdLazy(), 29.999999999999993);
  EXPECT_EQ(s->GetMTTFdDenotationLazy(), mttfHigh);
  s->GetPLLazy();
  EXPECT_EQ(db_->lastMTTFd, 30.0);
  EXPECT_EQ(s->GetMTTFdLazy(), 29.999999999999993);  // the cache holds the computed value

  // Six blocks of 18 years: 2.9999999999999996, which is the standard's 3 years: band low, and not "below
  // 3 years" (status 273).
  auto low = series(6, 18);
  EXPECT_EQ(low->GetMTTFdLazy(), 2.9999999999999996);
  EXPECT_EQ(low->GetMTTFdDenotationLazy(), mttfLow);
  for (const std::string& line : Messages(*low)) EXPECT_EQ(line.find("[3273]"), std::string::npos) << line;
}

TEST_F(CalcComponentTest, ChannelCountOtherThanOneOrTwoIsRefused) {
  db_->channelCount[cat3] = 3;
  auto s = TwoChannels(cat3, 30, 60);
  s->GetChannelOpList()->Add(Channel({{30, 0.9}}));
  EXPECT_EQ(MsgOf([&] { s->GetMTTFdLazy(); }), 1011);
}

// ---- DCavg ----

TEST_F(CalcComponentTest, DCavgWeighsTheFirstChannelsByTheirMTTFd) {
  // Channel 1: blocks (50 y, DC 0.9) and (25 y, DC 0.6): MTTFd 1/(1/50 + 1/25) = 16.667 y, DC
  // (0.9/50 + 0.6/25)/(1/50 + 1/25) = 0.042/0.06 = 0.7. Channel 2: (100 y, 0.99).
  // DCavg = (0.7/16.667 + 0.99/100) / (1/16.667 + 1/100) = (0.042 + 0.0099)/(0.06 + 0.01) = 0.741428571.
  auto s = Subsystem(cat3);
  TChannelOpList& list = *s->GetChannelOpList();
  auto deleted = Channel({{10, 0.0}});
  list.Add(std::move(deleted));
  list.Add(TestChannel(10));
  list.Add(Channel({{50, 0.9}, {25, 0.6}}));
  list.Add(Channel({{100, 0.99}}));
  list.Add(Channel({{10, 0.0}}));  // a third channel: category 3 uses two
  list.GetItems(0)->SetDeleted(true);
  EXPECT_NEAR(s->GetDCavgLazy(), 0.741428571, 1e-9);
  EXPECT_EQ(s->GetDCavgDenotationLazy(), dcLow);
}

TEST_F(CalcComponentTest, FewerChannelsThanTheCategoryNeedsIsAnError) {
  // Category 3 needs two channels; one channel and a test channel are not two.
  auto s = Subsystem(cat3);
  s->GetChannelOpList()->Add(Channel({{30, 0.9}}));
  s->GetChannelOpList()->Add(TestChannel(30));
  EXPECT_EQ(MsgOf([&] { s->GetDCavgLazy(); }), 1011);
  EXPECT_EQ(MsgOf([&] { s->GetMTTFdLazy(); }), 1011);
  EXPECT_EQ(MsgOf([&] { s->GetPLLazy(); }), 1011);
  // The error leaves the caches empty: once the channel is there, the values come.
  s->GetChannelOpList()->Add(Channel({{60, 0.9}}));
  EXPECT_NEAR(s->GetMTTFdLazy(), 46.666666667, 1e-9);
  EXPECT_DOUBLE_EQ(s->GetDCavgLazy(), 0.9);
}

TEST_F(CalcComponentTest, DCavgOfOneElementOf99PercentIsInTheHighBand) {
  // A block of one element with DC 0.99 and MTTFd 25 years: (0.99/25)/(1/25) is one unit in the last place
  // below 0.99, and so are the channels and the DCavg. The value is handed out as computed; against the
  // table it is the standard's 99 %, high coverage.
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel({{25, 0.99}}));
  s->GetChannelOpList()->Add(Channel({{25, 0.99}}));
  EXPECT_EQ(s->GetDCavgLazy(), std::nextafter(0.99, 0.0));
  EXPECT_EQ(s->GetDCavgDenotationLazy(), dcHigh);
  EXPECT_EQ(s->GetChannelOpList()->Items(0)->GetDCLazy(), std::nextafter(0.99, 0.0));
  s->GetPLLazy();
  EXPECT_EQ(db_->lastDCavg, 0.99);  // the grid is asked with the table's value
}

TEST_F(CalcComponentTest, DCavgDeterminationIsChecked) {
  auto s = TwoChannels(cat3, 30, 60);
  s->GetComponent()->SetDCavgDet(detDirect);
  s->GetComponent()->SetDCavg(0.95);
  EXPECT_DOUBLE_EQ(s->GetDCavgLazy(), 0.95);
  TDCDenotation band;
  EXPECT_EQ(MsgOf([&] { s->GetDC(CalcPool().GetDCCalc(), band, detMeasures); }), 1010);
}

// ---- CCF ----

TEST_F(CalcComponentTest, CCFScoreFromTheMeasuresThatCount) {
  auto s = TwoChannels(cat3, 30, 60);
  TCCFMeasureOpList& ops = *s->GetComponent()->GetCCFMeasureOps();
  auto add = [&](double score, bool satisfied) {
    auto m = std::make_unique<TCCFMeasure>();
    m->SetScore(score);
    auto op = std::make_unique<TCCFMeasureOp>();
    op->SetCCFMeasure(std::move(m));
    op->SetIsSatisfied(satisfied);
    ops.Add(std::move(op));
  };
  add(15, true);
  add(20, true);
  add(25, true);
  add(5, false);   // not satisfied: not counted
  add(10, true);   // deleted below: not counted
  ops.GetItems(4)->SetDeleted(true);
  // 15 + 20 + 25 = 60 < 65 required.
  EXPECT_FALSE(s->IsCCFSatisfiedLazy());
  EXPECT_DOUBLE_EQ(s->GetCCFScoreLazy(), 60.0);
  add(5, true);  // 65 >= 65
  EXPECT_TRUE(s->IsCCFSatisfiedLazy());
  EXPECT_DOUBLE_EQ(s->GetCCFScoreLazy(), 65.0);
}

TEST_F(CalcComponentTest, CCFDirectAndUnreadableRequirement) {
  auto s = TwoChannels(cat3, 30, 60);
  TComponent& c = *s->GetComponent();
  c.SetCCFScoreDet(detDirect);
  c.SetCCFScore(64.5);
  EXPECT_FALSE(s->IsCCFSatisfiedLazy());
  c.SetCCFScore(100);
  EXPECT_TRUE(s->IsCCFSatisfiedLazy());
  // A required score that could not be read is never met.
  db_->reqCCFScore = -1.0;
  s->Changed();
  EXPECT_FALSE(s->IsCCFSatisfiedLazy());
}

// ---- PL of a subsystem ----

TEST_F(CalcComponentTest, PLFromTheChannelsAsksTheGridWithCategoryMTTFdAndDCavg) {
  auto s = TwoChannels(cat3, 30, 60, 0.9);
  db_->pfh = 5e-7;
  EXPECT_EQ(s->GetPLLazy(), plD);
  EXPECT_DOUBLE_EQ(s->GetPFHLazy(), 5e-7);
  EXPECT_EQ(db_->lastCat, cat3);
  EXPECT_NEAR(db_->lastMTTFd, 46.666666667, 1e-12);
  EXPECT_DOUBLE_EQ(db_->lastDCavg, 0.9);
  // Cached: a second read asks nothing.
  const int calls = db_->pfhCalls;
  s->GetPLLazy();
  EXPECT_EQ(db_->pfhCalls, calls);
  // No value from the grid: PFH -1, PL "-".
  db_->pfh = -1.0;
  s->Changed();
  EXPECT_EQ(s->GetPLLazy(), plN);
  EXPECT_EQ(s->GetPLString(), "-");
}

TEST_F(CalcComponentTest, DirectPLBoundOrNotToThePFH) {
  auto s = DirectSubsystem(2e-8);
  EXPECT_EQ(s->GetPLLazy(), plE);
  s->GetComponent()->SetPFH(0.0);  // below every band: better than e asks
  EXPECT_EQ(s->GetPLLazy(), plE);
  s->GetComponent()->SetPFH(2e-4);  // no band
  EXPECT_EQ(s->GetPLLazy(), plN);
  s->GetComponent()->SetIsPLPFHBind(false);
  s->GetComponent()->SetPLDirectNoBind(plC);
  EXPECT_EQ(s->GetPLLazy(), plC);
}

TEST_F(CalcComponentTest, ChangeBelowEmptiesTheCachesUpToTheSafetyFunction) {
  auto sf = SafetyFunction();
  sf->GetComponentOpList()->Add(TwoChannels(cat3, 30, 60));
  TComponentOp& s = *sf->GetComponentOpList()->Items(0);
  db_->pfhOf = [](TCat, double m, double) { return m > 41 ? 5e-8 : 5e-7; };
  EXPECT_EQ(sf->GetPLLazy(), plE);
  // 30 -> 10 years in channel 1: 2/3 x (70 - 1/(1/10 + 1/60)) = 2/3 x (70 - 8.571428571) = 40.952380952.
  TChannelOp& ch = *s.GetChannelOpList()->Items(0);
  ch.GetBlocOpList()->Items(0)->GetElementOpList()->Items(0)->GetElement()->SetMTTFd(10);
  EXPECT_EQ(sf->GetPLLazy(), plD);
  EXPECT_NEAR(s.GetMTTFdLazy(), 40.952380952, 1e-9);
  EXPECT_NEAR(db_->lastMTTFd, 40.952380952, 1e-9);
}

// ---- PL of a safety function ----

TEST_F(CalcComponentTest, SafetyFunctionReachesTheLowerOfWeakestUnboundAndSum) {
  // Unbound d (PFH 2e-7) and unbound e (3e-8): the sum 2.3e-7 is d, not below d: d.
  auto sf = SafetyFunction();
  sf->GetComponentOpList()->Add(DirectSubsystem(2e-7, plD));
  sf->GetComponentOpList()->Add(DirectSubsystem(3e-8, plE));
  EXPECT_EQ(sf->GetPLLazy(), plD);
  EXPECT_DOUBLE_EQ(sf->GetPFHLazy(), 2.3e-7);
  // PFHs 8e-7 and 5e-7: the sum 1.3e-6 is c, below the weakest d: c.
  sf->GetComponentOpList()->Items(0)->GetComponent()->SetPFH(8e-7);
  sf->GetComponentOpList()->Items(1)->GetComponent()->SetPFH(5e-7);
  EXPECT_EQ(sf->GetPLLazy(), plC);
  EXPECT_DOUBLE_EQ(sf->GetPFHLazy(), 1.3e-6);
}

TEST_F(CalcComponentTest, BoundSubsystemCountsOnlyThroughItsPFH) {
  // Unbound b with PFH 1e-8 and bound PFH 2e-8 (e): the sum 3e-8 is e, the unbound b limits: b.
  auto sf = SafetyFunction();
  sf->GetComponentOpList()->Add(DirectSubsystem(1e-8, plB));
  sf->GetComponentOpList()->Add(DirectSubsystem(2e-8));
  EXPECT_EQ(sf->GetPLLazy(), plB);
  // Both bound: the sum alone decides.
  sf->GetComponentOpList()->Items(0)->GetComponent()->SetIsPLPFHBind(true);
  EXPECT_EQ(sf->GetPLLazy(), plE);
}

TEST_F(CalcComponentTest, SafetyFunctionWithoutSubsystemsReachesNoPL) {
  // Nothing shown is no PL e: PL "-" and no PFH.
  auto sf = SafetyFunction();
  EXPECT_EQ(sf->GetPLLazy(), plN);
  EXPECT_EQ(sf->GetPFHLazy(), -1.0);
  // A deleted subsystem (not yet saved) does not count, not even after it gave a PL.
  sf->GetComponentOpList()->Add(DirectSubsystem(5e-5, plA));
  EXPECT_EQ(sf->GetPLLazy(), plA);
  sf->GetComponentOpList()->GetItems(0)->SetDeleted(true);
  EXPECT_EQ(sf->GetPLLazy(), plN);
  EXPECT_EQ(sf->GetPLString(), "-");
  EXPECT_EQ(sf->GetPFHString(), "-");
  // A subsystem of PFH 0 entered is a subsystem: its sum of 0 gives e.
  sf->GetComponentOpList()->Add(DirectSubsystem(0.0));
  EXPECT_EQ(sf->GetPLLazy(), plE);
}

TEST_F(CalcComponentTest, SubsystemWithoutPFHLeavesTheSafetyFunctionWithoutPL) {
  // One subsystem whose grid has no value (PFH -1) beside one of 2e-8: never a PL from a sum of 2e-8 - 1.
  auto sf = SafetyFunction();
  sf->GetComponentOpList()->Add(DirectSubsystem(2e-8));
  sf->GetComponentOpList()->Add(TwoChannels(cat3, 30, 60));
  db_->pfh = -1.0;
  EXPECT_EQ(sf->GetPLLazy(), plN);
  EXPECT_DOUBLE_EQ(sf->GetPFHLazy(), -1.0);
  EXPECT_EQ(sf->GetPFHString(), "-");
  EXPECT_EQ(sf->GetPLString(), "-");
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plA);
  EXPECT_EQ(sf->CheckStatus(nullptr, false), isRed);
}

TEST_F(CalcComponentTest, NoPLIsNeverABetterPL) {
  // Unbound a (5e-5) and bound 6e-5: the sum 1.1e-4 lies in no band. "-" ranks above e by ordinal but is
  // no PL, so the safety function does not reach a.
  auto sf = SafetyFunction();
  sf->GetComponentOpList()->Add(DirectSubsystem(5e-5, plA));
  sf->GetComponentOpList()->Add(DirectSubsystem(6e-5));
  EXPECT_EQ(sf->GetPLLazy(), plN);
  // An unbound subsystem entered as "-" gives the safety function no PL either.
  auto sf2 = SafetyFunction();
  sf2->GetComponentOpList()->Add(DirectSubsystem(1e-8, plN));
  EXPECT_EQ(sf2->GetPLLazy(), plN);
}

}  // namespace
}  // namespace kelvado::testing
