// The subsystem: its data object (defaults, setters, copy), the node's texts and its status check.
#include "tests/model/SubsystemTestEnv.h"

namespace kelvado::testing {
namespace {

using ComponentTest = SubsystemTest;

int MsgOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const EKelvado& e) {
    return e.MsgNumber();
  }
  return 0;
}

TEST_F(ComponentTest, NewSubsystemDefaults) {
  TComponent c;
  EXPECT_EQ(c.GetCat(), cat4);
  EXPECT_DOUBLE_EQ(c.GetMTTFd(), 10.0);
  EXPECT_DOUBLE_EQ(c.GetMissionTime(), 20.0);
  EXPECT_DOUBLE_EQ(c.GetPFH(), 3.8e-05);
  EXPECT_EQ(c.GetDCavgDet(), detSubItems);
  EXPECT_EQ(c.GetMTTFdDet(), detSubItems);
  EXPECT_EQ(c.GetPLDet(), detSubItems);
  EXPECT_EQ(c.GetCCFScoreDet(), detMeasures);
  EXPECT_TRUE(c.GetIsPLPFHBind());
  EXPECT_TRUE(c.GetCatConditionsRelevant());
  EXPECT_EQ(c.GetNormVersion(), CurrentNormVersion);
  EXPECT_EQ(c.GetKVDVersion(), CurrentKVDVersion);
}

TEST_F(ComponentTest, SettersRefuseValuesOutsideTheirLimits) {
  TComponent c;
  int changes = 0;
  c.SetOnChange([&](TtiObject*) { ++changes; });
  EXPECT_EQ(MsgOf([&] { c.SetMTTFd(2.9); }), 1007);
  EXPECT_EQ(MsgOf([&] { c.SetCCFScore(100.5); }), 1005);
  EXPECT_EQ(MsgOf([&] { c.SetCCFScore(-1); }), 1005);
  EXPECT_EQ(MsgOf([&] { c.SetDCavg(-0.1); }), 1004);
  EXPECT_EQ(MsgOf([&] { c.SetMissionTime(-1); }), 1040);
  EXPECT_EQ(MsgOf([&] { c.SetPFH(-1e-9); }), 1017);
  EXPECT_EQ(MsgOf([&] { c.SetPFH(std::nan("")); }), 1017);
  EXPECT_EQ(MsgOf([&] { c.SetCCFScoreDet(detSubItems); }), 1001);
  EXPECT_EQ(MsgOf([&] { c.SetPLDet(detMeasures); }), 1001);
  EXPECT_EQ(MsgOf([&] { c.SetMTTFdDet(detMeasures); }), 1001);
  EXPECT_EQ(MsgOf([&] { c.SetDCavgDet(detUnknown); }), 1001);
  EXPECT_EQ(MsgOf([&] { c.SetDCavgDet(detMeasures); }), 1001);
  EXPECT_EQ(changes, 0);
  EXPECT_DOUBLE_EQ(c.GetMTTFdOrgValue(), 10.0);
  c.SetCCFScore(100);
  c.SetPFH(kInf);
  EXPECT_EQ(changes, 2);
}

TEST_F(ComponentTest, EnteredMTTFdIsKeptAndCappedOnReading) {
  TComponent c;
  c.SetCat(cat3);
  c.SetMTTFd(5000);
  EXPECT_DOUBLE_EQ(c.GetMTTFdOrgValue(), 5000.0);
  EXPECT_DOUBLE_EQ(c.GetMTTFd(), 100.0);
  c.SetMTTFd(kInf);
  EXPECT_EQ(c.GetMTTFd(), kInf);
  TComponentOp op;
  op.SetComponent(std::make_unique<TComponent>());
  op.SetMTTFdDirectString("INF");
  EXPECT_EQ(op.GetComponent()->GetMTTFdOrgValue(), kInf);
  op.SetMTTFdDirectString("42.5");
  EXPECT_DOUBLE_EQ(op.GetComponent()->GetMTTFdOrgValue(), 42.5);
  EXPECT_THROW(op.SetMTTFdDirectString("4,5"), EConvertError);
}

