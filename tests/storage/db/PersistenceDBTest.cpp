// The general-database object against the general database file the build puts beside the program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "framework/tiFirebird.h"
#include "model/BOMMeasures.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "platform/MessageBox.h"
#include "platform/Registry.h"
#include "storage/db/PersistenceDB.h"
#include "tests/storage/db/GeneralDBTestEnv.h"
#include "tests/storage/db/PersistenceDBTestData.h"
#include "tests/support/PeerProcess.h"

using namespace kelvado;
namespace fs = std::filesystem;
using kelvado::testing::GeneralFile;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// A private settings store per test (the option usedcinterlevels is switched by some tests), and the object
// connected to the general database.
class PersistenceDBTest : public kelvado::testing::GeneralDBTest {
protected:
  PersistenceDBTest() : GeneralDBTest("kv_pdb_") {}
  void SetUp() override {
    GeneralDBTest::SetUp();
    if (HasFatalFailure()) return;
    db_ = ConnectGeneral();
  }
  void TearDown() override {
    PersistenceDBShutdown();
    db_.reset();
    GeneralDBTest::TearDown();
  }

  // Queries the call `f` sends to the database.
  template <class F>
  int64_t Queries(F&& f) {
    const int64_t before = db_->QueryCount();
    f();
    return db_->QueryCount() - before;
  }

  std::unique_ptr<TPersistenceDB_FB> db_;
};

double Expected(const testdata::TPFHGridRow& r) {
  if (r.Cat == catB) return std::max(1.0 / (r.MTTFd * 8760.0), 4.23e-6);
  if (r.Cat == cat1) return std::max(1.0 / (r.MTTFd * 8760.0), 1.14e-6);
  return r.PFH;
}

}  // namespace

// ---- PFH ----

TEST_F(PersistenceDBTest, PFHAtEveryGridPointEqualsTheTable) {
  for (const auto& r : testdata::kPFHGrid) {
    SCOPED_TRACE(::testing::Message() << EnumName(r.Cat) << " " << r.DCavg << " " << r.MTTFd);
    EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(r.Cat, r.MTTFd, r.DCavg), Expected(r));
    EXPECT_DOUBLE_EQ(db_->GetPFH(r.DC, r.Cat, r.MTTFd), r.PFH);
    // Between two grid MTTFd values the table step keeps the lower grid point's value.
    EXPECT_DOUBLE_EQ(db_->GetPFH(r.DC, r.Cat, r.MTTFd + 0.01), r.PFH);
    // The formula of catB and cat1 follows the table where no floor holds it up.
    if ((r.Cat == catB && r.MTTFd < 27) || (r.Cat == cat1 && r.MTTFd < 100)) {
      EXPECT_NEAR(Expected(r) / r.PFH, 1.0, 0.01);
    }
  }
}

TEST_F(PersistenceDBTest, WithoutIntermediateLevelsTheTableStepIsUsed) {
  ASSERT_TRUE(SetOptUseDCInterLevels(false));
  for (const auto& r : testdata::kPFHGrid)
    EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(r.Cat, r.MTTFd, r.DCavg), r.PFH)
        << EnumName(r.Cat) << " " << r.DCavg << " " << r.MTTFd;
  // A DCavg inside a band answers with the band's column; cat3 has no dcHigh column and falls to dcMedium.
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat3, 12.5, 0.75), db_->GetPFH(dcLow, cat3, 12.5));
  EXPECT_DOUBLE_EQ(db_->GetPFH(dcLow, cat3, 12.5), 2.49e-6);
  EXPECT_DOUBLE_EQ(db_->GetPFH(dcHigh, cat3, 12), 1.04e-6);
  EXPECT_EQ(db_->GetPFH(dcLow, cat3, 2.5), -1.0);  // below the grid
  EXPECT_EQ(db_->GetPFH(dcForward, cat3, 12), -1.0);
  EXPECT_DOUBLE_EQ(db_->GetPFH(dcHigh, cat4, kInf), 2.47e-8);
}

TEST_F(PersistenceDBTest, InterpolatesBetweenGridPoints) {
  // cat3 between DCavg 0.6/0.9 and MTTFd 12/13: linear in DCavg, log-log in MTTFd.
  const double a = 2.49e-6 + (1.04e-6 - 2.49e-6) * (0.75 - 0.6) / (0.9 - 0.6);
  const double b = 2.23e-6 + (9.21e-7 - 2.23e-6) * (0.75 - 0.6) / (0.9 - 0.6);
  const double t = (std::log(12.5) - std::log(12.0)) / (std::log(13.0) - std::log(12.0));
  const double expected = std::exp(std::log(a) + (std::log(b) - std::log(a)) * t);
  EXPECT_NEAR(db_->GetPFHInterpolated(cat3, 12.5, 0.75), expected, expected * 1e-12);
  // On a grid DCavg only the MTTFd is interpolated.
  const double onDC = db_->GetPFHInterpolated(cat3, 12.5, 0.6);
  EXPECT_LT(onDC, 2.49e-6);
  EXPECT_GT(onDC, 2.23e-6);
  // Above the largest grid MTTFd: the values at 100 years; above the largest DCavg: the values there.
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat4, 150, 0.995), 2.47e-8);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat2, 20, 0.95), db_->GetPFHInterpolated(cat2, 20, 0.9));
  // No grid point below: no value.
  EXPECT_EQ(db_->GetPFHInterpolated(cat4, 20, 0.95), -1.0);
  EXPECT_EQ(db_->GetPFHInterpolated(cat2, 20, 0.3), -1.0);
  EXPECT_EQ(db_->GetPFHInterpolated(cat3, 20, -1.0), -1.0);
  EXPECT_EQ(db_->GetPFHInterpolated(cat3, 2.9, 0.7), -1.0);
  EXPECT_EQ(db_->GetPFHInterpolated(cat3, std::nan(""), 0.7), -1.0);
}

