// Version checks and upgrades of projects.
#include "storage/db/VersionMgr.h"

#include <memory>
#include <string>
#include <vector>

#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsTexts.h"
#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {
namespace {

class VersionMgrTest : public SettingsTest {
protected:
  VersionMgrTest() : SettingsTest("kv_vermgr_") {}
  void SetUp() override {
    SettingsTest::SetUp();
    UseOwnLang();
    WriteNumberedLang({}, 3400);
    mgr.SetOnProjectVersionNotice([this](const std::string& name, bool compatible, bool normKnown,
                                         TKelvadoVersion ver, const std::string& text, TNormVersion norm,
                                         const std::string& notice) {
      checks.push_back(name + "|" + std::to_string(compatible) + std::to_string(normKnown) + "|" +
                       std::to_string(ver) + "|" + text + "|" + std::to_string(norm) + "|" + notice);
    });
    mgr.SetOnUpgradeNotice([this](const std::string& name, bool, bool, TKelvadoVersion ver, const std::string& text,
                                  TNormVersion, const std::string& notice) {
      upgradeNotices.push_back(name + "|" + std::to_string(ver) + "|" + text + "|" + notice);
    });
    mgr.SetOnProjectUpgraded([this](TProjectOp& op) { upgraded.push_back(&op); });
  }

  // A project stamped with `ver`, with one safety function of the given subsystems.
  static std::unique_ptr<TProjectOp> Project(TKelvadoVersion ver, std::vector<std::unique_ptr<TComponentOp>> subs) {
    auto op = std::make_unique<TProjectOp>();
    auto p = std::make_unique<TProject>();
    p->SetKVDVersion(ver);
    p->SetFileName("/tmp/p.kvd");
    op->SetProject(std::move(p));
    auto sf = std::make_unique<TSFOp>();
    sf->SetSF(std::make_unique<TSF>());
    for (auto& s : subs) sf->GetComponentOpList()->Add(std::move(s));
    op->GetSFOpList()->Add(std::move(sf));
    op->SetObjectState(posClean);
    return op;
  }
  static std::unique_ptr<TComponentOp> Subsystem(const std::string& name, TDetermination plDet, bool catRelevant,
                                                 int channels = 1) {
    auto op = std::make_unique<TComponentOp>();
    auto c = std::make_unique<TComponent>();
    c->SetName(name);
    c->SetPLDet(plDet);
    c->SetCatConditionsRelevant(catRelevant);
    c->SetIsPLPFHBind(false);
    c->SetPLDirectNoBind(plD);
    op->SetComponent(std::move(c));
    for (int i = 0; i < channels; ++i) {
      auto ch = std::make_unique<TChannelOp>();
      ch->SetChannel(std::make_unique<TChannel>());
      op->GetChannelOpList()->Add(std::move(ch));
    }
    return op;
  }
  static TComponentOp& Sub(TProjectOp& p, int i) { return *p.GetSFOpList()->Items(0)->GetComponentOpList()->Items(i); }

  TVersionMgr mgr;
  std::vector<std::string> checks;
  std::vector<std::string> upgradeNotices;
  std::vector<TProjectOp*> upgraded;
};

TEST_F(VersionMgrTest, ChecksReleaseAndEdition) {
  bool notice = true;
  EXPECT_TRUE(mgr.CheckProjectVersion("P", ver1_1_2, "1.1.2", ver20062003, notice));
  EXPECT_FALSE(notice);
  EXPECT_TRUE(mgr.CheckProjectVersion("P", ver1_0rc1, "1.0rc1", ver2006, notice));
  EXPECT_FALSE(notice);
  EXPECT_TRUE(checks.empty());

  // Old but known: opened, with a notice.
  EXPECT_TRUE(mgr.CheckProjectVersion("Old", ver0_4b, "0.4b", ver20062003, notice));
  EXPECT_TRUE(notice);
  // A newer release of the same major.minor is compatible; it has no known value.
  EXPECT_TRUE(mgr.CheckProjectVersion("Newer", verKVDUnknown, "1.1.3", ver20062003, notice));
  EXPECT_TRUE(notice);
  // Any other unknown release is refused, as is an unknown edition.
  EXPECT_FALSE(mgr.CheckProjectVersion("Future", verKVDUnknown, "1.2.0", ver20062003, notice));
  EXPECT_TRUE(notice);
  EXPECT_FALSE(mgr.CheckProjectVersion("NoNorm", ver1_0, "1.0", ver13849Unknown, notice));
  EXPECT_TRUE(notice);
  EXPECT_TRUE(mgr.CheckProjectVersion("Draft", ver1_0, "1.0", ver2005pr, notice));
  EXPECT_TRUE(notice);
  EXPECT_EQ(checks, (std::vector<std::string>{"Old|11|10|0.4b|4|", "Newer|11|0|1.1.3|4|", "Future|01|0|1.2.0|4|",
                                              "NoNorm|10|14|1.0|0|", "Draft|11|14|1.0|1|"}));
}

TEST_F(VersionMgrTest, CurrentAndUnknownReleasesAreNotTouched) {
  for (TKelvadoVersion ver : {ver1_1_2, verKVDUnknown}) {
    auto p = Project(ver, {});
    p->GetSFOpList()->Items(0)->GetComponentOpList()->Add(Subsystem("S", detDirect, true));
    mgr.UpgradeProject(*p);
    const TComponent& c = *Sub(*p, 0).GetComponent();
    EXPECT_TRUE(c.GetCatConditionsRelevant());
    EXPECT_FALSE(c.GetIsPLPFHBind());
    EXPECT_EQ(c.GetPLDirectNoBind(), plD);
    EXPECT_EQ(Sub(*p, 0).GetChannelOpList()->GetCount(), 1);
    EXPECT_EQ(p->GetObjectState(), posClean);
  }
  EXPECT_TRUE(upgradeNotices.empty());
  EXPECT_TRUE(upgraded.empty());
}

TEST_F(VersionMgrTest, Release110ChangesTheCategoryConditionRule) {
  std::vector<std::unique_ptr<TComponentOp>> subs;
  subs.push_back(Subsystem("Direkt", detDirect, true));
  subs.push_back(Subsystem("Berechnet", detSubItems, false));
  subs.push_back(Subsystem("Passt", detSubItems, true));
  auto p = Project(ver1_0_6, std::move(subs));
  mgr.UpgradeProject(*p);

  EXPECT_FALSE(Sub(*p, 0).GetComponent()->GetCatConditionsRelevant());
  EXPECT_TRUE(Sub(*p, 1).GetComponent()->GetCatConditionsRelevant());
  EXPECT_TRUE(Sub(*p, 2).GetComponent()->GetCatConditionsRelevant());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Sub(*p, i).GetComponent()->GetIsPLPFHBind());
    EXPECT_EQ(Sub(*p, i).GetComponent()->GetPLDirectNoBind(), plA);
  }
  ASSERT_EQ(upgradeNotices.size(), 1u);
  // (Texts without arguments come as the language file has them.)
  EXPECT_EQ(upgradeNotices[0], "/tmp/p.kvd|21|1.0.6|[3330] 1.1.0||\r\n"
                               "[3332] %s|%s|%s\r\n  \u00B7 SB: Direkt\r\n"
                               "[3333] %s|%s|%s\r\n  \u00B7 SB: Berechnet\r\n"
                               "\r\n[3363] 1.1.2||\r\n[3364] %s|%s|%s");
  // Only values changed: no structure to save anew.
  EXPECT_TRUE(upgraded.empty());

  // Nothing to list: no notice.
  upgradeNotices.clear();
  std::vector<std::unique_ptr<TComponentOp>> fine;
  fine.push_back(Subsystem("Passt", detSubItems, true));
  auto q = Project(ver1_0_6, std::move(fine));
  mgr.UpgradeProject(*q);
  EXPECT_TRUE(upgradeNotices.empty());
  EXPECT_TRUE(Sub(*q, 0).GetComponent()->GetIsPLPFHBind());
}

