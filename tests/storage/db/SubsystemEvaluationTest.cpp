// Subsystems and safety functions evaluated end to end on the general database the build ships: every
// expected number below is worked out by hand from the standard's tables (resources/db/KELVADO_GEN_data.sql:
// tables PFHi, PFH, PLs, RiskParams, Cat, DC, MTTFd).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <sstream>

#include "framework/tiFirebird.h"
#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMSF.h"
#include "model/GlobalsLookups.h"
#include "model/BOMMeasures.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "storage/db/PersistenceDB.h"
#include "tests/storage/db/GeneralDBTestEnv.h"
#include "tests/support/AsNobody.h"
#include "tests/support/FileBytes.h"
#include "tests/support/SkipOutsideCI.h"

using namespace kelvado;
namespace fs = std::filesystem;
using kelvado::testing::AnswerAsNobody;
using kelvado::testing::Bytes;
using kelvado::testing::GeneralFile;
using kelvado::testing::kNobody;

namespace {

class EvaluationTest : public kelvado::testing::GeneralDBTest {
protected:
  EvaluationTest() : GeneralDBTest("kv_eval_") {}
  void SetUp() override {
    GeneralDBTest::SetUp();
    if (HasFatalFailure()) return;
    SetPersistenceDB(ConnectGeneral());
    CalcPoolShutdown();
  }
  void TearDown() override {
    CalcPoolShutdown();
    PersistenceDBShutdown();
    GeneralDBTest::TearDown();
  }

  static std::unique_ptr<TBlocOp> Bloc(double mttfd, double dc) {
    auto e = std::make_unique<TElement>();
    e->SetName("E");
    e->SetMTTFd(mttfd);
    e->SetDC(dc);
    auto eo = std::make_unique<TElementOp>();
    eo->SetElement(std::move(e));
    auto b = std::make_unique<TBlocOp>();
    b->SetBloc(std::make_unique<TBloc>());
    b->GetBloc()->SetName("B");
    b->GetElementOpList()->Add(std::move(eo));
    return b;
  }
  // A channel of `count` blocks, each one element of (MTTFd, DC).
  static std::unique_ptr<TChannelOp> Channel(double mttfd, double dc, int count = 1) {
    auto ch = std::make_unique<TChannelOp>();
    ch->SetChannel(std::make_unique<TChannel>());
    for (int i = 0; i < count; ++i) ch->GetBlocOpList()->Add(Bloc(mttfd, dc));
    return ch;
  }
  static std::unique_ptr<TTestChannelOp> TestChannel(double mttfd) {
    auto ch = std::make_unique<TTestChannelOp>();
    ch->SetChannel(std::make_unique<TTestChannel>());
    ch->GetBlocOpList()->Add(Bloc(mttfd, 0.0));
    return ch;
  }
  static std::unique_ptr<TComponentOp> Subsystem(TCat cat) {
    auto s = std::make_unique<TComponentOp>();
    s->SetComponent(std::make_unique<TComponent>());
    s->GetComponent()->SetName("S");
    s->GetComponent()->SetCat(cat);
    return s;
  }
};

TEST_F(EvaluationTest, CategoryB) {
  // One channel, MTTFd 20 years: PFH = max(1/(20 x 8760), 4.23e-6) = max(5.7078e-6, 4.23e-6) = 5.7078e-6,
  // in [3e-6, 1e-5): PL b.
  auto s = Subsystem(catB);
  s->GetChannelOpList()->Add(Channel(20, 0.0));
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 20.0);
  EXPECT_NEAR(s->GetPFHLazy(), 1.0 / (20 * 8760.0), 1e-12);
  EXPECT_EQ(s->GetPLLazy(), plB);
  // MTTFd 30 years: 1/(30 x 8760) = 3.805e-6 is below the floor 4.23e-6.
  s->GetChannelOpList()->Items(0)->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0)->GetElement()->SetMTTFd(30);
  EXPECT_DOUBLE_EQ(s->GetPFHLazy(), 4.23e-6);
  EXPECT_EQ(s->GetPLLazy(), plB);
}