TEST_F(ComponentTest, ProtectedSubsystemRefusesChanges) {
  TComponent c;
  c.SetIsProtected(true);
  EXPECT_THROW(c.SetName("x"), EProtectionViolation);
  EXPECT_THROW(c.SetMTTFd(50), EProtectionViolation);
  c.SetName("");  // the same value: no check
  c.SetPLDirectNoBind(plD);  // not protected by design
  EXPECT_EQ(c.GetPLDirectNoBind(), plD);
}

TEST_F(ComponentTest, AssignCopiesEverythingAndEndsWithTheChangeEvent) {
  TComponent src;
  src.SetCat(cat2);
  src.SetName("Sensor");
  src.SetMTTFd(3000);  // stored as entered, read capped
  src.SetCCFScore(70);
  src.SetUseWorstCaseMTTFd(true);
  for (int i = 0; i < 2; ++i) {
    auto m = std::make_unique<TCCFMeasure>();
    m->SetScore(10 + i);
    auto op = std::make_unique<TCCFMeasureOp>();
    op->SetCCFMeasure(std::move(m));
    src.GetCCFMeasureOps()->Add(std::move(op));
  }
  src.GetCCFMeasureOps()->GetItems(0)->SetDeleted(true);
  TComponent dst;
  int changes = 0;
  dst.SetOnChange([&](TtiObject*) { ++changes; });
  dst.Assign(src);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(dst.GetCat(), cat2);
  EXPECT_EQ(dst.GetName(), "Sensor");
  EXPECT_DOUBLE_EQ(dst.GetMTTFdOrgValue(), 3000.0);
  EXPECT_TRUE(dst.GetUseWorstCaseMTTFd());
  ASSERT_EQ(dst.GetCCFMeasureOps()->GetCount(), 1);  // the deleted entry is not copied
  EXPECT_DOUBLE_EQ(dst.GetCCFMeasureOps()->Items(0)->GetCCFMeasure()->GetScore(), 11.0);
  EXPECT_FALSE(dst.Equals(src));  // list counts differ
  src.GetCCFMeasureOps()->Delete(0);
  EXPECT_TRUE(dst.Equals(src));
  dst.SetMTTFd(2500);
  EXPECT_FALSE(dst.Equals(src));
}

TEST_F(ComponentTest, NodeCloneKeepsChannelsAndPairing) {
  auto s = Subsystem(cat2, "Logic");
  s->GetChannelOpList()->Add(Channel({{40, 0.9}}));
  s->GetChannelOpList()->Add(TestChannel(15));
  auto copy = s->CloneAs<TComponentOp>();
  ASSERT_EQ(copy->GetChannelOpList()->GetCount(), 2);
  EXPECT_EQ(copy->GetComponent()->GetName(), "Logic");
  EXPECT_EQ(copy->GetComponent()->GetOwner(), copy.get());
  EXPECT_EQ(copy->GetChannelOpList()->Items(0)->PairedTestChannelOp(), copy->GetChannelOpList()->Items(1));
  EXPECT_DOUBLE_EQ(copy->GetMTTFdLazy(), 30.0);  // min(40, 2 x 15)
  EXPECT_TRUE(copy->Equals(*s));
  // A node without its subsystem data differs from one with it, whichever way round they are compared.
  TComponentOp bare;
  EXPECT_FALSE(bare.Equals(*s));
  EXPECT_FALSE(s->Equals(bare));
}

TEST_F(ComponentTest, CategoryConditionsByTextOrIdentifier) {
  TComponent c;
  c.SetCat(catB);
  EXPECT_FALSE(c.AreCatConditionsSatisfied());
  auto tick = [&](const std::string& id, const std::string& text, bool satisfied) {
    auto cond = std::make_unique<TCatCondition>();
    cond->SetCCID(id);
    cond->SetText(text);
    auto op = std::make_unique<TCatConditionOp>();
    op->SetCatCondition(std::move(cond));
    op->SetIsSatisfied(satisfied);
    c.GetCatConditionOps()->Add(std::move(op));
  };
  tick("{B1}", "reworded", true);                            // found by identifier
  tick("{other}", "Apply basic safety principles.", false);  // found by text, not satisfied
  EXPECT_FALSE(c.AreCatConditionsSatisfied());
  c.GetCatConditionOps()->Items(1)->SetIsSatisfied(true);
  EXPECT_TRUE(c.AreCatConditionsSatisfied());
  c.GetCatConditionOps()->GetItems(0)->SetDeleted(true);
  EXPECT_FALSE(c.AreCatConditionsSatisfied());
  c.SetCatConditionsRelevant(false);
  EXPECT_TRUE(c.AreCatConditionsSatisfied());
}