TEST_F(PersistenceDBTest, ArithmeticNoiseDoesNotCrossABound) {
  const double dcJustBelow = std::nextafter(0.99, 0.0);  // one element of DC 0.99 through the block formula
  double failureRate = 0.0;  // seven blocks of 210 years in a channel
  for (int i = 0; i < 7; ++i) failureRate += 1.0 / 210.0;
  const double sevenBlocks = 1.0 / failureRate;  // 29.999999999999993 years
  ASSERT_LT(sevenBlocks, 30.0);
  EXPECT_EQ(db_->GetDCDenotation(dcJustBelow), dcHigh);
  EXPECT_EQ(db_->GetDCDenotation(std::nextafter(0.6, 0.0)), dcLow);
  EXPECT_EQ(db_->GetMTTFdDenotation(sevenBlocks), mttfHigh);
  EXPECT_EQ(db_->GetMTTFdDenotation(std::nextafter(3.0, 0.0)), mttfLow);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat4, 30, dcJustBelow), 9.54e-8);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat3, sevenBlocks, 0.6), db_->GetPFHInterpolated(cat3, 30, 0.6));
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat3, std::nextafter(3.0, 0.0), 0.6), 1.26e-5);
  // Real differences still count.
  EXPECT_EQ(db_->GetDCDenotation(0.9899), dcMedium);
  EXPECT_EQ(db_->GetMTTFdDenotation(2.99), mttfNoBand);
}

TEST_F(PersistenceDBTest, CatBAndCat1FollowTheFormulaWithFloors) {
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(catB, 10, 0.0), 1.0 / (10 * 8760.0));
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(catB, 30, 0.0), 4.23e-6);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat1, 100, 0.0), 1.0 / (100 * 8760.0));
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat1, 2500, 0.0), 1.14e-6);
  EXPECT_EQ(db_->GetPFHInterpolated(catB, 2, 0.0), -1.0);
  EXPECT_EQ(db_->GetPFHInterpolated(cat1, 2, 0.0), -1.0);
  // An infinite MTTFd never fails: 0 without asking the database.
  EXPECT_EQ(Queries([&] { EXPECT_EQ(db_->GetPFHInterpolated(cat3, kInf, 0.8), 0.0); }), 0);
  // Except in categories B and 1, which keep their floor (every element fault-excluded is still PL b or c), and
  // without intermediate levels their table's last step.
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(catB, kInf, 0.0), 4.23e-6);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat1, kInf, 0.0), 1.14e-6);
  ASSERT_TRUE(SetOptUseDCInterLevels(false));
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(catB, kInf, 0.0), 3.8e-6);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat1, kInf, 0.0), 1.14e-6);
  for (TCat c : {cat2, cat3, cat4}) EXPECT_EQ(db_->GetPFHInterpolated(c, kInf, 0.95), 0.0) << EnumName(c);
  ASSERT_TRUE(SetOptUseDCInterLevels(true));
  // The cat3 floor (1.01e-7 for 0.55 <= DCavg <= 0.6) cannot bite with the shipped grid: at DCavg 0.6 the
  // grid's own values lie at or above it (1.01e-7 from 100 years on), and below 0.6 the look-up has no lower
  // grid neighbour and gives "no value" (-1), which the floor leaves as it is.
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat3, 150, 0.6), 1.01e-7);
  EXPECT_DOUBLE_EQ(db_->GetPFHInterpolated(cat3, 100, 0.6), 1.01e-7);
  EXPECT_GT(db_->GetPFHInterpolated(cat3, 50, 0.6), 1.01e-7);
  EXPECT_EQ(db_->GetPFHInterpolated(cat3, 50, 0.58), -1.0);
  EXPECT_EQ(db_->GetPFHInterpolated(cat3, 50, 0.55), -1.0);
}