TEST_F(EvaluationTest, Category1WithTheCap) {
  // One channel of 150 years, capped to 100: PFH = max(1/(100 x 8760), 1.14e-6) = 1.14155e-6: PL c.
  auto s = Subsystem(cat1);
  s->GetChannelOpList()->Add(Channel(150, 0.0));
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 100.0);
  EXPECT_NEAR(s->GetPFHLazy(), 1.0 / 876000.0, 1e-14);
  EXPECT_EQ(s->GetPLLazy(), plC);
}

TEST_F(EvaluationTest, Category2WithTestChannel) {
  // Channel MTTFd 25 y, DC 0.75; test channel 20 y: min(25, 2 x 20) = 25 y. Grid neighbours (PFHi, cat2):
  // DC 0.6/0.9, MTTFd 24/27. At 24 y: 1.62e-6 + (2.65e-6 - 1.62e-6) x 0.5 = 2.135e-6; at 27 y:
  // 1.39e-6 + (2.32e-6 - 1.39e-6) x 0.5 = 1.855e-6. Log-log in MTTFd:
  // exp(ln 1.855e-6 + (ln 2.135e-6 - ln 1.855e-6) x (ln 27 - ln 25)/(ln 27 - ln 24)) = 2.03347e-6: PL c.
  auto s = Subsystem(cat2);
  s->GetChannelOpList()->Add(Channel(25, 0.75));
  s->GetChannelOpList()->Add(TestChannel(20));
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 25.0);
  EXPECT_DOUBLE_EQ(s->GetDCavgLazy(), 0.75);
  EXPECT_NEAR(s->GetPFHLazy(), 2.0334683e-6, 1e-12);
  EXPECT_EQ(s->GetPLLazy(), plC);
  // Test channel of 10 y: min(25, 20) = 20 y, exactly on the grid: 2.06e-6 + (3.26e-6 - 2.06e-6) x 0.5 = 2.66e-6.
  s->GetChannelOpList()->Items(1)->GetBlocOpList()->Items(0)->GetElementOpList()->Items(0)->GetElement()->SetMTTFd(10);
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 20.0);
  EXPECT_NEAR(s->GetPFHLazy(), 2.66e-6, 1e-14);
  // Without the fit the channel's 25 years count again.
  SetOpt("MTTFdCFitBeforeSymm", false);
  s->Changed();
  EXPECT_NEAR(s->GetPFHLazy(), 2.0334683e-6, 1e-12);
}

TEST_F(EvaluationTest, Category3InterpolatedAndStepped) {
  // Channels of 200 y (DC 0.9) and 300 y (DC 0.6). Cut before symmetrisation: 100 and 100 give 100 y.
  // DCavg over the channels' own MTTFd: (0.9/200 + 0.6/300)/(1/200 + 1/300) = 0.0065/0.008333 = 0.78 (low).
  // PFHi, cat3 at 100 y (the largest grid MTTFd, so High = Low): 4.29e-8 + (1.01e-7 - 4.29e-8) x 0.4 = 6.614e-8:
  // PL e.
  auto s = Subsystem(cat3);
  s->GetChannelOpList()->Add(Channel(200, 0.9));
  s->GetChannelOpList()->Add(Channel(300, 0.6));
  EXPECT_DOUBLE_EQ(s->GetMTTFdLazy(), 100.0);
  EXPECT_NEAR(s->GetDCavgLazy(), 0.78, 1e-12);
  EXPECT_NEAR(s->GetPFHLazy(), 6.614e-8, 1e-15);
  EXPECT_EQ(s->GetPLLazy(), plE);
  // Stepped table (usedcinterlevels off): table PFH, cat3, dcLow, largest MTTFd <= 100: 1.01e-7: PL d.
  SetOpt("usedcinterlevels", false);
  s->Changed();
  EXPECT_DOUBLE_EQ(s->GetPFHLazy(), 1.01e-7);
  EXPECT_EQ(s->GetPLLazy(), plD);
}