// A condition or CCF measure the subsystem holds but that is not ticked meets nothing: in every text as in the
// status and the score.
TEST_F(ComponentTest, AnUntickedConditionOrMeasureCountsNowhere) {
  auto s = Subsystem(catB);
  s->GetChannelOpList()->Add(Channel({{20, 0.0}}));
  TComponent& c = *s->GetComponent();
  auto condition = [](const std::string& text, bool ticked) {
    auto cond = std::make_unique<TCatCondition>();
    cond->SetText(text);
    auto op = std::make_unique<TCatConditionOp>();
    op->SetCatCondition(std::move(cond));
    op->SetIsSatisfied(ticked);
    return op;
  };
  c.GetCatConditionOps()->Add(condition("Withstand the expected influences.", true));
  c.GetCatConditionOps()->Add(condition("Apply basic safety principles.", false));
  const std::string requirements = s->GetCatRequirementsText();
  EXPECT_NE(requirements.find("Withstand the expected influences. [T101]"), std::string::npos) << requirements;
  EXPECT_NE(requirements.find("Apply basic safety principles. [T102]"), std::string::npos) << requirements;
  EXPECT_TRUE(Has(Messages(*s), "isRed=[3272]"));

  auto plCondition = std::make_unique<TPLCondition>();
  plCondition->SetText("Validated.");
  auto plOp = std::make_unique<TPLConditionOp>();
  plOp->SetPLCondition(std::unique_ptr<TPLCondition>(static_cast<TPLCondition*>(plCondition->Clone().release())));
  plOp->SetIsSatisfied(false);
  db_->plConditions.Add(std::move(plCondition));
  c.GetPLConditionOps()->Add(std::move(plOp));
  EXPECT_EQ(s->GetPLConditionsText(), "Validated. [T102]");
  c.GetPLConditionOps()->Items(0)->SetIsSatisfied(true);
  EXPECT_EQ(s->GetPLConditionsText(), "Validated. [T101]");

  // Category 2 counts CCF: only the ticked measure is listed, as only it adds to the score.
  c.SetCat(cat2);
  for (const bool ticked : {true, false}) {
    auto m = std::make_unique<TCCFMeasure>();
    m->SetHeading(ticked ? "Separation" : "Diversity");
    m->SetScore(ticked ? 15 : 20);
    auto op = std::make_unique<TCCFMeasureOp>();
    op->SetCCFMeasure(std::move(m));
    op->SetIsSatisfied(ticked);
    c.GetCCFMeasureOps()->Add(std::move(op));
  }
  EXPECT_EQ(s->GetCCFScoreMeasuresString(), "15");
  const std::string measures = s->GetCCFMeasuresString();
  EXPECT_NE(measures.find("Separation (15 T324)"), std::string::npos) << measures;
  EXPECT_EQ(measures.find("Diversity"), std::string::npos) << measures;
}

// Conditions that could not be read never count as satisfied (an empty list, read, does).
TEST_F(ComponentTest, CategoryConditionsThatCannotBeReadAreNotSatisfied) {
  TComponent c;
  c.SetCat(cat2);  // requires no condition
  EXPECT_TRUE(c.AreCatConditionsSatisfied());
  db_->catConditionsFail = true;
  EXPECT_FALSE(c.AreCatConditionsSatisfied());
  c.SetCatConditionsRelevant(false);
  EXPECT_TRUE(c.AreCatConditionsSatisfied());
}