// A grid of our own, where the shipped one cannot show it: the cat3 floor at both ends of its DCavg range and
// not beyond; a cell lacking a corner has no value (never an interpolation through 0); a point given twice
// keeps its first row, as a query's first row would.
TEST_F(PersistenceDBTest, Cat3FloorAtItsBoundsAndGridsWithAHoleOrATwin) {
  const std::string file = dir_ + "/Grid.FDB";
  const std::string nv = "'ISO 13849-1:2006, ISO 13849-2:2003'";
  std::string sql =
      "CREATE TABLE Const (MinServiceLife DOUBLE PRECISION, ReqCCFScore DOUBLE PRECISION, NormVersion "
      "VARCHAR(100));\n"
      "INSERT INTO Const VALUES (20, 65, " + nv + ");\n"
      "CREATE TABLE DC (DC VARCHAR(8), DClower DOUBLE PRECISION, DCupper DOUBLE PRECISION, NormVersion "
      "VARCHAR(100));\n"
      "CREATE TABLE PFHi (Cat VARCHAR(4), DCavg DOUBLE PRECISION, MTTFd DOUBLE PRECISION, PFH DOUBLE PRECISION, "
      "NormVersion VARCHAR(100));\n"
      "INSERT INTO DC VALUES ('dcNone', 0, 0.6, " + nv + ");\n"
      "INSERT INTO DC VALUES ('dcLow', 0.6, 0.9, " + nv + ");\n"
      "INSERT INTO DC VALUES ('dcMedium', 0.9, 0.99, " + nv + ");\n";
  auto point = [&](const char* cat, const char* dc, const char* m, const char* pfh) {
    sql += std::string("INSERT INTO PFHi VALUES ('") + cat + "', " + dc + ", " + m + ", " + pfh + ", " + nv + ");\n";
  };
  for (const char* dc : {"0.5", "0.55", "0.6", "0.65"})
    for (const char* m : {"10", "100"}) point("cat3", dc, m, "5e-8");
  point("cat2", "0.6", "10", "2e-6");  // (100 years, 0.9) missing
  point("cat2", "0.6", "100", "1e-7");
  point("cat2", "0.9", "10", "1e-6");
  point("cat4", "0.9", "10", "3e-7");
  point("cat4", "0.9", "10", "9e-7");  // the same point again
  TtiFBDatabase::CreateDatabase(file);
  {
    TtiFBDatabase fb(file);
    fb.Connect();
    tiFBRunScript(fb, sql, "grid");
    fb.Disconnect();
  }
  tiFBRecordDigest(file);
  MessageRecorder shown;  // the tables this file lacks
  TPersistenceDB_FB p(file);
  p.Connect();

  EXPECT_DOUBLE_EQ(p.GetPFHInterpolated(cat3, 50, 0.55), 1.01e-7);
  EXPECT_DOUBLE_EQ(p.GetPFHInterpolated(cat3, 50, 0.6), 1.01e-7);
  EXPECT_NEAR(p.GetPFHInterpolated(cat3, 50, 0.5), 5e-8, 1e-20);
  EXPECT_NEAR(p.GetPFHInterpolated(cat3, 50, 0.65), 5e-8, 1e-20);
  // On the column that has both its points the value is there (log-log between 2e-6 and 1e-7).
  const double column = std::exp(std::log(2e-6) + std::log(1e-7 / 2e-6) * std::log(5.0) / std::log(10.0));
  EXPECT_NEAR(p.GetPFHInterpolated(cat2, 50, 0.6), column, column * 1e-12);
  EXPECT_EQ(p.GetPFHInterpolated(cat2, 50, 0.75), -1.0);
  EXPECT_EQ(p.GetPFHInterpolated(cat2, 50, 0.9), -1.0);
  EXPECT_DOUBLE_EQ(p.GetPFHInterpolated(cat4, 10, 0.9), 3e-7);
}

// ---- bands, PL, risk graph ----

TEST_F(PersistenceDBTest, DCAndMTTFdBands) {
  const std::pair<double, TDCDenotation> dc[] = {{0.0, dcNone}, {0.3, dcNone},   {0.6, dcLow},  {0.9, dcMedium},
                                                 {0.95, dcMedium}, {0.99, dcHigh}, {1.0, dcHigh}, {-1.0, dcForward},
                                                 {1.5, dcForward}, {std::nan(""), dcForward}};
  for (const auto& [v, band] : dc) EXPECT_EQ(db_->GetDCDenotation(v), band) << v;
  const std::pair<double, TMTTFdDenotation> mttfd[] = {
      {3.0, mttfLow},   {9.9, mttfLow},      {10.0, mttfMedium}, {30.0, mttfHigh},       {100.0, mttfHigh},
      {2500, mttfHigh}, {kInf, mttfHigh},    {2.0, mttfNoBand},  {-1.0, mttfNoBand}, {std::nan(""), mttfNoBand}};
  for (const auto& [v, band] : mttfd) EXPECT_EQ(db_->GetMTTFdDenotation(v), band) << v;
}

TEST_F(PersistenceDBTest, PLFromPFHAtBandEdges) {
  const std::pair<double, TPL> cases[] = {
      {1e-4, plN},      {5e-5, plA},  {1e-5, plA}, {1e-5 - 2e-14, plB}, {3e-6, plB}, {1e-6, plC},
      {1e-7, plD},      {1e-8, plE},  {9.99e-9, plN}, {0.0, plN},       {-1.0, plN}, {std::nan(""), plN},
      {kInf, plN}};
  for (const auto& [pfh, pl] : cases) EXPECT_EQ(db_->GetPLFromPFH(pfh), pl) << pfh;
  EXPECT_DOUBLE_EQ(db_->GetPLMeanPFH(plA), std::sqrt(1e-4 * 1e-5));
  EXPECT_DOUBLE_EQ(db_->GetPLMeanPFH(plD), std::sqrt(1e-6 * 1e-7));
  EXPECT_DOUBLE_EQ(db_->GetPLMeanPFH(plE), std::sqrt(1e-15));
  EXPECT_EQ(db_->GetPLMeanPFH(plN), -1.0);  // no band, no PFH (a PFH of 0 would be the best of all)

  SetPersistenceDB(std::move(db_));
  EXPECT_EQ(PFHToPL(5e-9), plE);
  EXPECT_EQ(PFHToPL(4e-8), plE);
  EXPECT_EQ(PFHToPL(-1.0), plN);
  std::string s;
  PFHToPLStr(s, 2e-6);
  EXPECT_EQ(s, "c");
  PFHToPLStr(s, 2e-4);
  EXPECT_EQ(s, "-");
}

