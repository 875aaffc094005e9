// The standard lookups of unit Globals over an in-memory general database, and the accessor that holds it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/Exceptions.h"
#include "model/GlobalsLookups.h"

using namespace kelvado;

namespace {

// The PL bands of the standard and fixed answers for the rest; counts what it is asked.
class TFakeDB : public TPersistenceDB {
public:
  explicit TFakeDB(int* destroyed = nullptr) : destroyed_(destroyed) {}
  ~TFakeDB() override {
    if (destroyed_) ++*destroyed_;
  }
  bool IsConnected() const override { return true; }
  void EmptyLibraryTables() override {}
  void Connect() override {}
  void CreateNewDatabase(const std::string&) override {}
  void Disconnect() override {}
  TCatConditionList* GetCatConditions(TCat) override { return nullptr; }
  TPLConditionList* GetPLConditions(TPL) override { return nullptr; }
  void GetCatRequirements(TCat, TMTTFdDenotationSet& m, TDCDenotationSet& d, bool& ccf) override {
    m = {mttfHigh};
    d = {dcHigh};
    ccf = true;
  }
  int32_t GetChannelCount(TCat c) override { return c >= cat3 ? 2 : 1; }
  TDCDenotation GetDCDenotation(double) override { return dcLow; }
  double GetMinServiceLife() override { return 20.0; }
  TMTTFdDenotation GetMTTFdDenotation(double) override { return mttfMedium; }
  double GetPFH(TDCDenotation, TCat, double) override { return 1e-6; }
  double GetPFHInterpolated(TCat, double, double) override { return 2e-7; }
  double GetPLMeanPFH(TPL pl) override { return pl == plE ? std::sqrt(1e-15) : 0.0; }
  TPL GetPLFromPFH(double pfh) override {
    ++plQueries;
    if (std::isnan(pfh)) return nanAnswer;
    const double lower[] = {1e-5, 3e-6, 1e-6, 1e-7, 1e-8};
    const double upper[] = {1e-4, 1e-5, 3e-6, 1e-6, 1e-7};
    for (int i = 0; i < 5; ++i)
      if (pfh >= lower[i] && pfh < upper[i]) return static_cast<TPL>(i);
    return plN;
  }
  TPL GetPLrFromRiskParams(uint8_t s, uint8_t f, uint8_t p) override { return static_cast<TPL>(s + f + p); }
  double GetReqCCFScore() override { return 65.0; }
  const std::vector<std::string>& GetSFTypes() override { return types_; }
  std::string GetOpenLibFileName() override { return "/libs/A.KLB"; }

  int plQueries = 0;
  TPL nanAnswer = plN;

private:
  int* destroyed_;
  std::vector<std::string> types_{"Stop"};
};

class GlobalsLookupsTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto db = std::make_unique<TFakeDB>();
    fake_ = db.get();
    SetPersistenceDB(std::move(db));
  }
  void TearDown() override {
    PersistenceDBShutdown();
    RegisterPersistenceDBFactory(nullptr);
  }
  TFakeDB* fake_ = nullptr;
};

}  // namespace

TEST_F(GlobalsLookupsTest, PFHToPLKeepsBandsAndLiftsOnlyTheRangeBelowPlE) {
  EXPECT_EQ(PFHToPL(5e-5), plA);
  EXPECT_EQ(PFHToPL(2e-6), plC);
  EXPECT_EQ(PFHToPL(1e-8), plE);
  // Below every band but better than plE asks: plE. 0 included.
  EXPECT_EQ(PFHToPL(0.0), plE);
  EXPECT_EQ(PFHToPL(5e-9), plE);
  // No PL for a negative PFH (no value), for 1e-4 and above, and for NaN the database's answer.
  EXPECT_EQ(PFHToPL(-1.0), plN);
  EXPECT_EQ(PFHToPL(1e-4), plN);
  EXPECT_EQ(PFHToPL(std::numeric_limits<double>::infinity()), plN);
  EXPECT_EQ(PFHToPL(std::nan("")), plN);
  fake_->nanAnswer = plForward;
  EXPECT_EQ(PFHToPL(std::nan("")), plForward);

  std::string s;
  PFHToPLStr(s, 0.0);
  EXPECT_EQ(s, "e");
  PFHToPLStr(s, -1.0);
  EXPECT_EQ(s, "-");
  PFHToPLStr(s, 2e-7);
  EXPECT_EQ(s, "d");
}

TEST_F(GlobalsLookupsTest, WrappersForwardToTheRegisteredObject) {
  TMTTFdDenotationSet m;
  TDCDenotationSet d;
  bool ccf = false;
  GetCatRequirements(cat4, m, d, ccf);
  EXPECT_TRUE(m.Contains(mttfHigh));
  EXPECT_FALSE(m.Contains(mttfLow));
  EXPECT_TRUE(d.Contains(dcHigh));
  EXPECT_TRUE(ccf);
  EXPECT_EQ(GetChannelCount(cat3), 2);
  EXPECT_EQ(GetDCDenotation(0.7), dcLow);
  EXPECT_EQ(GetMTTFdDenotation(20), mttfMedium);
  EXPECT_EQ(GetPFHInterpolated(cat3, 20, 0.7), 2e-7);
  EXPECT_EQ(GetPLrFromRiskParams(1, 1, 0), plC);
  EXPECT_EQ(GetReqCCFScore(), 65.0);
  EXPECT_EQ(GetSFTypes().size(), 1u);
  std::string name;
  GetOpenLibFileName(name);
  EXPECT_EQ(name, "/libs/A.KLB");
}

TEST(PersistenceDBAccessor, CreatesOnceFreesOnShutdownAndNeedsAnImplementation) {
  PersistenceDBShutdown();
  RegisterPersistenceDBFactory(nullptr);
  EXPECT_THROW(PersistenceDB(), EKelvado);
  EXPECT_FALSE(PersistenceDBAssigned());

  int created = 0, destroyed = 0;
  RegisterPersistenceDBFactory([&] {
    ++created;
    return std::make_unique<TFakeDB>(&destroyed);
  });
  TPersistenceDB& db = PersistenceDB();
  EXPECT_EQ(&PersistenceDB(), &db);
  EXPECT_EQ(created, 1);
  // Replacing frees the old object.
  SetPersistenceDB(std::make_unique<TFakeDB>(&destroyed));
  EXPECT_EQ(destroyed, 1);
  PersistenceDBShutdown();
  EXPECT_EQ(destroyed, 2);
  EXPECT_FALSE(PersistenceDBAssigned());
  PersistenceDB();
  EXPECT_EQ(created, 2);
  PersistenceDBShutdown();
  RegisterPersistenceDBFactory(nullptr);
  EXPECT_EQ(destroyed, 3);
}

TEST(EnumSets, HoldOnlyValuesOfTheEnumeration) {
  TMTTFdDenotationSet s{mttfLow, mttfHigh};
  EXPECT_TRUE(s.Contains(mttfLow));
  EXPECT_FALSE(s.Contains(mttfMedium));
  s.Include(mttfNoBand);  // no band is no member
  EXPECT_FALSE(s.Contains(mttfNoBand));
  EXPECT_EQ(s, (TMTTFdDenotationSet{mttfHigh, mttfLow}));
  s.Exclude(mttfLow);
  s.Exclude(mttfHigh);
  EXPECT_TRUE(s.Empty());
}
