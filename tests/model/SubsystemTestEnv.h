#pragma once
// Fixture of the subsystem, safety-function and project tests: a private settings store, a language file whose
// texts name their own number and arguments ("[3272] ||"), an in-memory general database that answers from the
// standard's tables (bands, category rules, PL bands, risk graph, required CCF score) and records the PFH
// questions it is asked, and a fresh calculator pool per test.
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
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/MsgStrings.h"
#include "model/PersistenceDBAbs.h"
#include "model/VisitorsCalc.h"
#include "platform/Registry.h"

namespace kelvado::testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The standard's tables (EN ISO 13849-1:2006, as resources/db holds them) for everything but the PFH grid:
// GetPFHInterpolated records its arguments and answers `pfh` (or `pfhOf` when set).
class TStandardTablesDB : public TPersistenceDB {
public:
  int pfhCalls = 0;
  TCat lastCat = catB;
  double lastMTTFd = -1.0;
  double lastDCavg = -1.0;
  double pfh = 5e-7;
  std::function<double(TCat, double, double)> pfhOf;
  double reqCCFScore = 65.0;
  int channelCount[5] = {1, 1, 1, 2, 2};

  TStandardTablesDB() {
    // Category B: two conditions; category 3: one; the others none (enough to test the lookup by text/id).
    auto add = [this](TCat cat, const std::string& id, const std::string& text) {
      auto c = std::make_unique<TCatCondition>();
      c->SetCCID(id);
      c->SetText(text);
      catConditions_[cat].Add(std::move(c));
    };
    add(catB, "{B1}", "Withstand the expected influences.");
    add(catB, "{B2}", "Apply basic safety principles.");
    add(cat3, "{C3}", "A single fault does not cause loss of the safety function.");
  }

  bool IsConnected() const override { return true; }
  void EmptyLibraryTables() override {}
  void Connect() override {}
  void CreateNewDatabase(const std::string&) override { throw EKelvado("not offered by the test database"); }
  void Disconnect() override {}
  TCatConditionList* GetCatConditions(TCat cat) override { return &catConditions_[cat]; }
  TPLConditionList* GetPLConditions(TPL) override { return &plConditions_; }
  // Table CatReqMTTFd / CatReqDCavg / Cat.CCFRelevant.
  void GetCatRequirements(TCat cat, TMTTFdDenotationSet& m, TDCDenotationSet& d, bool& ccf) override {
    switch (cat) {
      case catB: m = {mttfLow, mttfMedium}; d = {dcNone}; ccf = false; break;
      case cat1: m = {mttfHigh}; d = {dcNone}; ccf = false; break;
      case cat2: m = {mttfLow, mttfMedium, mttfHigh}; d = {dcLow, dcMedium}; ccf = true; break;
      case cat3: m = {mttfLow, mttfMedium, mttfHigh}; d = {dcLow, dcMedium}; ccf = true; break;
      case cat4: m = {mttfHigh}; d = {dcHigh}; ccf = true; break;
    }
  }
  int32_t GetChannelCount(TCat cat) override { return channelCount[cat]; }
  // Table DC: [0, 0.6) none, [0.6, 0.9) low, [0.9, 0.99) medium, [0.99, 1] high (a shared bound belongs to
  // the higher band).
  TDCDenotation GetDCDenotation(double dc) override {
    if (!(dc >= 0.0) || dc > 1.0) return dcForward;
    if (dc < 0.6) return dcNone;
    if (dc < 0.9) return dcLow;
    if (dc < 0.99) return dcMedium;
    return dcHigh;
  }
  double GetMinServiceLife() override { return 20.0; }
  // Table MTTFd: [3, 10) low, [10, 30) medium, from 30 high; below 3 no band.
  TMTTFdDenotation GetMTTFdDenotation(double m) override {
    if (!(m >= 3.0)) return mttfNoBand;
    if (m < 10.0) return mttfLow;
    if (m < 30.0) return mttfMedium;
    return mttfHigh;
  }
  double GetPFH(TDCDenotation, TCat, double) override { return -1.0; }
  double GetPFHInterpolated(TCat cat, double mttfd, double dcavg) override {
    ++pfhCalls;
    lastCat = cat;
    lastMTTFd = mttfd;
    lastDCavg = dcavg;
    return pfhOf ? pfhOf(cat, mttfd, dcavg) : pfh;
  }
  // Table PLs: a [1e-5, 1e-4), b [3e-6, 1e-5), c [1e-6, 3e-6), d [1e-7, 1e-6), e [1e-8, 1e-7).
  double GetPLMeanPFH(TPL pl) override {
    switch (pl) {
      case plA: return std::sqrt(1e-5 * 1e-4);
      case plB: return std::sqrt(3e-6 * 1e-5);
      case plC: return std::sqrt(1e-6 * 3e-6);
      case plD: return std::sqrt(1e-7 * 1e-6);
      case plE: return std::sqrt(1e-15);
      default: return 0.0;
    }
  }
  TPL GetPLFromPFH(double p) override {
    if (!(p > 0.0) || p >= 1e-4) return plN;
    if (p >= 1e-5) return plA;
    if (p >= 3e-6) return plB;
    if (p >= 1e-6) return plC;
    if (p >= 1e-7) return plD;
    if (p >= 1e-8) return plE;
    return plN;
  }
  // Table RiskParams (0 = S1/F1/P1, 1 = S2/F2/P2).
  TPL GetPLrFromRiskParams(uint8_t s, uint8_t f, uint8_t p) override {
    static const TPL graph[2][2][2] = {{{plA, plB}, {plB, plC}}, {{plC, plD}, {plD, plE}}};
    if (s > 1 || f > 1 || p > 1) return plE;
    return graph[s][f][p];
  }
  double GetReqCCFScore() override { return reqCCFScore; }
  const std::vector<std::string>& GetSFTypes() override { return sfTypes_; }
  std::string GetOpenLibFileName() override { return {}; }

private:
  TCatConditionList catConditions_[5];
  TPLConditionList plConditions_;
  std::vector<std::string> sfTypes_;
};

class SubsystemTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_sub_" + std::to_string(getpid()) + "_" +
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
      for (int n : {3, 4, 25, 101, 102, 103, 111, 112, 113, 114, 115, 324, 354, 391, 401, 402, 403, 404, 405, 408})
        out << n << "=T" << n << "\n";
      for (int n = 1000; n < 1100; ++n) out << n << "=[" << n << "] %s|%s|%s\n";
      for (int n = 3250; n < 3400; ++n) out << n << "=[" << n << "] %s|%s|%s\n";
    }
    RegWriteString("lang", "lngdll", lang);
    auto db = std::make_unique<TStandardTablesDB>();
    db_ = db.get();
    SetPersistenceDB(std::move(db));
    CalcPoolShutdown();
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

  static std::unique_ptr<TElementOp> Element(double mttfd, double dc = 0.0) {
    auto op = std::make_unique<TElementOp>();
    auto e = std::make_unique<TElement>();
    e->SetName("E");
    e->SetMTTFd(mttfd);
    e->SetDC(dc);
    op->SetElement(std::move(e));
    return op;
  }
  // A block with one element per (MTTFd, DC) pair.
  static std::unique_ptr<TBlocOp> Bloc(std::initializer_list<std::pair<double, double>> elements) {
    auto op = std::make_unique<TBlocOp>();
    auto b = std::make_unique<TBloc>();
    b->SetName("B");
    op->SetBloc(std::move(b));
    for (auto [m, dc] : elements) op->GetElementOpList()->Add(Element(m, dc));
    return op;
  }
  // A channel of blocks with one element each, given as (MTTFd, DC) pairs.
  static std::unique_ptr<TChannelOp> Channel(std::initializer_list<std::pair<double, double>> blocs) {
    auto op = std::make_unique<TChannelOp>();
    op->SetChannel(std::make_unique<TChannel>());
    for (auto e : blocs) op->GetBlocOpList()->Add(Bloc({e}));
    return op;
  }
  static std::unique_ptr<TTestChannelOp> TestChannel(double mttfd) {
    auto op = std::make_unique<TTestChannelOp>();
    op->SetChannel(std::make_unique<TTestChannel>());
    op->GetBlocOpList()->Add(Bloc({{mttfd, 0.0}}));
    return op;
  }
  static std::unique_ptr<TComponentOp> Subsystem(TCat cat, const std::string& name = "S") {
    auto op = std::make_unique<TComponentOp>();
    auto c = std::make_unique<TComponent>();
    c->SetName(name);
    c->SetCat(cat);
    op->SetComponent(std::move(c));
    return op;
  }
  // A subsystem whose PFH is entered directly (bound to its PL unless `pl` is given).
  static std::unique_ptr<TComponentOp> DirectSubsystem(double pfh, TPL pl = plForward) {
    auto op = Subsystem(cat4);
    TComponent& c = *op->GetComponent();
    c.SetPLDet(detDirect);
    c.SetPFH(pfh);
    if (pl != plForward) {
      c.SetIsPLPFHBind(false);
      c.SetPLDirectNoBind(pl);
    }
    return op;
  }
  static std::unique_ptr<TSFOp> SafetyFunction(const std::string& name = "SF") {
    auto op = std::make_unique<TSFOp>();
    auto sf = std::make_unique<TSF>();
    sf->SetName(name);
    op->SetSF(std::move(sf));
    return op;
  }

  // The message numbers a status check reported, with their status: "isRed=[3272]".
  static std::vector<std::string> Messages(TPerObjAbsEx& node, bool recursive = false) {
    TStatusMessages messages;
    node.CheckStatus(&messages, recursive);
    std::vector<std::string> out;
    for (const std::string& line : messages.Lines()) {
      const size_t close = line.find(']');
      out.push_back(close == std::string::npos ? line : line.substr(0, close + 1));
    }
    return out;
  }
  static bool Has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
  }

  std::string dir_;
  TStandardTablesDB* db_ = nullptr;  // owned by the general-database slot
};

}  // namespace kelvado::testing