TEST_F(PersistenceDBTest, RiskGraphForAllEightCombinations) {
  const TPL expected[2][2][2] = {{{plA, plB}, {plB, plC}}, {{plC, plD}, {plD, plE}}};
  for (uint8_t s = 0; s < 2; ++s)
    for (uint8_t f = 0; f < 2; ++f)
      for (uint8_t p = 0; p < 2; ++p)
        EXPECT_EQ(db_->GetPLrFromRiskParams(s, f, p), expected[s][f][p]) << int(s) << int(f) << int(p);
  EXPECT_EQ(db_->GetPLrFromRiskParams(2, 0, 0), plE);  // outside the graph: the strictest requirement
}

// ---- categories, conditions, constants ----

TEST_F(PersistenceDBTest, CategoryRequirementsOfAllFiveCategories) {
  struct Row {
    TCat cat;
    TMTTFdDenotationSet mttfd;
    TDCDenotationSet dcavg;
    bool ccf;
    int channels;
    int conditions;
  };
  const Row rows[] = {{catB, {mttfLow, mttfMedium}, {dcNone}, false, 1, 2},
                      {cat1, {mttfHigh}, {dcNone}, false, 1, 2},
                      {cat2, {mttfLow, mttfMedium, mttfHigh}, {dcLow, dcMedium}, true, 1, 4},
                      {cat3, {mttfLow, mttfMedium, mttfHigh}, {dcLow, dcMedium}, true, 2, 3},
                      {cat4, {mttfHigh}, {dcHigh}, true, 2, 3}};
  for (const Row& r : rows) {
    SCOPED_TRACE(EnumName(r.cat));
    TMTTFdDenotationSet m;
    TDCDenotationSet d;
    bool ccf = !r.ccf;
    db_->GetCatRequirements(r.cat, m, d, ccf);
    EXPECT_EQ(m.Bits(), r.mttfd.Bits());
    EXPECT_EQ(d.Bits(), r.dcavg.Bits());
    EXPECT_EQ(ccf, r.ccf);
    EXPECT_EQ(db_->GetChannelCount(r.cat), r.channels);
    TCatConditionList* list = db_->GetCatConditions(r.cat);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count(), r.conditions);
    EXPECT_EQ(db_->GetCatConditions(r.cat), list);  // the very same list
  }
  TCatConditionList* b = db_->GetCatConditions(catB);
  bool basic = false;
  for (int i = 0; i < b->Count(); ++i) {
    if (b->Items(i)->GetText() == "Apply basic safety principles.") {
      basic = true;
      EXPECT_EQ(b->Items(i)->GetCCID(), "7ac8dd7f-25c0-5e10-a791-e65703ad027e");
      EXPECT_EQ(b->Items(i)->GetOID().GetAsString(), "41d2b33b-c181-5043-9f8f-79633f730432");
    }
  }
  EXPECT_TRUE(basic);
  EXPECT_EQ(db_->LastError(), "");
  EXPECT_DOUBLE_EQ(db_->GetMinServiceLife(), 20.0);
  EXPECT_DOUBLE_EQ(db_->GetReqCCFScore(), 65.0);
}

TEST_F(PersistenceDBTest, PLConditionsAndSafetyFunctionTypesComeFromTheDatabase) {
  // Each PL has the conditions the standard sets for it; the stricter the PL, the more of them.
  const std::pair<TPL, int> counts[] = {{plA, 5}, {plB, 5}, {plC, 6}, {plD, 6}, {plE, 7}, {plN, 0}};
  std::set<std::string> oids;
  for (const auto& [pl, n] : counts) {
    SCOPED_TRACE(EnumName(pl));
    TPLConditionList* list = db_->GetPLConditions(pl);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Count(), n);
    EXPECT_EQ(db_->GetPLConditions(pl), list);  // the very same list
    for (int i = 0; i < list->Count(); ++i) {
      EXPECT_FALSE(list->Items(i)->GetText().empty());
      EXPECT_EQ(list->Items(i)->GetPLCID().size(), 36u);
      oids.insert(list->Items(i)->GetOID().GetAsString());
    }
  }
  EXPECT_EQ(oids.size(), 7u);  // one condition is one object, whichever PLs share it
  auto texts = [&](TPL pl) {
    std::string all;
    for (int i = 0; i < db_->GetPLConditions(pl)->Count(); ++i) all += db_->GetPLConditions(pl)->Items(i)->GetText() + "|";
    return all;
  };
  EXPECT_NE(texts(plA).find("The achieved PL is validated according to ISO 13849-2."), std::string::npos);
  EXPECT_EQ(texts(plD).find("IEC 61508-3 SIL 3"), std::string::npos);
  EXPECT_NE(texts(plE).find("IEC 61508-3 SIL 3"), std::string::npos);

  const std::vector<std::string>& types = db_->GetSFTypes();
  EXPECT_EQ(types.size(), 17u);
  const std::set<std::string> names(types.begin(), types.end());
  EXPECT_EQ(names.size(), types.size());
  EXPECT_TRUE(names.count("Safety-related stop function"));
  EXPECT_TRUE(names.count("Fluctuations, loss and restoration of power sources"));  // quoted in the table
  EXPECT_EQ(&db_->GetSFTypes(), &types);

  // The typical values of parts: a typical MTTFd or a B10d, never a number where the table has none.
  const std::vector<TTypicalMTTFd>* typical = db_->GetTypicalMTTFds();
  ASSERT_NE(typical, nullptr);
  ASSERT_EQ(typical->size(), 14u);
  std::map<std::string, const TTypicalMTTFd*> byName;
  for (const TTypicalMTTFd& t : *typical) byName[t.PartName] = &t;
  const TTypicalMTTFd& mech = *byName.at("Mechanical components");
  EXPECT_EQ(mech.WellTriedRef, "ISO 13849-2 Tables A.1, A.2");
  EXPECT_EQ(mech.TypicalMTTFd, 150.0);
  EXPECT_FALSE(mech.TypicalB10d.has_value());
  const TTypicalMTTFd& contactor = *byName.at("Contactors, nominal load");
  EXPECT_EQ(contactor.Standards, "IEC 60947");
  EXPECT_FALSE(contactor.TypicalMTTFd.has_value());
  EXPECT_EQ(contactor.TypicalB10d, 2e6);
  EXPECT_EQ(Queries([&] { EXPECT_EQ(db_->GetTypicalMTTFds(), typical); }), 0);
  EXPECT_EQ(db_->LastError(), "");
}