TEST_F(ComponentTest, CategoryRequirements) {
  // Category 4 asks for MTTFd high, DCavg high and CCF. Two channels of 50 years with DC 0.99, 65 points.
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel({{50, 0.99}}));
  s->GetChannelOpList()->Add(Channel({{50, 0.99}}));
  TComponent& c = *s->GetComponent();
  c.SetCCFScoreDet(detDirect);
  c.SetCCFScore(65);
  EXPECT_TRUE(s->IsMTTFdSatisfied());
  EXPECT_TRUE(s->IsDCavgSatisfied());
  EXPECT_TRUE(s->IsCCFSatisfied());
  EXPECT_TRUE(s->IsCatRequirementsSatisfied());
  // DCavg 0.95 (medium) is below high and more than 5 points short.
  c.SetDCavgDet(detDirect);
  c.SetDCavg(0.95);
  EXPECT_FALSE(s->IsDCavgSatisfied());
  EXPECT_TRUE(s->IsDCavgSatisfiedWithTolerance());  // 0.95 + 0.05 = 1.0: high
  EXPECT_FALSE(s->IsCatRequirementsSatisfied());
  c.SetDCavg(0.9);
  EXPECT_FALSE(s->IsDCavgSatisfiedWithTolerance());
  // Category 3 accepts low and medium; high, a better band, is accepted too.
  c.SetCat(cat3);
  c.SetDCavg(0.995);
  EXPECT_TRUE(s->IsDCavgSatisfied());
  // An MTTFd below 3 years is in no band and meets nothing, though categories B to 3 allow "low".
  c.SetMTTFdDet(detDirect);
  c.SetDCavg(0.7);
  s->GetChannelOpList()->Items(0)->GetBlocOpList()->Items(0)->GetBloc()->SetMTTFdDet(detDirect);
  c.SetMTTFd(3.0);
  EXPECT_TRUE(s->IsMTTFdSatisfied());
  c.SetMTTFdDet(detSubItems);
  auto* ch = s->GetChannelOpList()->Items(0);
  ch->GetBlocOpList()->Add(Bloc({{5, 0.9}}));
  ch->GetBlocOpList()->Add(Bloc({{5, 0.9}}));  // 3 blocks 50 + 5 + 5: 1/(0.02+0.2+0.2) = 2.38 y
  c.SetUseWorstCaseMTTFd(true);
  EXPECT_LT(s->GetMTTFdLazy(), 3.0);
  EXPECT_FALSE(s->IsMTTFdSatisfied());
  // With the category conditions not relevant the requirements count as satisfied.
  c.SetCatConditionsRelevant(false);
  EXPECT_TRUE(s->IsCatRequirementsSatisfied());
}

TEST_F(ComponentTest, UnreadableDCavgNeverMeetsARequirement) {
  auto s = Subsystem(cat3);
  TComponent& c = *s->GetComponent();
  // Channels that never fail leave no DCavg to weigh: +infinity, beyond every band (dcForward).
  c.SetDCavgDet(detSubItems);
  s->GetChannelOpList()->Add(Channel({{kInf, 0.9}}));
  s->GetChannelOpList()->Add(Channel({{kInf, 0.9}}));
  EXPECT_EQ(MsgOf([&] { c.SetDCavg(1.5); }), 1004);  // nor can one be entered above 100 %
  EXPECT_EQ(s->GetDCavgDenotationLazy(), dcForward);
  EXPECT_FALSE(s->IsDCavgSatisfied());
}

TEST_F(ComponentTest, RelevanceOfTheValues) {
  auto b = Subsystem(catB);
  EXPECT_TRUE(b->IsMTTFdRelevant());
  EXPECT_FALSE(b->IsDCavgRelevant());
  EXPECT_FALSE(b->IsCCFRelevant());
  auto two = Subsystem(cat2);
  two->GetChannelOpList()->Add(Channel({{30, 0.9}}));
  EXPECT_TRUE(two->IsCCFRelevant());
  EXPECT_TRUE(two->IsDCavgRelevant());
  // A subsystem whose channels never fail dangerously has neither DCavg nor CCF to show.
  auto inf = Subsystem(cat3);
  inf->GetChannelOpList()->Add(Channel({}));
  inf->GetChannelOpList()->Add(Channel({}));
  EXPECT_EQ(inf->GetMTTFdLazy(), kInf);
  EXPECT_FALSE(inf->IsDCavgRelevant());
  EXPECT_FALSE(inf->IsCCFRelevant());
  // PL entered directly without category conditions: nothing below counts.
  TComponent& c = *inf->GetComponent();
  c.SetPLDet(detDirect);
  c.SetCatConditionsRelevant(false);
  EXPECT_FALSE(inf->IsMTTFdRelevant());
}