// Settings a user may read but not write (their file read-only, or their folders), holding the table's cells
// and a library of the user's own and lacking every other key: what is read is obeyed, and the defaults that
// cannot be added afterwards are said once and change nothing that was read. Root would write them anyway.
TEST_F(EvaluationTest, SettingsThatCannotBeWrittenAreObeyedAsRead) {
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("only root can hand the settings to another user");
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  for (const bool readOnlyFolders : {false, true}) {
    SCOPED_TRACE(readOnlyFolders ? "read-only folders" : "read-only files");
    const std::string root = dir_ + (readOnlyFolders ? "/folders" : "/files");
    const std::string opt = root + "/Software/Zul/KELVADO/1.1.2/opt/values.reg";
    const std::string database = root + "/Software/Zul/KELVADO/1.1.2/database/values.reg";
    fs::create_directories(fs::path(opt).parent_path());
    fs::create_directories(fs::path(database).parent_path());
    std::ofstream(opt) << "\"usedcinterlevels\"=dword:0\n";
    std::ofstream(database) << "\"databasenamelib\"=\"/srv/team.klb\"\n\"usernamelib\"=\"team\"\n";
    ASSERT_EQ(::chown(root.c_str(), kNobody, kNobody), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      const std::string path = entry.path().string();
      ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
      const mode_t mode = entry.is_directory() ? (readOnlyFolders ? 0555 : 0755) : (readOnlyFolders ? 0644 : 0444);
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    ASSERT_EQ(::chmod(root.c_str(), readOnlyFolders ? 0555 : 0755), 0);
    const std::string optBytes = Bytes(opt), databaseBytes = Bytes(database);

    const std::string answer = AnswerAsNobody([&] {
      setenv("KELVADO_CONFIG_DIR", root.c_str(), 1);
      SetCurrentUserRegistry(nullptr);  // the store the program uses, on that folder
      ResetConfig();
      MessageRecorder rec;
      // A run reads keys the settings lack before the ones they hold.
      GetDatabasePersistenceLayerName();
      GetOptCutMTTFdRaise(false);
      // Category 3 at 100 years with DCavg 78 %: the table's cell 1.01E-7 (PL d); interpolated 6.61E-8 (e).
      auto s = Subsystem(cat3);
      s->GetChannelOpList()->Add(Channel(200, 0.9));
      s->GetChannelOpList()->Add(Channel(300, 0.6));
      std::ostringstream out;
      out << "PFH " << s->GetPFHLazy() << " PL " << PLToStr(s->GetPLLazy()) << ", library "
          << GetDatabaseDatabaseNameLib() << " of " << GetDatabaseUserNameLib();
      const bool written = WriteMissingDefaults();
      s->Changed();
      out << "; defaults written " << written << ", then PFH " << s->GetPFHLazy() << ", messages " << rec.Count();
      for (const MessageRequest& m : rec.Messages()) out << "\n" << m.text;
      return out.str();
    });
    EXPECT_EQ(answer.substr(0, answer.find('\n')),
              "PFH 1.01e-07 PL d, library /srv/team.klb of team; defaults written 0, then PFH 1.01e-07, messages 1");
    EXPECT_NE(answer.find("Die fehlenden Einstellungen konnten nicht mit ihren Vorgabewerten in \"" + database +
                          "\" eingetragen werden: " +
                          (readOnlyFolders ? "die Berechtigung fehlt" : "sie ist schreibgeschützt")),
              std::string::npos)
        << answer;
    EXPECT_EQ(Bytes(opt), optBytes);
    EXPECT_EQ(Bytes(database), databaseBytes);
    for (const auto& entry : fs::recursive_directory_iterator(root))
      EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
    ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root))
      if (entry.is_directory()) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
  }
}