// ---- the tables in memory ----

TEST_F(PersistenceDBTest, TheTablesAreReadWhenConnectingAndNoLookUpQueriesTheFile) {
  // Connecting reads every table once; from then on no question reaches the file, however many distinct
  // values a project asks about (a query per value made large projects slow).
  TPersistenceDB_FB fresh(GeneralFile());
  fresh.Connect();
  const int64_t afterConnect = fresh.QueryCount();
  EXPECT_GT(afterConnect, 0);
  TMTTFdDenotationSet m;
  TDCDenotationSet d;
  bool ccf = false;
  fresh.GetCatConditions(cat2);
  fresh.GetPLConditions(plC);
  fresh.GetCatRequirements(cat3, m, d, ccf);
  EXPECT_EQ(fresh.GetChannelCount(cat4), 2);
  EXPECT_EQ(fresh.GetDCDenotation(0.75), dcLow);
  EXPECT_EQ(fresh.GetMTTFdDenotation(42.0), mttfHigh);
  EXPECT_GT(fresh.GetPFHInterpolated(cat3, 12.5, 0.75), 0.0);
  EXPECT_EQ(fresh.GetPFH(dcLow, cat3, 12.5), 2.49e-6);
  EXPECT_EQ(fresh.GetPLFromPFH(2e-6), plC);
  EXPECT_GT(fresh.GetPLMeanPFH(plB), 0.0);
  fresh.GetPLrFromRiskParams(1, 0, 1);
  EXPECT_DOUBLE_EQ(fresh.GetReqCCFScore(), 65.0);
  EXPECT_GT(fresh.GetMinServiceLife(), 0.0);
  EXPECT_FALSE(fresh.GetSFTypes().empty());
  for (int i = 0; i < 2000; ++i) {
    fresh.GetDCDenotation(0.0004 * i + 1e-6);
    fresh.GetMTTFdDenotation(3.0 + 0.05 * i);
    fresh.GetPFHInterpolated(cat3, 3.0 + 0.05 * i, 0.6 + 0.0001 * i);
  }
  EXPECT_EQ(fresh.QueryCount(), afterConnect);
  EXPECT_EQ(fresh.LastError(), "");
}

// The general database rounds as the model's RoundForBounds does (one rule): values that meet the tables as the
// same value share one answer, up to the largest values the rounding still reaches.
TEST_F(PersistenceDBTest, ValuesThatRoundAlikeShareOneQuery) {
  const double dc = 0.99;
  EXPECT_EQ(db_->GetDCDenotation(dc), dcHigh);
  EXPECT_EQ(Queries([&] { EXPECT_EQ(db_->GetDCDenotation(std::nextafter(dc, 0.0)), dcHigh); }), 0);
  for (double m : {30.0, 4.1e6}) {
    ASSERT_EQ(RoundForBounds(std::nextafter(m, 1e9)), m);
    EXPECT_EQ(db_->GetMTTFdDenotation(m), mttfHigh);
    EXPECT_EQ(Queries([&] { EXPECT_EQ(db_->GetMTTFdDenotation(std::nextafter(m, 1e9)), mttfHigh); }), 0) << m;
  }
}

// ---- failures ----

