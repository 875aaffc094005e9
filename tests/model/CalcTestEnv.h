#pragma once
// Fixture of the element, block, channel and calculator tests: a private settings store, a language file whose
// texts name their own number and arguments ("[3291] d"), a small in-memory general database with the
// standard's bands, and a fresh calculator pool per test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/MsgStrings.h"
#include "model/PersistenceDBAbs.h"
#include "model/VisitorsCalc.h"
#include "platform/Registry.h"

namespace kelvado::testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The standard's bands as the general database holds them, values rounded to 9 decimals as the real one does.
class TFakeStandardDB : public TPersistenceDB {
public:
  int mttfdBandCalls = 0;
  int dcBandCalls = 0;
  int channelCount[5] = {1, 1, 1, 2, 2};
  TPL plr = plE;

  bool IsConnected() const override { return true; }
  void EmptyLibraryTables() override {}
  void Connect() override {}
  void CreateNewDatabase(const std::string&) override { throw EKelvado("not offered by the test database"); }
  void Disconnect() override {}
  TCatConditionList* GetCatConditions(TCat) override { return &catConditions_; }
  TPLConditionList* GetPLConditions(TPL) override { return &plConditions_; }
  void GetCatRequirements(TCat, TMTTFdDenotationSet& m, TDCDenotationSet& d, bool& ccf) override {
    m = {mttfLow, mttfMedium, mttfHigh};
    d = {dcNone, dcLow, dcMedium, dcHigh};
    ccf = false;
  }
  int32_t GetChannelCount(TCat cat) override { return channelCount[cat]; }
  TDCDenotation GetDCDenotation(double dc) override {
    ++dcBandCalls;
    dc = Round9(dc);
    if (!(dc >= 0.0) || dc > 1.0) return dcForward;
    if (dc < 0.6) return dcNone;
    if (dc < 0.9) return dcLow;
    if (dc < 0.99) return dcMedium;
    return dcHigh;
  }
  double GetMinServiceLife() override { return 20.0; }
  TMTTFdDenotation GetMTTFdDenotation(double m) override {
    ++mttfdBandCalls;
    m = Round9(m);
    if (!(m >= 3.0)) return mttfNoBand;
    if (m < 10.0) return mttfLow;
    if (m < 30.0) return mttfMedium;
    return mttfHigh;
  }
  double GetPFH(TDCDenotation, TCat, double) override { return -1.0; }
  double GetPFHInterpolated(TCat, double, double) override { return -1.0; }
  double GetPLMeanPFH(TPL) override { return 0.0; }
  TPL GetPLFromPFH(double) override { return plN; }
  TPL GetPLrFromRiskParams(uint8_t, uint8_t, uint8_t) override { return plr; }
  double GetReqCCFScore() override { return 65.0; }
  const std::vector<std::string>& GetSFTypes() override { return sfTypes_; }
  std::string GetOpenLibFileName() override { return {}; }

private:
  static double Round9(double v) { return std::isfinite(v) ? std::nearbyint(v * 1e9) / 1e9 : v; }
  TCatConditionList catConditions_;
  TPLConditionList plConditions_;
  std::vector<std::string> sfTypes_;
};

// The subsystem's MTTFd as the tests need it until the subsystem operations exist: the smallest MTTFd of the
// channels the category uses.
class TTestMTTFdCalc : public TMTTFdCalc13849 {
public:
  double CalcComponentMTTFd(TComponentOp& node, TMTTFdDenotation& band, TDetermination) override {
    double m = kInf;
    for (TChannelOp* ch : node.UsedChannels()) {
      TMTTFdDenotation b;
      m = std::min(m, ch->GetMTTFd(*this, b));
    }
    band = ::kelvado::GetMTTFdDenotation(m);
    return m;
  }
};

class CalcTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_calc_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/reg");
    SetCurrentUserRegistry(std::make_unique<FileRegistry>(dir_ + "/reg"));
    ResetConfig();
    ReleaseMsgStrings();
    const std::string lang = dir_ + "/Lang.txt";
    {
      std::ofstream out(lang, std::ios::binary);
      // Every text shows its number and its first three arguments, so tests see what was reported.
      for (int n : {3, 4, 114, 115, 391})
        out << n << "=T" << n << "\n";
      for (int n = 1000; n < 1100; ++n) out << n << "=[" << n << "] %s|%s|%s\n";
      for (int n = 3250; n < 3300; ++n) out << n << "=[" << n << "] %s|%s|%s\n";
    }
    RegWriteString("lang", "lngdll", lang);
    auto db = std::make_unique<TFakeStandardDB>();
    db_ = db.get();
    SetPersistenceDB(std::move(db));
    CalcPoolShutdown();
    CalcPool().SetMTTFdCalc([]() -> std::unique_ptr<TMTTFdCalc> { return std::make_unique<TTestMTTFdCalc>(); });
  }
  void TearDown() override {
    CalcPoolShutdown();
    PersistenceDBShutdown();
    ReleaseMsgStrings();
    ResetConfig();
    SetCurrentUserRegistry(nullptr);
    std::filesystem::remove_all(dir_);
  }

  // Options of section opt, read anew after ResetConfig.
  void SetOpt(const std::string& key, bool value) {
    RegWriteBool("opt", key, value);
    ResetConfig();
  }

  static std::unique_ptr<TElementOp> Element(double mttfd, double dc = 0.0, const std::string& name = "E") {
    auto op = std::make_unique<TElementOp>();
    auto e = std::make_unique<TElement>();
    e->SetName(name);
    e->SetMTTFd(mttfd);
    e->SetDC(dc);
    op->SetElement(std::move(e));
    return op;
  }
  static std::unique_ptr<TBlocOp> Bloc(const std::string& name = "B") {
    auto op = std::make_unique<TBlocOp>();
    auto b = std::make_unique<TBloc>();
    b->SetName(name);
    op->SetBloc(std::move(b));
    return op;
  }
  // A block with one element per MTTFd.
  static std::unique_ptr<TBlocOp> BlocOf(std::initializer_list<double> mttfds) {
    auto b = Bloc();
    for (double m : mttfds) b->GetElementOpList()->Add(Element(m));
    return b;
  }
  // A block whose own MTTFd is entered directly.
  static std::unique_ptr<TBlocOp> DirectBloc(double mttfd) {
    auto b = Bloc();
    b->GetBloc()->SetMTTFdDet(detDirect);
    b->GetBloc()->SetMTTFd(mttfd);
    return b;
  }
  static std::unique_ptr<TChannelOp> Channel() {
    auto op = std::make_unique<TChannelOp>();
    op->SetChannel(std::make_unique<TChannel>());
    return op;
  }
  static std::unique_ptr<TTestChannelOp> TestChannel() {
    auto op = std::make_unique<TTestChannelOp>();
    op->SetChannel(std::make_unique<TTestChannel>());
    return op;
  }
  static std::unique_ptr<TComponentOp> Subsystem(TCat cat) {
    auto op = std::make_unique<TComponentOp>();
    auto c = std::make_unique<TComponent>();
    c->SetName("S");
    c->SetCat(cat);
    op->SetComponent(std::move(c));
    return op;
  }

  // Numbers of the messages a status check reported, in order, with their status.
  static std::vector<std::string> Messages(TPerObjAbsEx& node, bool recursive = false) {
    TStatusMessages messages;
    node.CheckStatus(&messages, recursive);
    return messages.Lines();
  }

  std::string dir_;
  TFakeStandardDB* db_ = nullptr;  // owned by the general-database slot
};

}  // namespace kelvado::testing