TEST_F(EvaluationTest, Category4) {
  // Two channels of 50 y, DC 0.99: symmetrised 2/3 x (100 - 25) = 50 y, DCavg 0.99 (high). PFHi, cat4, DC 0.99:
  // 47 y 5.76e-8, 51 y 5.26e-8; log-log: exp(ln 5.26e-8 + (ln 5.76e-8 - ln 5.26e-8) x (ln 51 - ln 50)/(ln 51 - ln 47))
  // = 5.37709e-8: PL e.
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel(50, 0.99));
  s->GetChannelOpList()->Add(Channel(50, 0.99));
  EXPECT_NEAR(s->GetMTTFdLazy(), 50.0, 1e-9);
  EXPECT_NEAR(s->GetPFHLazy(), 5.3770872e-8, 1e-14);
  EXPECT_EQ(s->GetPLLazy(), plE);
}

TEST_F(EvaluationTest, ConditionsOfTheReachedPLAreListedWithWhetherTheSubsystemMeetsThem) {
  // PL e (as above): the seven conditions the general database holds for PL e, none met yet.
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel(50, 0.99));
  s->GetChannelOpList()->Add(Channel(50, 0.99));
  ASSERT_EQ(s->GetPLLazy(), plE);
  const std::string no = " [" + NoText() + "]", yes = " [" + YesText() + "]";
  const std::string validated = "The achieved PL is validated according to ISO 13849-2.";
  std::string text = s->GetPLConditionsText();
  EXPECT_NE(text.find(validated + no), std::string::npos) << text;
  EXPECT_NE(text.find("IEC 61508-3 SIL 3"), std::string::npos) << text;
  size_t listed = 0;
  for (size_t at = text.find(no); at != std::string::npos; at = text.find(no, at + 1)) ++listed;
  EXPECT_EQ(listed, 7u);
  // Met once the subsystem holds the condition (as a library or project file brings it).
  auto op = std::make_unique<TPLConditionOp>();
  const TPLConditionList& conds = *GetPLConditions(plE);
  for (int i = 0; i < conds.Count(); ++i)
    if (conds.Items(i)->GetText() == validated)
      op->SetPLCondition(std::unique_ptr<TPLCondition>(static_cast<TPLCondition*>(conds.Items(i)->Clone().release())));
  ASSERT_NE(op->GetPLCondition(), nullptr);
  s->GetComponent()->GetPLConditionOps()->Add(std::move(op));
  text = s->GetPLConditionsText();
  EXPECT_NE(text.find(validated + yes), std::string::npos) << text;
}

TEST_F(EvaluationTest, NoiseDoesNotLoseTheGrid) {
  // Each channel: 7 blocks of 210 y (DC 0.99) computes to 29.999999999999993 y; symmetrised, the subsystem's
  // MTTFd is handed out as computed, and rounded it meets the grid's 30 y, whose PFH is 9.54e-8 (cat4, DC
  // 0.99): PL e. Unrounded, the grid would have no lower neighbour for category 4 (it starts at 30 y) and the
  // PL would be "-".
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel(210, 0.99, 7));
  s->GetChannelOpList()->Add(Channel(210, 0.99, 7));
  EXPECT_NEAR(s->GetMTTFdLazy(), 30.0, 1e-12);
  EXPECT_DOUBLE_EQ(s->GetPFHLazy(), 9.54e-8);
  EXPECT_EQ(s->GetPLLazy(), plE);
}