TEST_F(ComponentTest, DisplayTextsFollowTheOptions) {
  auto s = Subsystem(catB, "");
  s->GetChannelOpList()->Add(Channel({{20, 0.0}}));
  db_->pfh = 1.23456e-6;
  EXPECT_EQ(s->GetComponentName(), "<T113>");
  EXPECT_EQ(s->GetCatString(), "B");
  EXPECT_EQ(s->GetDCavgPCString(), "T391");  // not relevant in category B, hidden by default
  EXPECT_EQ(s->GetPFHString(), "1.23E-6");   // PrecisionPFH 3
  EXPECT_EQ(s->GetPLString(), "c");
  SetOpt("printnonrelevant", true);
  SetOpt("hidenonrelevant", false);
  RegWriteInteger("opt", "PrecisionPFH", 2);
  ResetConfig();
  s->Changed();
  EXPECT_EQ(s->GetDCavgPCString(), "0 (None)");
  EXPECT_EQ(s->GetPFHString(), "1.2E-6");
  EXPECT_EQ(s->GetMTTFdString(), "20 (Medium)");
}

TEST_F(ComponentTest, DirectPLTextSetsTheRepresentativePFH) {
  auto s = DirectSubsystem(3.8e-5);
  EXPECT_EQ(s->GetPLDirectString(), "a");
  s->SetPLDirectString("d");
  EXPECT_NEAR(s->GetComponent()->GetPFH(), std::sqrt(1e-7 * 1e-6), 1e-20);
  EXPECT_EQ(s->GetPLDirectString(), "d");
  EXPECT_EQ(s->GetPLLazy(), plD);
  s->GetComponent()->SetIsPLPFHBind(false);
  s->SetPLDirectString("b");
  EXPECT_EQ(s->GetComponent()->GetPLDirectNoBind(), plB);
  EXPECT_NEAR(s->GetComponent()->GetPFH(), std::sqrt(1e-7 * 1e-6), 1e-20);
  // Unbound, "-" is a PL the user may enter (no PL); bound, it has no PFH to stand for.
  s->SetPLDirectString("-");
  EXPECT_EQ(s->GetComponent()->GetPLDirectNoBind(), plN);
  s->GetComponent()->SetIsPLPFHBind(true);
  EXPECT_THROW(s->SetPLDirectString("-"), EInvalidValue);
  EXPECT_EQ(s->GetPLLazy(), plD);
}

// ---- Status check, by message number ----

TEST_F(ComponentTest, StatusNameAndMissionTime) {
  auto s = DirectSubsystem(2e-8);
  s->GetComponent()->SetCatConditionsRelevant(false);
  EXPECT_EQ(s->CheckStatus(nullptr, false), isGreen);
  s->GetComponent()->SetName("my T113 subsystem");
  s->GetComponent()->SetMissionTime(10);
  EXPECT_EQ(Messages(*s), (std::vector<std::string>{"isYellow=[3271]", "isYellow=[3288]"}));
  EXPECT_EQ(s->CheckStatus(nullptr, false), isYellow);
}

TEST_F(ComponentTest, StatusOfUnmetCategoryWithinTolerance) {
  // Category 3, DCavg 0.57: below low (0.6) but within 5 points: green 3293, and the unmet requirements red.
  auto s = Subsystem(cat3);
  s->GetChannelOpList()->Add(Channel({{50, 0.57}}));
  s->GetChannelOpList()->Add(Channel({{50, 0.57}}));
  const auto m = Messages(*s);
  EXPECT_TRUE(Has(m, "isGreen=[3293]"));
  EXPECT_TRUE(Has(m, "isRed=[3272]"));
  EXPECT_EQ(s->CheckStatus(nullptr, false), isRed);
}

