// The general database file that the build puts beside the program: its tables, row counts and answers to
// the look-up queries the program runs against it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <tuple>

#include "framework/tiFirebird.h"
#include "tests/storage/db/GeneralDBTestEnv.h"

using namespace kelvado;
namespace fs = std::filesystem;
using kelvado::testing::GeneralFile;

namespace {

const char* const kEdition = "ISO 13849-1:2006, ISO 13849-2:2003";

class GeneralDatabaseFile : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(GeneralFile())) << GeneralFile();
    db_ = std::make_unique<TtiFBDatabase>(GeneralFile());
    db_->Connect();
    tr_ = std::make_unique<TtiFBTransaction>(*db_);
    tr_->Start(true);
    q_ = std::make_unique<TtiFBStatement>(*db_, *tr_);
  }
  void TearDown() override {
    q_.reset();
    tr_.reset();
    db_.reset();
  }
  // Opens SQL with the current edition bound to :NormVersion (when named).
  TtiFBStatement& Query(const std::string& sql) {
    q_->SetSQL(sql);
    if (q_->HasParam("NormVersion")) q_->SetParamString("NormVersion", kEdition);
    return *q_;
  }
  std::string FirstText(TtiFBStatement& q) {
    q.Open();
    return q.Eof() ? "" : q.FieldAsString(0);
  }

  std::unique_ptr<TtiFBDatabase> db_;
  std::unique_ptr<TtiFBTransaction> tr_;
  std::unique_ptr<TtiFBStatement> q_;
};

}  // namespace

TEST_F(GeneralDatabaseFile, HoldsEveryTableWithTheStandardsRows) {
  const std::vector<std::pair<const char*, int>> counts = {
      {"Cat", 5},           {"CatReqMTTFd", 10}, {"CatReqDCavg", 7}, {"CatConditions", 11},
      {"CatReqConditions", 14}, {"PLConditions", 7}, {"PLReqConditions", 29}, {"DC", 4},
      {"MTTFd", 3},         {"Const", 1},        {"PFH", 205},       {"PFHi", 205},
      {"PLs", 5},           {"RiskParams", 8},   {"SFTypes", 17},    {"GEPMTTFd", 14}};
  for (const auto& [table, n] : counts) {
    auto& q = Query(std::string("SELECT COUNT(*) FROM ") + table + " WHERE NormVersion = :NormVersion");
    q.Open();
    EXPECT_EQ(q.FieldAsInteger(0), n) << table;
    auto& all = Query(std::string("SELECT COUNT(*) FROM ") + table);
    all.Open();
    EXPECT_EQ(all.FieldAsInteger(0), n) << table << ": rows of another edition";
  }
}