TEST_F(PersistenceDBTest, MissingOrWrongFileIsRefusedByName) {
  const std::string missing = dir_ + "/NoSuch.FDB";
  TPersistenceDB_FB none(missing);
  try {
    none.Connect();
    FAIL() << "connected to a missing file";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find(missing), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(none.IsConnected());
  // Asking without a connection is an error too, not a default answer.
  EXPECT_THROW(none.GetPLFromPFH(2e-6), EtiFBException);

  const std::string lib = dir_ + "/Lib.KLB";
  db_->CreateNewDatabase(lib);
  TPersistenceDB_FB wrong(lib);
  EXPECT_THROW(wrong.Connect(), EtiFBException);  // no digest recorded
  tiFBRecordDigest(lib);  // intact, but no general database
  try {
    wrong.Connect();
    FAIL() << "took a library file for the general database";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find(lib), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(wrong.IsConnected());
}

TEST_F(PersistenceDBTest, FailedLookupsAnswerTheirDefaultAndAreAskedAgain) {
  // A general database with its constants and bands but without the grids, PL bands, categories and graph.
  const std::string file = dir_ + "/Partial.FDB";
  TtiFBDatabase::CreateDatabase(file);
  {
    TtiFBDatabase fb(file);
    fb.Connect();
    tiFBRunScript(fb,
                  "CREATE TABLE Const (MinServiceLife DOUBLE PRECISION, ReqCCFScore DOUBLE PRECISION, NormVersion "
                  "VARCHAR(100));\n"
                  "CREATE TABLE DC (DC VARCHAR(8), DClower DOUBLE PRECISION, DCupper DOUBLE PRECISION, NormVersion "
                  "VARCHAR(100));\n"
                  "INSERT INTO Const VALUES (20, 65, 'ISO 13849-1:2006, ISO 13849-2:2003');\n"
                  "INSERT INTO DC VALUES ('dcLow', 0.6, 0.9, 'ISO 13849-1:2006, ISO 13849-2:2003');\n",
                  "partial");
    fb.Disconnect();
  }
  tiFBRecordDigest(file);
  MessageRecorder shown;
  TPersistenceDB_FB p(file);
  p.Connect();
  auto twice = [&](auto f, auto def) {
    for (int i = 0; i < 2; ++i) {
      const int64_t before = p.QueryCount();
      EXPECT_EQ(f(), def);
      EXPECT_GT(p.QueryCount(), before) << "a failed answer was cached";
    }
  };
  twice([&] { return p.GetPLFromPFH(2e-6); }, plA);
  twice([&] { return p.GetPFHInterpolated(cat3, 12.5, 0.75); }, -1.0);
  twice([&] { return p.GetPFH(dcLow, cat3, 12.5); }, -1.0);
  twice([&] { return p.GetMTTFdDenotation(42.0); }, mttfNoBand);  // never the best band
  twice([&] { return p.GetChannelCount(cat3); }, -1);
  twice([&] { return p.GetPLrFromRiskParams(0, 0, 0); }, plE);
  // A failed read is told apart from "no conditions required".
  twice([&] { return p.GetCatConditions(cat2) == nullptr; }, true);
  twice([&] { return p.GetPLConditions(plC) == nullptr; }, true);
  twice(
      [&] {
        TMTTFdDenotationSet m{mttfLow};
        TDCDenotationSet d{dcLow};
        bool ccf = false;
        p.GetCatRequirements(cat3, m, d, ccf);
        return m.Empty() && d.Empty() && ccf;  // the CCF counts when it is not known whether it does
      },
      true);
  twice([&] { return p.GetPLMeanPFH(plB); }, -1.0);
  twice([&] { return p.GetTypicalMTTFds() == nullptr; }, true);
  EXPECT_NE(p.LastError(), "");
  // Each table that failed is reported once, by name; asking again does not repeat it.
  std::vector<std::string> tables;
  for (const auto& m : shown.Messages()) {
    EXPECT_EQ(m.icon, MsgIcon::Error);
    EXPECT_NE(m.text.find("general database \"" + file + "\""), std::string::npos) << m.text;
    const auto at = m.text.find("Reading table ");
    ASSERT_NE(at, std::string::npos) << m.text;
    tables.push_back(m.text.substr(at + 14, m.text.find(' ', at + 14) - at - 14));
  }
  std::sort(tables.begin(), tables.end());
  EXPECT_EQ(tables, (std::vector<std::string>{"Cat", "CatReqConditions", "CatReqDCavg", "CatReqMTTFd", "GEPMTTFd",
                                              "MTTFd", "PFH", "PFHi", "PLReqConditions", "PLs", "RiskParams"}));
  // What the file does hold is answered and cached.
  EXPECT_EQ(p.GetDCDenotation(0.75), dcLow);
  EXPECT_DOUBLE_EQ(p.GetReqCCFScore(), 65.0);
}

TEST_F(PersistenceDBTest, EachGeneralDatabaseAnswersBandsFromItsOwnTables) {
  // Two files whose DC and MTTFd bands differ; one thread asks both for the same values in turn, and a third
  // object is made where the first was (the bands the thread remembers must not cross over).
  auto make = [&](const std::string& name, const char* dc, const char* mttfd) {
    const std::string file = dir_ + "/" + name + ".FDB";
    TtiFBDatabase::CreateDatabase(file);
    TtiFBDatabase fb(file);
    fb.Connect();
    tiFBRunScript(fb,
                  std::string("CREATE TABLE Const (MinServiceLife DOUBLE PRECISION, ReqCCFScore DOUBLE PRECISION, "
                              "NormVersion VARCHAR(100));\n"
                              "INSERT INTO Const VALUES (20, 65, 'ISO 13849-1:2006, ISO 13849-2:2003');\n"
                              "CREATE TABLE DC (DC VARCHAR(8), DClower DOUBLE PRECISION, DCupper DOUBLE PRECISION, "
                              "NormVersion VARCHAR(100));\n"
                              "CREATE TABLE MTTFd (MTTFd VARCHAR(10), MTTFdlower DOUBLE PRECISION, MTTFdupper DOUBLE "
                              "PRECISION, NormVersion VARCHAR(100));\n"
                              "INSERT INTO DC VALUES ('") +
                      dc + "', 0.6, 0.9, 'ISO 13849-1:2006, ISO 13849-2:2003');\nINSERT INTO MTTFd VALUES ('" + mttfd +
                      "', 3, 100, 'ISO 13849-1:2006, ISO 13849-2:2003');\n",
                  name);
    fb.Disconnect();
    TtiFBDatabase::SetReadOnlyMode(file, true);  // as shipped: attaching changes no byte
    tiFBRecordDigest(file);
    return file;
  };
  const std::string a = make("BandsA", "dcLow", "mttfLow"), b = make("BandsB", "dcMedium", "mttfHigh");
  MessageRecorder shown;  // the tables these files lack are reported, which is not what is tested here
  auto pa = std::make_unique<TPersistenceDB_FB>(a);
  TPersistenceDB_FB pb(b);
  pa->Connect();
  pb.Connect();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pa->GetDCDenotation(0.75), dcLow);
    EXPECT_EQ(pb.GetDCDenotation(0.75), dcMedium);
    EXPECT_EQ(pa->GetMTTFdDenotation(42.0), mttfLow);
    EXPECT_EQ(pb.GetMTTFdDenotation(42.0), mttfHigh);
  }
  pa.reset();
  pa = std::make_unique<TPersistenceDB_FB>(b);
  pa->Connect();
  EXPECT_EQ(pa->GetDCDenotation(0.75), dcMedium);
  EXPECT_EQ(pa->GetMTTFdDenotation(42.0), mttfHigh);
}

