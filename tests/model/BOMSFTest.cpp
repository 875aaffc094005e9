// The safety function: PLr direct or from the risk graph, the PL reached, texts and status check.
#include "tests/model/SubsystemTestEnv.h"

namespace kelvado::testing {
namespace {

using SFTest = SubsystemTest;

TEST_F(SFTest, NewSafetyFunctionTakesPLrFromTheRiskGraph) {
  TSF sf;
  EXPECT_EQ(sf.GetPLrDet(), detMeasures);
  EXPECT_EQ(sf.GetPLrDirect(), plE);
  EXPECT_EQ(sf.GetPLr(), plA);  // S1 F1 P1
  sf.SetRiskParamS(1);
  sf.SetRiskParamF(1);
  EXPECT_EQ(sf.GetPLr(), plD);  // S2 F2 P1
  sf.SetPLrDet(detDirect);
  sf.SetPLrDirect(plB);
  EXPECT_EQ(sf.GetPLr(), plB);
  sf.SetPLrDet(detSubItems);
  EXPECT_EQ(sf.GetPLr(), plForward);
  EXPECT_THROW(sf.SetPLrDet(detUnknown), EInvalidValue);
  TSFOp op;
  op.SetSF(std::make_unique<TSF>());
  op.GetSF()->SetPLrDet(detSubItems);
  EXPECT_EQ(op.GetPLrString(), "-");
}

TEST_F(SFTest, PLrCacheFollowsTheData) {
  auto sf = SafetyFunction();
  EXPECT_EQ(sf->GetPLrLazy(), plA);
  sf->GetSF()->SetRiskParamS(1);
  EXPECT_EQ(sf->GetPLrLazy(), plC);
  sf->SetPLrDirectString("d");
  sf->GetSF()->SetPLrDet(detDirect);
  EXPECT_EQ(sf->GetPLrString(), "d");
}

TEST_F(SFTest, AssignAndEquals) {
  auto sf = SafetyFunction("Stop");
  sf->GetSF()->SetReaction("brake");
  sf->GetComponentOpList()->Add(DirectSubsystem(2e-8));
  sf->GetComponentOpList()->Add(DirectSubsystem(3e-8));
  sf->GetComponentOpList()->GetItems(1)->SetDeleted(true);
  auto copy = sf->CloneAs<TSFOp>();
  EXPECT_EQ(copy->GetComponentOpList()->GetCount(), 1);
  EXPECT_EQ(copy->GetSF()->GetReaction(), "brake");
  EXPECT_EQ(copy->GetSF()->GetOwner(), copy.get());
  EXPECT_FALSE(copy->Equals(*sf));
  sf->GetComponentOpList()->Delete(1);
  EXPECT_TRUE(copy->Equals(*sf));
  copy->GetSF()->SetTriggerEvent("door opens");
  EXPECT_FALSE(copy->Equals(*sf));
}

TEST_F(SFTest, CategoryTextIsTheLowestCategory) {
  auto sf = SafetyFunction();
  EXPECT_EQ(sf->GetCatString(), "-");
  sf->GetComponentOpList()->Add(Subsystem(cat3));
  sf->GetComponentOpList()->Add(Subsystem(cat1));
  EXPECT_EQ(sf->GetCatString(), "1");
}

TEST_F(SFTest, StatusWithoutSubsystems) {
  // No subsystem: no PL, and yellow 3286 saying the PLr cannot be shown (and the placeholder name, yellow 3276).
  TSFOp sf;
  sf.SetSF(std::make_unique<TSF>());
  sf.GetSF()->SetPLrDet(detDirect);
  EXPECT_EQ(Messages(sf), (std::vector<std::string>{"isYellow=[3276]", "isYellow=[3286]"}));
  // The only subsystem deleted, not yet saved: the same, never the e of an empty sum.
  sf.GetComponentOpList()->Add(DirectSubsystem(2e-8));
  EXPECT_EQ(Messages(sf), (std::vector<std::string>{"isYellow=[3276]"}));
  sf.GetComponentOpList()->Items(0)->SetDeleted(true);
  EXPECT_EQ(Messages(sf), (std::vector<std::string>{"isYellow=[3276]", "isYellow=[3286]"}));
  EXPECT_EQ(sf.GetPLString(), "-");
  // Only subsystems that never fail dangerously or have a PFH of 0 entered: still no effective one.
  sf.GetComponentOpList()->Add(DirectSubsystem(0.0));
  EXPECT_TRUE(Has(Messages(sf), "isYellow=[3286]"));
}

TEST_F(SFTest, StatusTellsWhetherASubsystemLimitsThePL) {
  auto sf = SafetyFunction();
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plD);
  // An unbound c with PFH 2e-7: the sum alone would give d, so the subsystem's own PL limits: 3381.
  sf->GetComponentOpList()->Add(DirectSubsystem(2e-7, plC));
  EXPECT_EQ(sf->GetPLLazy(), plC);
  EXPECT_EQ(Messages(*sf), (std::vector<std::string>{"isRed=[3381]"}));
  // PFH 2e-6: the sum gives c itself: 3277.
  sf->GetComponentOpList()->Items(0)->GetComponent()->SetPFH(2e-6);
  EXPECT_EQ(Messages(*sf), (std::vector<std::string>{"isRed=[3277]"}));
  // Meeting the PLr: green.
  sf->GetSF()->SetPLrDirect(plC);
  EXPECT_TRUE(Messages(*sf).empty());
  EXPECT_EQ(sf->CheckStatus(nullptr, false), isGreen);
}

// The function reaches no better PL than its weakest unbound subsystem, whatever the PFH sum allows.
TEST_F(SFTest, TheWeakestUnboundSubsystemLimitsThePL) {
  for (bool weakFirst : {true, false}) {
    auto sf = SafetyFunction();
    sf->GetComponentOpList()->Add(DirectSubsystem(1e-8, weakFirst ? plB : plE));
    sf->GetComponentOpList()->Add(DirectSubsystem(1e-8, weakFirst ? plE : plB));
    EXPECT_EQ(sf->GetPLLazy(), plB) << weakFirst;
  }
}

// A PFH of 0 (entered, or from an infinite MTTFd) is the best PFH, not "no PFH": beside 5e-8 the function has
// PFH 5e-8 and PL e.
TEST_F(SFTest, APFHOfZeroCountsAsZero) {
  auto sf = SafetyFunction();
  sf->GetComponentOpList()->Add(DirectSubsystem(0.0));
  sf->GetComponentOpList()->Add(DirectSubsystem(5e-8));
  EXPECT_EQ(sf->GetPLLazy(), plE);
  EXPECT_DOUBLE_EQ(sf->GetPFHLazy(), 5e-8);
}

TEST_F(SFTest, StatusOfThePFHLimit) {
  // Two subsystems of 5e-5: the sum 1e-4 is the largest admissible PFH, excluded: 3279; no PL: 3277.
  auto sf = SafetyFunction();
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plA);
  sf->GetComponentOpList()->Add(DirectSubsystem(5e-5));
  sf->GetComponentOpList()->Add(DirectSubsystem(5e-5));
  EXPECT_EQ(sf->GetPLLazy(), plN);
  EXPECT_EQ(Messages(*sf), (std::vector<std::string>{"isRed=[3277]", "isRed=[3279]"}));
}

TEST_F(SFTest, RecursiveStatusTakesTheWorstSubsystem) {
  auto sf = SafetyFunction();
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plA);
  sf->GetComponentOpList()->Add(DirectSubsystem(2e-8));
  TComponent& c = *sf->GetComponentOpList()->Items(0)->GetComponent();
  c.SetCatConditionsRelevant(false);
  EXPECT_EQ(sf->CheckStatus(nullptr, true), isGreen);
  c.SetMissionTime(5);
  EXPECT_EQ(sf->CheckStatus(nullptr, false), isGreen);
  EXPECT_EQ(sf->CheckStatus(nullptr, true), isYellow);
}

}  // namespace
}  // namespace kelvado::testing