TEST_F(VersionMgrTest, TheFirstReleasesGetATestChannel) {
  std::vector<std::unique_ptr<TComponentOp>> subs;
  subs.push_back(Subsystem("Zwei", detSubItems, true, 2));
  auto p = Project(ver0_1_1a, std::move(subs));
  mgr.UpgradeProject(*p);

  TChannelOpList& list = *Sub(*p, 0).GetChannelOpList();
  ASSERT_EQ(list.GetCount(), 3);
  auto* test = dynamic_cast<TTestChannelOp*>(list.Items(2));
  ASSERT_NE(test, nullptr);
  EXPECT_NE(dynamic_cast<TTestChannel*>(test->GetChannel()), nullptr);
  EXPECT_EQ(list.Items(0)->GetTestChannelOp(), test);
  EXPECT_EQ(list.Items(1)->GetTestChannelOp(), test);
  // New objects, so that the next save writes them.
  EXPECT_EQ(test->GetObjectState(), posCreate);
  EXPECT_EQ(test->GetChannel()->GetObjectState(), posCreate);
  EXPECT_EQ(p->GetObjectState(), posUpdate);
  EXPECT_EQ(upgraded, std::vector<TProjectOp*>{p.get()});
}

TEST_F(VersionMgrTest, Release041DropsConditionsWithoutID) {
  std::vector<std::unique_ptr<TComponentOp>> subs;
  subs.push_back(Subsystem("S", detSubItems, true));
  auto p = Project(ver0_4_1b, std::move(subs));
  TCatConditionOpList& ops = *Sub(*p, 0).GetComponent()->GetCatConditionOps();
  for (const char* ccid : {"", "{AB}"}) {
    auto op = std::make_unique<TCatConditionOp>();
    auto cond = std::make_unique<TCatCondition>();
    cond->SetCCID(ccid);
    op->SetCatCondition(std::move(cond));
    ops.Add(std::move(op));
  }
  mgr.UpgradeProject(*p);
  EXPECT_TRUE(ops.Items(0)->GetDeleted());
  EXPECT_FALSE(ops.Items(1)->GetDeleted());
  EXPECT_EQ(Sub(*p, 0).GetChannelOpList()->GetCount(), 1);
  EXPECT_EQ(upgraded.size(), 1u);
}

TEST_F(VersionMgrTest, ProtectedItemsAreUpgradedToo) {
  std::vector<std::unique_ptr<TComponentOp>> subs;
  subs.push_back(Subsystem("Geschützt", detDirect, true));
  auto p = Project(ver1_0, std::move(subs));
  TVisSetProtected protect(true);
  p->Iterate(protect);
  ASSERT_TRUE(Sub(*p, 0).GetComponent()->GetIsProtected());

  mgr.UpgradeProject(*p);
  EXPECT_FALSE(Sub(*p, 0).GetComponent()->GetCatConditionsRelevant());
  EXPECT_EQ(WriteProtectionMode, 0);
  EXPECT_THROW(Sub(*p, 0).GetComponent()->SetName("x"), EProtectionViolation);
}

}  // namespace
}  // namespace kelvado::testing