// ---- library files ----

TEST_F(PersistenceDBTest, CreatesLibraryFilesAndReportsFailure) {
  const std::string lib = dir_ + "/New.KLB";
  db_->CreateNewDatabase(lib);
  TtiFBDatabase fb(lib);
  fb.Connect();
  TtiFBTransaction tr(fb);
  tr.Start(true);
  TtiFBStatement q(fb, tr);
  for (const char* table : {"Next_OID", "LibMetaData", "Components", "ComponentOps", "Channels", "ChannelOps", "Blocs",
                            "BlocOps", "Elements", "ElementOps", "DCMeasures", "DCMeasureInsuffPLs", "DCMeasureOps",
                            "CCFMeasures", "CCFMeasureOps", "CatConditions", "CatConditionOps", "PLConditions",
                            "PLConditionOps"}) {
    q.SetSQL(std::string("SELECT COUNT(*) FROM ") + table);
    EXPECT_NO_THROW(q.Open()) << table;
    if (q.Active()) q.Close();
  }
  tr.Commit();
  fb.Disconnect();

  // An existing file is neither overwritten nor reported as created.
  const auto size = fs::file_size(lib);
  try {
    db_->CreateNewDatabase(lib);
    FAIL() << "created over an existing file";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find(lib), std::string::npos) << e.Message();
  }
  EXPECT_EQ(fs::file_size(lib), size);
  EXPECT_THROW(db_->CreateNewDatabase(dir_ + "/no/such/folder/X.KLB"), EtiFBException);
  EXPECT_FALSE(fs::exists(dir_ + "/no/such/folder/X.KLB"));
  EXPECT_THROW(db_->CreateNewDatabase(""), EtiFBException);
  // The general database holds no library tables and is read-only: emptying them reports the failure.
  EXPECT_ANY_THROW(db_->EmptyLibraryTables());
}

// ---- the accessor ----

TEST_F(PersistenceDBTest, AccessorCreatesTheObjectOnTheConfiguredFile) {
  ASSERT_TRUE(SetDatabaseDatabaseNameGen(GeneralFile()));
  RegisterPersistenceDB();
  TPersistenceDB& first = PersistenceDB();
  EXPECT_EQ(&PersistenceDB(), &first);
  auto* fb = dynamic_cast<TPersistenceDB_FB*>(&first);
  ASSERT_NE(fb, nullptr);
  EXPECT_EQ(first.ClassName(), "TPersistenceDB_FB");
  EXPECT_EQ(fb->DatabaseName(), GeneralFile());
  EXPECT_FALSE(first.IsConnected());
  first.Connect();
  EXPECT_DOUBLE_EQ(GetReqCCFScore(), 65.0);
  EXPECT_EQ(GetChannelCount(cat3), 2);
  EXPECT_DOUBLE_EQ(GetPFHInterpolated(cat4, 30, 0.99), 9.54e-8);
  fb->SetOpenLibFileNameSource([] { return std::string("/libs/Lib.KLB"); });
  std::string name;
  GetOpenLibFileName(name);
  EXPECT_EQ(name, "/libs/Lib.KLB");
  PersistenceDBShutdown();
  EXPECT_FALSE(PersistenceDBAssigned());
}

// ---- a damaged machine ----

