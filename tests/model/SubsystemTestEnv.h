#pragma once
// Fixture of the subsystem, safety-function and project tests: a private settings store, a language file whose
// texts name their own number and arguments ("[3272] ||"), an in-memory general database that answers from the
// standard's tables (bands, category rules, PL bands, risk graph, required CCF score) and records the PFH
// questions it is asked, and a fresh calculator pool per test.
#include <algorithm>
#include <cmath>
#include <functional>
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
#include "model/GlobalsLookups.h"
#include "model/VisitorsCalc.h"
#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {

// The standard's tables (EN ISO 13849-1:2006, as resources/db holds them) for everything but the PFH grid:
// GetPFHInterpolated records its arguments and answers `pfh` (or `pfhOf` when set).
class TStandardTablesDB : public TTestGeneralDB {
public:
  int pfhCalls = 0;
  TCat lastCat = catB;
  double lastMTTFd = -1.0;
  double lastDCavg = -1.0;
  double pfh = 5e-7;
  std::function<double(TCat, double, double)> pfhOf;
  double reqCCFScore = 65.0;

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

  bool catConditionsFail = false;  // the table cannot be read
  TCatConditionList* GetCatConditions(TCat cat) override { return catConditionsFail ? nullptr : &catConditions_[cat]; }
  TPLConditionList plConditions;  // the conditions of every PL
  TPLConditionList* GetPLConditions(TPL) override { return &plConditions; }
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

private:
  TCatConditionList catConditions_[5];
};

class SubsystemTest : public SettingsTest {
protected:
  SubsystemTest() : SettingsTest("kv_sub_") {}
  void SetUp() override {
    SettingsTest::SetUp();
    UseOwnLang();
    WriteNumberedLang({3, 4, 25, 101, 102, 103, 111, 112, 113, 114, 115, 324, 354, 391, 401, 402, 403, 404, 405, 408},
                      3399);
    auto db = std::make_unique<TStandardTablesDB>();
    db_ = db.get();
    SetPersistenceDB(std::move(db));
    CalcPoolShutdown();
  }
  void TearDown() override {
    CalcPoolShutdown();
    PersistenceDBShutdown();
    SettingsTest::TearDown();
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

  TStandardTablesDB* db_ = nullptr;  // owned by the general-database slot
};

}  // namespace kelvado::testing
