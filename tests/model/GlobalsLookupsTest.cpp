// The standard lookups of unit Globals over an in-memory general database, and the accessor that holds it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "model/Exceptions.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"

using namespace kelvado;

namespace {

// The PL bands of the standard; no answer to anything else.
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
  void GetCatRequirements(TCat, TMTTFdDenotationSet&, TDCDenotationSet&, bool&) override {}
  int32_t GetChannelCount(TCat) override { return -1; }
  TDCDenotation GetDCDenotation(double) override { return dcForward; }
  double GetMinServiceLife() override { return -1.0; }
  TMTTFdDenotation GetMTTFdDenotation(double) override { return mttfNoBand; }
  double GetPFH(TDCDenotation, TCat, double) override { return -1.0; }
  double GetPFHInterpolated(TCat, double, double) override { return -1.0; }
  double GetPLMeanPFH(TPL pl) override { return pl == plE ? std::sqrt(1e-15) : 0.0; }
  TPL GetPLFromPFH(double pfh) override {
    if (std::isnan(pfh)) return nanAnswer;
    const double lower[] = {1e-5, 3e-6, 1e-6, 1e-7, 1e-8};
    const double upper[] = {1e-4, 1e-5, 3e-6, 1e-6, 1e-7};
    for (int i = 0; i < 5; ++i)
      if (pfh >= lower[i] && pfh < upper[i]) return static_cast<TPL>(i);
    return plN;
  }
  TPL GetPLrFromRiskParams(uint8_t, uint8_t, uint8_t) override { return plE; }
  double GetReqCCFScore() override { return -1.0; }
  const std::vector<std::string>& GetSFTypes() override { return types_; }
  std::string GetOpenLibFileName() override { return ""; }

  TPL nanAnswer = plN;

private:
  int* destroyed_;
  std::vector<std::string> types_;
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
  EXPECT_EQ(MTTFdDenotationToStr(mttfNoBand), "-");
}