TEST_F(EvaluationTest, SafetyFunctionLimitedBySumAndByWeakestUnboundSubsystem) {
  // Category B of 5.70776e-6 (b) + category 4 of 5.37709e-8 (e): sum 5.76153e-6 in [3e-6, 1e-5): b.
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  auto b = Subsystem(catB);
  b->GetChannelOpList()->Add(Channel(20, 0.0));
  sf->GetComponentOpList()->Add(std::move(b));
  auto four = Subsystem(cat4);
  four->GetChannelOpList()->Add(Channel(50, 0.99));
  four->GetChannelOpList()->Add(Channel(50, 0.99));
  sf->GetComponentOpList()->Add(std::move(four));
  EXPECT_NEAR(sf->GetPFHLazy(), 1.0 / (20 * 8760.0) + 5.3770872e-8, 1e-12);
  EXPECT_EQ(sf->GetPLLazy(), plB);
  // Without the category-B subsystem the sum 5.38e-8 reaches e; an unbound subsystem entered as c with a PFH
  // of 1e-8 limits it to c (the sum 6.38e-8 is still e).
  sf->GetComponentOpList()->GetItems(0)->SetDeleted(true);
  EXPECT_EQ(sf->GetPLLazy(), plE);
  auto direct = Subsystem(cat3);
  direct->GetComponent()->SetPLDet(detDirect);
  direct->GetComponent()->SetPFH(1e-8);
  direct->GetComponent()->SetIsPLPFHBind(false);
  direct->GetComponent()->SetPLDirectNoBind(plC);
  sf->GetComponentOpList()->Add(std::move(direct));
  EXPECT_NEAR(sf->GetPFHLazy(), 6.3770872e-8, 1e-14);
  EXPECT_EQ(sf->GetPLLazy(), plC);
  // PLr d (S2 F1 P2) is not met: red.
  sf->GetSF()->SetRiskParamS(1);
  sf->GetSF()->SetRiskParamP(1);
  EXPECT_EQ(sf->GetPLrLazy(), plD);
  EXPECT_EQ(sf->CheckStatus(nullptr, false), isRed);
}

TEST_F(EvaluationTest, PFHSumJustBelowTheLimitByNoiseIsAtTheLimit) {
  // Entered PFHs of 3e-5 and 7e-5 add up to 9.999999999999999e-5: the PL bands (to 1e-14) see 1e-4, which no
  // PL holds, and the status must say that the sum reached the largest admissible PFH.
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  sf->GetSF()->SetName("SF");
  sf->GetSF()->SetPLrDet(detDirect);
  sf->GetSF()->SetPLrDirect(plA);
  for (double pfh : {3e-5, 7e-5}) {
    auto s = Subsystem(cat1);
    s->GetComponent()->SetPLDet(detDirect);
    s->GetComponent()->SetPFH(pfh);
    sf->GetComponentOpList()->Add(std::move(s));
  }
  ASSERT_LT(sf->GetPFHLazy(), 1e-4);
  EXPECT_EQ(sf->GetPLLazy(), plN);
  TStatusMessages messages;
  EXPECT_EQ(sf->CheckStatus(&messages, false), isRed);
  const std::string limit = "isRed=" + FormatMsgString(msgBaseStatus + 279, {FloatToStr(1e-4)});
  EXPECT_NE(std::find(messages.Lines().begin(), messages.Lines().end(), limit), messages.Lines().end());
}

TEST_F(EvaluationTest, RiskGraphPaths) {
  // S1: F1 P1 a, F1 P2 b, F2 P1 b, F2 P2 c; S2: F1 P1 c, F1 P2 d, F2 P1 d, F2 P2 e.
  const TPL expected[2][2][2] = {{{plA, plB}, {plB, plC}}, {{plC, plD}, {plD, plE}}};
  for (uint8_t s = 0; s < 2; ++s)
    for (uint8_t f = 0; f < 2; ++f)
      for (uint8_t p = 0; p < 2; ++p) {
        TSF sf;
        sf.SetRiskParamS(s);
        sf.SetRiskParamF(f);
        sf.SetRiskParamP(p);
        EXPECT_EQ(sf.GetPLr(), expected[s][f][p]) << int(s) << int(f) << int(p);
      }
}

}  // namespace

