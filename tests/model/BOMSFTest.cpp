// The safety function: PLr direct or from the risk graph, the PL reached, texts and status check.
#include <filesystem>

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

// Expanding the document paths from the project node reaches every node below: each element, block and
// subsystem document (and the subsystem's standard file) becomes the absolute, normalized form of its name
// against the current folder, in every channel including the test channel; absolute and empty names stay.
TEST_F(SFTest, DocumentPathsExpandOnEveryNodeBelowTheProject) {
  namespace fs = std::filesystem;
  const auto cwd = fs::current_path();
  fs::current_path(dir_);
  const std::string here = fs::current_path().string();
  auto project = std::make_unique<TProjectOp>();
  project->SetProject(std::make_unique<TProject>());
  auto sf = SafetyFunction();
  auto sub = Subsystem(cat2);
  sub->GetComponent()->SetDocument("SB/Gerät.pdf");
  sub->GetComponent()->SetCatStandardFile("../Normen/./13849-2.pdf");
  sub->GetChannelOpList()->Add(Channel({{50.0, 0.0}, {60.0, 0.0}}));
  sub->GetChannelOpList()->Add(TestChannel(40.0));
  TComponentOp* subRaw = sub.get();
  sf->GetComponentOpList()->Add(std::move(sub));
  project->GetSFOpList()->Add(std::move(sf));

  std::vector<TBlocOp*> blocs;
  std::vector<TElementOp*> elements;
  const TChannelOpList& channels = *subRaw->GetChannelOpList();
  for (int i = 0; i < channels.GetCount(); ++i)
    for (int j = 0; j < channels.Items(i)->GetBlocOpList()->GetCount(); ++j) {
      TBlocOp* b = channels.Items(i)->GetBlocOpList()->Items(j);
      blocs.push_back(b);
      for (int k = 0; k < b->GetElementOpList()->GetCount(); ++k) elements.push_back(b->GetElementOpList()->Items(k));
    }
  ASSERT_EQ(blocs.size(), 3u);
  blocs[0]->GetBloc()->SetDocument("Blöcke/B1.pdf");
  blocs[1]->GetBloc()->SetDocument("/abs/B2.pdf");
  blocs[2]->GetBloc()->SetDocument("Test/B3.pdf");
  elements[0]->GetElement()->SetDocument("E1.pdf");
  elements[1]->GetElement()->SetDocument("");
  elements[2]->GetElement()->SetDocument("Test/../E3.pdf");

  project->ExpandDocumentPaths();
  fs::current_path(cwd);
  const TComponent& c = *subRaw->GetComponent();
  EXPECT_EQ(c.GetDocument(), here + "/SB/Gerät.pdf");
  EXPECT_EQ(c.GetCatStandardFile(), fs::path(here).parent_path().string() + "/Normen/13849-2.pdf");
  EXPECT_EQ(blocs[0]->GetBloc()->GetDocument(), here + "/Blöcke/B1.pdf");
  EXPECT_EQ(blocs[1]->GetBloc()->GetDocument(), "/abs/B2.pdf");
  EXPECT_EQ(blocs[2]->GetBloc()->GetDocument(), here + "/Test/B3.pdf");
  EXPECT_EQ(elements[0]->GetElement()->GetDocument(), here + "/E1.pdf");
  EXPECT_EQ(elements[1]->GetElement()->GetDocument(), "");
  EXPECT_EQ(elements[2]->GetElement()->GetDocument(), here + "/E3.pdf");
}

}  // namespace
}  // namespace kelvado::testing