TEST_F(PersistenceDBTest, DamagedGeneralDatabaseIsRefusedAndReadingChangesNoByte) {
  // A copy that may be written (as a user's copy may be): reading it still changes nothing.
  const std::string copy = dir_ + "/Gen.FDB";
  fs::copy_file(GeneralFile(), copy);
  fs::copy_file(tiFBDigestFileName(GeneralFile()), tiFBDigestFileName(copy));
  fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write);
  const std::string before = tiFBFileDigest(copy);
  // Nor does a marker beside it, as a writer that died would leave: its readers never validate it.
  std::ofstream(tiFBWriteMarkerName(copy)) << "left by a writer that died";
  const int64_t repairs = tiFBInterruptedWriteRepairs();
  {
    TPersistenceDB_FB p(copy);
    p.Connect();
    EXPECT_DOUBLE_EQ(p.GetPFHInterpolated(cat4, 30, 0.99), 9.54e-8);
    EXPECT_EQ(p.GetMTTFdDenotation(42.0), mttfHigh);
    EXPECT_EQ(p.GetPLrFromRiskParams(1, 1, 1), plE);
    p.Disconnect();
    p.Connect();
    EXPECT_EQ(p.GetPLFromPFH(2e-6), plC);
  }
  EXPECT_EQ(tiFBFileDigest(copy), before);
  EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs);
  EXPECT_NO_THROW(tiFBCheckDigest(GeneralFile()));  // nor did anything before change the file the build made

  // Twenty flipped bits spread over the file: no page checksum would see them.
  {
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    const auto size = static_cast<std::streamoff>(fs::file_size(copy));
    for (int k = 0; k < 20; ++k) {
      const std::streamoff at = size * (k + 1) / 21;
      f.seekg(at);
      const char c = static_cast<char>(f.get() ^ (1 << (k % 8)));
      f.seekp(at);
      f.put(c);
    }
  }
  TPersistenceDB_FB damaged(copy);
  try {
    damaged.Connect();
    FAIL() << "a damaged general database was opened";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find("\"" + copy + "\" is damaged"), std::string::npos) << e.Message();
  }
  EXPECT_FALSE(damaged.IsConnected());

  // Without a recorded digest the file cannot be checked: refused as well.
  const std::string bare = dir_ + "/Bare.FDB";
  fs::copy_file(GeneralFile(), bare);
  TPersistenceDB_FB unchecked(bare);
  try {
    unchecked.Connect();
    FAIL() << "a general database without digest was opened";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find(bare), std::string::npos) << e.Message();
  }
}

TEST_F(PersistenceDBTest, NonAsciiPaths) {
  const std::string folder = dir_ + "/Größe €uro";
  fs::create_directories(folder);
  const std::string general = folder + "/Allgemein.FDB";
  fs::copy_file(GeneralFile(), general);
  fs::copy_file(tiFBDigestFileName(GeneralFile()), tiFBDigestFileName(general));
  TPersistenceDB_FB p(general);
  p.Connect();
  EXPECT_EQ(p.GetChannelCount(cat3), 2);
  const std::string lib = folder + "/Bibliothek Jürgen.KLB";
  p.CreateNewDatabase(lib);
  TtiFBDatabase fb(lib);
  fb.Connect();
  TtiFBTransaction tr(fb);
  tr.Start(true);
  TtiFBStatement q(fb, tr);
  q.SetSQL("SELECT COUNT(*) FROM Components");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger(0), 0);
}

TEST_F(PersistenceDBTest, LibraryCreationOnAFullDiskLeavesNoFile) {
  // Run by a second program, in whose view alone the small file system is mounted.
  const std::string disk = dir_ + "/disk";
  const std::string lib = disk + "/Neu.KLB";
  const auto run =
      kelvado::testing::RunPeer({"--tmpfs", disk, "256k", "newlib", lib, "ls", disk, "newlib", lib, "ls", disk});
  if (run.Skipped()) SKIP_OUTSIDE_CI(run.out);
  EXPECT_EQ(run.end, "exit 0") << run.out;
  const std::string error = "error newlib: Cannot create database \"" + lib + "\":";
  const auto first = run.out.find(error);
  ASSERT_NE(first, std::string::npos) << run.out;
  EXPECT_NE(run.out.find(error, first + 1), std::string::npos) << run.out;  // not "the file exists already"
  EXPECT_EQ(run.out.find("exists"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("ok ls: "), std::string::npos) << run.out;
}

// ---- threads ----

TEST_F(PersistenceDBTest, OneObjectServesTwoThreads) {
  // Distinct values, so that both threads keep reaching the database and filling the caches at the same time.
  std::atomic<int> wrong{0};
  auto work = [&](int t) {
    for (int i = 0; i < 300; ++i) {
      const double dc = 0.6 + 0.0009 * i + 1e-7 * t;  // dcLow
      const double m = 10.0 + 0.05 * i + 1e-6 * t;   // mttfMedium
      if (db_->GetDCDenotation(dc) != dcLow) ++wrong;
      if (db_->GetMTTFdDenotation(m) != mttfMedium) ++wrong;
      if (!(db_->GetPFHInterpolated(cat3, m, dc) > 0.0)) ++wrong;
      if (db_->GetPLFromPFH(2e-6 + 1e-9 * i + 1e-12 * t) != plC) ++wrong;
      if (db_->GetCatConditions(static_cast<TCat>(i % 5))->Count() < 2) ++wrong;
    }
  };
  std::thread a(work, 1);
  std::thread b(work, 2);
  a.join();
  b.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(db_->LastError(), "");
}