TEST_F(GeneralDatabaseFile, IsReadOnly) {
  struct stat sb {};
  ASSERT_EQ(::stat(GeneralFile().c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0222, 0u);
  tr_->Commit();
  tr_->Start();
  try {
    db_->ExecuteImmediate(*tr_, "DELETE FROM PLs");
    FAIL() << "the general database accepted a change";
  } catch (const EtiFBException& e) {
    EXPECT_NE(e.Message().find(GeneralFile()), std::string::npos) << e.Message();
  }
}

TEST_F(GeneralDatabaseFile, BandLookupsPutSharedBoundsInTheUpperBand) {
  const std::string dcSql =
      "SELECT DC FROM DC WHERE (:DC BETWEEN DClower AND DCupper) AND (NormVersion = :NormVersion) "
      "ORDER BY DClower DESC ";
  for (const auto& [dc, band] : std::vector<std::pair<double, std::string>>{
           {0.0, "dcNone"}, {0.59, "dcNone"}, {0.6, "dcLow"}, {0.9, "dcMedium"}, {0.98, "dcMedium"},
           {0.99, "dcHigh"}, {1.0, "dcHigh"}, {1.01, ""}}) {
    auto& q = Query(dcSql);
    q.SetParamDouble("DC", dc);
    EXPECT_EQ(FirstText(q), band) << dc;
  }
  const std::string mttfdSql =
      "SELECT MTTFd FROM MTTFd WHERE (:MTTFd BETWEEN MTTFdlower AND MTTFdupper) AND (NormVersion = :NormVersion) "
      "ORDER BY MTTFdlower DESC ";
  for (const auto& [m, band] : std::vector<std::pair<double, std::string>>{
           {2.9, ""}, {3.0, "mttfLow"}, {10.0, "mttfMedium"}, {29.9, "mttfMedium"}, {30.0, "mttfHigh"},
           {100.0, "mttfHigh"}, {101.0, ""}, {INFINITY, ""}}) {
    auto& q = Query(mttfdSql);
    q.SetParamDouble("MTTFd", m);
    EXPECT_EQ(FirstText(q), band) << m;
  }
  const std::string plSql =
      "SELECT PL FROM PLs WHERE (:PFH >= PFHlower) AND (:PFH < PFHupper) AND (NormVersion = :NormVersion)";
  for (const auto& [pfh, pl] : std::vector<std::pair<double, std::string>>{
           {1e-8, "plE"}, {9.9e-8, "plE"}, {1e-7, "plD"}, {2.9e-6, "plC"}, {3e-6, "plB"}, {1e-5, "plA"},
           {9.99e-5, "plA"}, {1e-4, ""}, {9e-9, ""}}) {
    auto& q = Query(plSql);
    q.SetParamDouble("PFH", pfh);
    EXPECT_EQ(FirstText(q), pl) << pfh;
  }
  auto& mean = Query("SELECT PFHupper, PFHlower FROM PLs WHERE (PL = :PL) AND (NormVersion = :NormVersion)");
  mean.SetParamString("PL", "plD");
  mean.Open();
  EXPECT_DOUBLE_EQ(std::sqrt(mean.FieldAsFloat("PFHupper") * mean.FieldAsFloat("PFHlower")), std::sqrt(1e-13));
}

TEST_F(GeneralDatabaseFile, CategoryRiskGraphAndConstants) {
  auto& ch = Query("SELECT ChannelCount FROM Cat WHERE (Cat = :Cat) AND (Cat.NormVersion = :NormVersion)");
  ch.SetParamString("Cat", "cat3");
  ch.Open();
  EXPECT_EQ(ch.FieldAsInteger(0), 2);
  auto& ccf = Query("SELECT CCFRelevant FROM Cat WHERE (Cat = :Cat) AND (NormVersion = :NormVersion)");
  ccf.SetParamString("Cat", "cat1");
  ccf.Open();
  EXPECT_EQ(ccf.FieldAsInteger(0), 0);

  auto& m = Query("SELECT MTTFd FROM Cat INNER JOIN CatReqMTTFd ON (Cat.Cat = CatReqMTTFd.Cat) "
                  "WHERE (Cat.Cat = :Cat) AND (Cat.NormVersion = :NormVersion)");
  m.SetParamString("Cat", "catB");
  std::set<std::string> bands;
  for (m.Open(); !m.Eof(); m.Next()) bands.insert(m.FieldAsString(0));
  EXPECT_EQ(bands, (std::set<std::string>{"mttfLow", "mttfMedium"}));
  auto& d = Query("SELECT DCavg FROM Cat INNER JOIN CatReqDCavg ON (Cat.Cat = CatReqDCavg.Cat) "
                  "WHERE (Cat.Cat = :Cat) AND (Cat.NormVersion = :NormVersion)");
  d.SetParamString("Cat", "cat4");
  EXPECT_EQ(FirstText(d), "dcHigh");

  auto& cond = Query("SELECT CatCondition, OID, Text, CCID FROM CatReqConditions INNER JOIN CatConditions ON "
                     "CatCondition = OID WHERE (Cat = :Cat) AND (CatReqConditions.NormVersion = :NormVersion)");
  cond.SetParamString("Cat", "cat2");
  int n = 0;
  for (cond.Open(); !cond.Eof(); cond.Next(), ++n) {
    EXPECT_EQ(cond.FieldAsString("OID").size(), 36u);
    EXPECT_EQ(cond.FieldAsString("CCID").size(), 36u);  // fits the library's condition identifier
    EXPECT_FALSE(cond.FieldAsString("Text").empty());
  }
  EXPECT_EQ(n, 4);

  const std::string rp = "SELECT PL FROM RiskParams WHERE (ParamS = :RiskParamS) AND (ParamF = :RiskParamF) AND "
                         "(ParamP = :RiskParamP) AND (NormVersion = :NormVersion)";
  for (const auto& [s, f, p, pl] : std::vector<std::tuple<int, int, int, std::string>>{
           {0, 0, 0, "plA"}, {0, 1, 1, "plC"}, {1, 0, 0, "plC"}, {1, 1, 1, "plE"}}) {
    auto& q = Query(rp);
    q.SetParamInteger("RiskParamS", s);
    q.SetParamInteger("RiskParamF", f);
    q.SetParamInteger("RiskParamP", p);
    EXPECT_EQ(FirstText(q), pl) << s << f << p;
  }

  auto& c = Query("SELECT MinServiceLife, ReqCCFScore FROM Const WHERE NormVersion = :NormVersion");
  c.Open();
  EXPECT_EQ(c.FieldAsFloat("MinServiceLife"), 20.0);
  EXPECT_EQ(c.FieldAsFloat("ReqCCFScore"), 65.0);

  auto& parts = Query("SELECT PartName, WellTriedRef, Standards, TypicalMTTFd, TypicalB10d FROM GEPMTTFd "
                      "WHERE (NormVersion = :NormVersion)");
  int rows = 0;
  for (parts.Open(); !parts.Eof(); parts.Next(), ++rows)
    EXPECT_NE(parts.FieldIsNull("TypicalMTTFd"), parts.FieldIsNull("TypicalB10d")) << parts.FieldAsString(0);
  EXPECT_EQ(rows, 14);
}

TEST_F(GeneralDatabaseFile, PfhGridsServeTableStepAndInterpolation) {
  // Table step: the largest grid MTTFd not above the argument.
  auto& step = Query("SELECT PFH FROM PFH WHERE Cat = :Cat AND DCavg = :DCavg AND MTTFd <= :MTTFd AND "
                     "NormVersion = :NormVersion ORDER BY MTTFd DESC ");
  step.SetParamString("Cat", "cat3");
  step.SetParamString("DCavg", "dcMedium");
  step.SetParamDouble("MTTFd", 64.0);  // grid rows 62 and 68
  step.Open();
  EXPECT_DOUBLE_EQ(step.FieldAsFloat(0), 8.84e-8);
  // Category 2 has no "none" column.
  step.SetParamString("Cat", "cat2");
  step.SetParamString("DCavg", "dcNone");
  step.Open();
  EXPECT_TRUE(step.Eof());

  // Interpolation grid: neighbours and corner values.
  const std::string neighbour = "SELECT DISTINCT DCavg FROM PFHi WHERE DCavg <= :DCavg AND       Cat = :Cat AND  "
                                "     NormVersion = :NormVersion ORDER BY DCavg DESC";
  auto& low = Query(neighbour);
  low.SetParamDouble("DCavg", 0.75);
  low.SetParamString("Cat", "cat3");
  low.Open();
  EXPECT_EQ(low.FieldAsFloat(0), 0.6);
  auto& corner = Query("SELECT PFH FROM PFHi WHERE Cat = :Cat AND DCavg = :DCavg AND MTTFd = :MTTFd AND "
                       "NormVersion = :NormVersion ");
  corner.SetParamString("Cat", "cat3");
  corner.SetParamDouble("DCavg", 0.6);
  corner.SetParamDouble("MTTFd", 100.0);
  corner.Open();
  EXPECT_DOUBLE_EQ(corner.FieldAsFloat(0), 1.01e-7);  // Category 3 with low DC stays at PL d
  corner.SetParamString("Cat", "cat4");
  corner.SetParamDouble("DCavg", 0.99);
  corner.SetParamDouble("MTTFd", 30.0);
  corner.Open();
  EXPECT_DOUBLE_EQ(corner.FieldAsFloat(0), 9.54e-8);
  // Exact band values: the grid's DC numbers compare equal to the literals a caller passes.
  auto& dcs = Query("SELECT DISTINCT DCavg FROM PFHi ORDER BY DCavg");
  std::vector<double> got;
  for (dcs.Open(); !dcs.Eof(); dcs.Next()) got.push_back(dcs.FieldAsFloat(0));
  EXPECT_EQ(got, (std::vector<double>{0.0, 0.6, 0.9, 0.99}));
}

TEST_F(GeneralDatabaseFile, NumbersAreTheDoublesNearestToTheStandardsDecimals) {
  // Every value of the standard has at most 15 significant digits; a value the engine parsed one unit in the
  // last place off would print the same decimal but not read back to itself.
  const std::vector<std::pair<const char*, const char*>> columns = {
      {"DC", "DClower"},    {"DC", "DCupper"},  {"MTTFd", "MTTFdlower"}, {"MTTFd", "MTTFdupper"},
      {"PLs", "PFHlower"},  {"PLs", "PFHupper"}, {"PFH", "MTTFd"},        {"PFH", "PFH"},
      {"PFHi", "DCavg"},    {"PFHi", "MTTFd"},   {"PFHi", "PFH"},         {"Const", "MinServiceLife"},
      {"Const", "ReqCCFScore"}, {"GEPMTTFd", "TypicalMTTFd"}, {"GEPMTTFd", "TypicalB10d"}};
  for (const auto& [table, column] : columns) {
    auto& q = Query(std::string("SELECT ") + column + " FROM " + table + " WHERE " + column + " IS NOT NULL");
    int n = 0;
    for (q.Open(); !q.Eof(); q.Next(), ++n) {
      const double v = q.FieldAsFloat(0);
      char text[32];
      std::snprintf(text, sizeof text, "%.15g", v);
      EXPECT_EQ(std::strtod(text, nullptr), v) << table << "." << column << " " << text;
    }
    EXPECT_GT(n, 0) << table << "." << column;
  }
}
