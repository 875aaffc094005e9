// The project: header data, status check and checksum.
#include "tests/model/SubsystemTestEnv.h"

namespace kelvado::testing {
namespace {

using ProjectTest = SubsystemTest;

std::unique_ptr<TProjectOp> NewProject(const std::string& name) {
  auto op = std::make_unique<TProjectOp>();
  auto p = std::make_unique<TProject>();
  p->SetName(name);
  op->SetProject(std::move(p));
  return op;
}

TEST_F(ProjectTest, HeaderData) {
  TProject p;
  EXPECT_FALSE(p.GetAuthor().empty());
  EXPECT_EQ(p.GetLastChangeString(), "-");
  p.SetDocumentation("notes \r\n  ");
  EXPECT_EQ(p.GetDocumentation(), "notes");
  TProjectOp op;
  op.SetProject(std::make_unique<TProject>());
  EXPECT_EQ(op.GetProjectName(), "<T111>");
  op.SetProjectName("Press");
  EXPECT_EQ(op.GetProject()->GetName(), "Press");
}

TEST_F(ProjectTest, StatusOfNameAndStamps) {
  auto op = NewProject("");
  EXPECT_EQ(Messages(*op), (std::vector<std::string>{"isYellow=[3281]"}));
  op->GetProject()->SetName("Press");
  EXPECT_TRUE(Messages(*op).empty());
  op->GetProject()->SetKVDVersion(ver0_4_2b);
  op->GetProject()->SetNormVersion(ver2005pr);
  EXPECT_EQ(Messages(*op), (std::vector<std::string>{"isYellow=[3282]", "isYellow=[3283]"}));
  TStatusMessages m;
  op->CheckStatus(&m, false);
  EXPECT_NE(m.Item(0).Text.find("0.4.2b|1.1.2"), std::string::npos);
  // A newer release of the same line has no name of its own: the text the file holds names it.
  op->GetProject()->SetKVDVersion(verKVDUnknown);
  op->GetProject()->SetKVDVersionOriginalString("1.1.3");
  TStatusMessages newer;
  op->CheckStatus(&newer, false);
  EXPECT_NE(newer.Item(0).Text.find("[3282] 1.1.3|1.1.2"), std::string::npos) << newer.Item(0).Text;
}

TEST_F(ProjectTest, RecursiveStatusReachesTheSafetyFunctions) {
  auto op = NewProject("Press");
  op->GetSFOpList()->Add(SafetyFunction(""));
  EXPECT_EQ(op->CheckStatus(nullptr, false), isGreen);
  EXPECT_EQ(op->CheckStatus(nullptr, true), isYellow);
}

TEST_F(ProjectTest, ChecksumChangesWithAnyValue) {
  auto op = NewProject("Press");
  op->GetSFOpList()->Add(SafetyFunction("Stop"));
  op->GetSFOpList()->Items(0)->GetComponentOpList()->Add(DirectSubsystem(2e-8));
  op->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0)->GetComponent()->SetCatConditionsRelevant(false);
  const std::string h1 = op->GetHashString();
  ASSERT_EQ(h1.size(), 32u);
  EXPECT_EQ(h1.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(op->GetHashString(), h1);
  op->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0)->GetComponent()->SetPartNo("X-1");
  const std::string h2 = op->GetHashString();
  EXPECT_NE(h2, h1);
  // The same content with other identifiers is another project.
  auto copy = op->CloneAs<TProjectOp>();
  EXPECT_TRUE(copy->Equals(*op));
  EXPECT_NE(copy->GetHashString(), h2);
}

TEST_F(ProjectTest, IncompleteSubsystemGivesTextsButNoChecksum) {
  // Category 3 with one channel cannot be computed: texts show "-"; the checksum, taken over the values,
  // raises why rather than fingerprinting a project with a value missing.
  auto op = NewProject("Press");
  op->GetSFOpList()->Add(SafetyFunction("Stop"));
  auto s = Subsystem(cat3);
  s->GetChannelOpList()->Add(Channel({{30, 0.9}}));
  op->GetSFOpList()->Items(0)->GetComponentOpList()->Add(std::move(s));
  try {
    op->GetHashString();
    ADD_FAILURE() << "a checksum";
  } catch (const EKelvado& e) {
    EXPECT_EQ(e.MsgNumber(), 1011);
  }
  EXPECT_EQ(op->GetSFOpList()->Items(0)->GetPLString(), "-");
  EXPECT_EQ(op->GetSFOpList()->Items(0)->GetPFHString(), "-");
  EXPECT_EQ(op->CheckStatus(nullptr, true), isRed);
  // A subsystem that does not use its channels (PL entered, no category conditions) needs none.
  TComponent& c = *op->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0)->GetComponent();
  c.SetPLDet(detDirect);
  c.SetCatConditionsRelevant(false);
  EXPECT_EQ(op->GetHashString().size(), 32u);
}

TEST_F(ProjectTest, ChecksumOfAProjectWhoseEvaluationHasEveryValue) {
  // A maker's part with its PFH, MTTFd and DCavg entered and no channels: every figure it shows is there, so
  // is the checksum; the values from channels it does not use do not count.
  auto op = NewProject("Press");
  op->GetSFOpList()->Add(SafetyFunction("Stop"));
  TComponentOpList& subs = *op->GetSFOpList()->Items(0)->GetComponentOpList();
  subs.Add(DirectSubsystem(2.5e-9));
  TComponent& plc = *subs.Items(0)->GetComponent();
  plc.SetMTTFdDet(detDirect);
  plc.SetMTTFd(100);
  plc.SetDCavgDet(detDirect);
  plc.SetDCavg(0.99);
  for (const std::string& figure : {subs.Items(0)->GetMTTFdString(), subs.Items(0)->GetDCavgPCString(),
                                    subs.Items(0)->GetPFHString(), subs.Items(0)->GetPLString()})
    EXPECT_NE(figure, "-");
  EXPECT_EQ(op->GetHashString().size(), 32u);
  // A subsystem that cannot be computed counts no more once it is deleted, nor in a deleted safety function.
  auto s = Subsystem(cat3);
  s->GetChannelOpList()->Add(Channel({{30, 0.9}}));
  subs.Add(std::move(s));
  EXPECT_THROW(op->GetHashString(), EIndexOutOfBounds);
  subs.Items(1)->SetDeleted(true);
  EXPECT_EQ(op->GetHashString().size(), 32u);
  subs.Items(1)->SetDeleted(false);
  op->GetSFOpList()->Items(0)->SetDeleted(true);
  EXPECT_EQ(op->GetHashString().size(), 32u);
}

TEST_F(ProjectTest, ChangeBelowReachesTheProjectNode) {
  auto op = NewProject("Press");
  op->GetSFOpList()->Add(SafetyFunction("Stop"));
  op->GetSFOpList()->Items(0)->GetComponentOpList()->Add(DirectSubsystem(2e-8));
  int changes = 0;
  op->SetOnChange([&](TtiObject*) { ++changes; });
  op->GetSFOpList()->Items(0)->GetComponentOpList()->Items(0)->GetComponent()->SetPFH(3e-8);
  EXPECT_EQ(changes, 1);
}

}  // namespace
}  // namespace kelvado::testing