TEST_F(ComponentTest, StatusWithoutBlocks) {
  // MTTFd from two empty channels: green 3296 (and +infinity leaves DCavg not relevant).
  auto s = Subsystem(cat3);
  s->GetComponent()->SetCatConditionsRelevant(false);
  s->GetChannelOpList()->Add(Channel({}));
  s->GetChannelOpList()->Add(Channel({}));
  db_->pfh = 0.0;
  EXPECT_EQ(Messages(*s), (std::vector<std::string>{"isGreen=[3296]"}));
  // MTTFd entered, DCavg from the empty channels: no block (3297) and no DCavg (+infinity, red 3274).
  s->GetComponent()->SetMTTFdDet(detDirect);
  s->GetComponent()->SetMTTFd(50);
  EXPECT_EQ(Messages(*s), (std::vector<std::string>{"isGreen=[3297]", "isRed=[3274]"}));
}

TEST_F(ComponentTest, OneChannelWithoutBlocksGivesNoMTTFdAndNoPL) {
  // An empty second channel must not count as a channel that never fails: symmetrised with +infinity the
  // subsystem would reach MTTFd +infinity and PL e on missing data.
  db_->pfhOf = [](TCat, double mttfd, double) { return mttfd < 3.0 ? -1.0 : 5e-7; };  // as the tables answer
  for (bool worstCase : {false, true}) {
    auto s = Subsystem(cat3);
    s->GetComponent()->SetUseWorstCaseMTTFd(worstCase);
    s->GetChannelOpList()->Add(Channel({{50, 0.9}}));
    s->GetChannelOpList()->Add(Channel({}));
    EXPECT_EQ(s->GetMTTFdLazy(), -1.0);
    EXPECT_EQ(s->GetPLLazy(), plN);
    EXPECT_EQ(s->CheckStatus(nullptr, false), isRed);
  }
}

TEST_F(ComponentTest, StatusOfDirectMTTFdAboveTheCap) {
  auto s = Subsystem(cat3);
  s->GetComponent()->SetCatConditionsRelevant(false);
  s->GetComponent()->SetMTTFdDet(detDirect);
  s->GetComponent()->SetDCavgDet(detDirect);
  s->GetComponent()->SetDCavg(0.9);
  s->GetComponent()->SetMTTFd(5000);
  EXPECT_EQ(Messages(*s), (std::vector<std::string>{"isGreen=[3280]"}));
}

TEST_F(ComponentTest, StatusOfComputedValuesThatFail) {
  auto s = Subsystem(catB);
  s->GetComponent()->SetCatConditionsRelevant(false);
  // Two blocks of 5 years: 2.5 years, below the 3 years of the lowest band: red 3273.
  s->GetChannelOpList()->Add(Channel({{5, 0}, {5, 0}}));
  db_->pfh = -1.0;
  const auto m = Messages(*s);
  EXPECT_TRUE(Has(m, "isRed=[3273]"));
  EXPECT_TRUE(Has(m, "isRed=[3278]"));  // no PFH from the grid
  // Recursive: the channel reports its own MTTFd below 3 years.
  EXPECT_TRUE(Has(Messages(*s, true), "isRed=[3266]"));
}

TEST_F(ComponentTest, StatusOfAWeakTestChannel) {
  // Category 2, channel 40 y, test channel 15 y. With the fit off the test channel must exceed half the
  // channel: 2 x 15 = 30 <= 40, so the channel is red (3267) and so are the category requirements (3272).
  SetOpt("MTTFdCFitBeforeSymm", false);
  auto s = Subsystem(cat2);
  s->GetComponent()->SetCCFScoreDet(detDirect);
  s->GetComponent()->SetCCFScore(65);
  s->GetChannelOpList()->Add(Channel({{40, 0.9}}));
  s->GetChannelOpList()->Add(TestChannel(15));
  EXPECT_TRUE(Has(Messages(*s), "isRed=[3272]"));
  EXPECT_TRUE(Has(Messages(*s, true), "isRed=[3267]"));
  // 25 years: 2 x 25 = 50 > 40.
  s->GetChannelOpList()->Items(1)->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0)->GetElement()->SetMTTFd(25);
  EXPECT_FALSE(Has(Messages(*s, true), "isRed=[3267]"));
}