namespace {

class FaultyTableEvaluationTest : public EvaluationTest {
protected:
  // A general database like the shipped one without table `table`, digest and all.
  std::string WithoutTable(const std::string& table) {
    const std::string copy = dir_ + "/Without" + table + ".FDB";
    fs::copy_file(GeneralFile(), copy);
    fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
    TtiFBDatabase::SetReadOnlyMode(copy, false);
    {
      TtiFBDatabase db(copy);
      db.Connect();
      tiFBRunScript(db, "DROP TABLE " + table + ";", "drop");
    }
    TtiFBDatabase::SetReadOnlyMode(copy, true);
    tiFBRecordDigest(copy);
    return copy;
  }
};

}  // namespace

TEST_F(EvaluationTest, FaultExcludedElementsKeepTheLimitsOfCategoriesBAnd1) {
  // Every element fault-excluded: an infinite MTTFd, which categories B and 1 take to their floor like any
  // other MTTFd (4.23e-6: b; 1.14e-6: c); category 3 keeps a PFH of 0 (e).
  const std::pair<TCat, std::pair<double, TPL>> cases[] = {
      {catB, {4.23e-6, plB}}, {cat1, {1.14e-6, plC}}, {cat3, {0.0, plE}}};
  for (const auto& [cat, expected] : cases) {
    SCOPED_TRACE(EnumName(cat));
    auto sf = std::make_unique<TSFOp>();
    sf->SetSF(std::make_unique<TSF>());
    sf->GetSF()->SetName("SF");
    sf->GetSF()->SetPLrDet(detDirect);
    sf->GetSF()->SetPLrDirect(plE);
    auto s = Subsystem(cat);
    for (int i = 0; i < s->GetComponent()->GetChannelCount(); ++i)
      s->GetChannelOpList()->Add(Channel(std::numeric_limits<double>::infinity(), 0.99));
    TComponentOp* sub = s.get();
    sf->GetComponentOpList()->Add(std::move(s));
    EXPECT_TRUE(std::isinf(sub->GetMTTFdLazy()));
    EXPECT_DOUBLE_EQ(sub->GetPFHLazy(), expected.first);
    EXPECT_EQ(sub->GetPLLazy(), expected.second);
    EXPECT_EQ(sf->GetPLLazy(), expected.second);
    // The warning that an infinite MTTFd is implausible for PL e stays.
    TStatusMessages messages;
    sub->CheckStatus(&messages, false);
    const std::string warning = "isYellow=" + FormatMsgString(msgBaseStatus + 285, {});
    EXPECT_NE(std::find(messages.Lines().begin(), messages.Lines().end(), warning), messages.Lines().end());
  }
}

TEST_F(FaultyTableEvaluationTest, UnreadableMTTFdTableNeverGivesTheBestBand) {
  // Two channels of 10 years are "Medium", which category 4 does not accept. Without the MTTFd table the band
  // cannot be told: it is no band, never "High", and the requirements stay unmet; the failure is shown once.
  MessageRecorder shown;
  auto db = std::make_unique<TPersistenceDB_FB>(WithoutTable("MTTFd"));
  db->Connect();
  SetPersistenceDB(std::move(db));
  auto s = Subsystem(cat4);
  s->GetChannelOpList()->Add(Channel(10, 0.99));
  s->GetChannelOpList()->Add(Channel(10, 0.99));
  EXPECT_EQ(s->GetMTTFdDenotationLazy(), mttfNoBand);
  EXPECT_EQ(s->GetCatRequirementsStatus(), TTriState::No);
  EXPECT_EQ(s->CheckStatus(nullptr, false), isRed);
  ASSERT_EQ(shown.Count(), 1u);
  EXPECT_NE(shown.Messages()[0].text.find("Reading table MTTFd"), std::string::npos) << shown.Messages()[0].text;
}