TEST_F(ComponentTest, StatusOfTooFewChannelsIsRed) {
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel({{50, 0.99}}));
  TStatusMessages messages;
  EXPECT_EQ(s->CheckStatus(&messages, true), isRed);
  bool named = false;
  for (const std::string& line : messages.Lines()) named = named || line.find("[1011] 2") != std::string::npos;
  EXPECT_TRUE(named);
  // The texts show "-" rather than failing.
  EXPECT_EQ(s->GetPLString(), "-");
  EXPECT_EQ(s->GetMTTFdString(), "-");
  // The values themselves are not there: reading one by name raises, and so does the text the project
  // checksum is taken from, rather than taking "no value" for the value.
  EXPECT_EQ(MsgOf([&] { s->GetPropValue("DCavgLazy"); }), 1011);
  EXPECT_EQ(MsgOf([&] { s->DebugText(false, true, true); }), 1011);
}

// Category 1 asks no DC: a block or element whose DC from measures would not do, or a block whose DC is
// undetermined, stays green there, while the same channel in category 2 is red.
TEST_F(ComponentTest, InCategory1NoDCMakesABlockRed) {
  const auto weakMeasure = [] {
    auto m = std::make_unique<TDCMeasureOp>();
    auto def = std::make_unique<TDCMeasure>();
    def->SetInsufficient(TPLSet{plD, plE});
    m->SetDCMeasure(std::move(def));
    return m;
  };
  auto sf = SafetyFunction();
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plE);
  sf->GetComponentOpList()->Add(Subsystem(cat1));
  TComponentOp& s = *sf->GetComponentOpList()->Items(0);
  s.GetChannelOpList()->Add(Channel({{50, 0.0}, {40, 0.0}, {30, 0.0}}));
  const TBlocOpList& blocs = *s.GetChannelOpList()->Items(0)->GetBlocOpList();
  // Block 1: its own measure, too weak for e. Block 2: its element's measure, too weak for e.
  blocs.Items(0)->GetBloc()->SetDCDet(detMeasures);
  blocs.Items(0)->GetBloc()->SetDCMeasureOp(weakMeasure());
  TElement& e = *blocs.Items(1)->GetElementOpList()->Items(0)->GetElement();
  e.SetDCDet(detMeasures);
  e.SetDCMeasureOp(weakMeasure());
  // Block 3: MTTFd entered, DC from an element that never fails: no DC.
  blocs.Items(2)->GetBloc()->SetMTTFdDet(detDirect);
  blocs.Items(2)->GetBloc()->SetMTTFd(30);
  blocs.Items(2)->GetElementOpList()->Items(0)->GetElement()->SetMTTFd(kInf);
  ASSERT_EQ(blocs.Items(2)->GetDCLazy(), kInf);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(blocs.Items(i)->CheckStatus(nullptr, true), isGreen);
  }
  EXPECT_EQ(s.GetChannelOpList()->Items(0)->CheckStatus(nullptr, true), isGreen);

  s.GetComponent()->SetCat(cat2);
  EXPECT_TRUE(Has(Messages(*blocs.Items(0)), "isRed=[3291]"));
  EXPECT_TRUE(Has(Messages(*blocs.Items(1)->GetElementOpList()->Items(0)), "isRed=[3291]"));
  EXPECT_TRUE(Has(Messages(*blocs.Items(2)), "isRed=[3263]"));
}

TEST_F(ComponentTest, StatusOfDirectPLNotBackedByItsPFH) {
  // PL d entered with a PFH of 5e-6 (b): red 3380.
  auto s = DirectSubsystem(5e-6, plD);
  s->GetComponent()->SetCatConditionsRelevant(false);
  EXPECT_EQ(Messages(*s), (std::vector<std::string>{"isRed=[3380]"}));
  s->GetComponent()->SetPFH(5e-8);
  EXPECT_TRUE(Messages(*s).empty());
}

TEST_F(ComponentTest, StatusOfAnIneffectiveSubsystemUnderPLrE) {
  auto sf = SafetyFunction();
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plE);
  sf->GetComponentOpList()->Add(DirectSubsystem(0.0));
  TComponentOp& s = *sf->GetComponentOpList()->Items(0);
  s.GetComponent()->SetCatConditionsRelevant(false);
  EXPECT_EQ(Messages(s), (std::vector<std::string>{"isYellow=[3285]"}));
}

}  // namespace
}  // namespace kelvado::testing
