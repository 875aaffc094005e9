#pragma once
// Fixture of the element, block, channel and calculator tests: a private settings store, a language file whose
// texts name their own number and arguments ("[3291] d"), a small in-memory general database with the
// standard's bands, and a fresh calculator pool per test.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMSF.h"
#include "model/GlobalsLookups.h"
#include "model/VisitorsCalc.h"
#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {

// The standard's bands as the general database holds them; the look-ups hand it values rounded to 9 decimals.
class TFakeStandardDB : public TTestGeneralDB {
public:
  int mttfdBandCalls = 0;
  int dcBandCalls = 0;
  TPL plr = plE;

  TCatConditionList* GetCatConditions(TCat) override { return &catConditions_; }
  void GetCatRequirements(TCat, TMTTFdDenotationSet& m, TDCDenotationSet& d, bool& ccf) override {
    m = {mttfLow, mttfMedium, mttfHigh};
    d = {dcNone, dcLow, dcMedium, dcHigh};
    ccf = false;
  }
  TDCDenotation GetDCDenotation(double dc) override {
    ++dcBandCalls;
    return TTestGeneralDB::GetDCDenotation(dc);
  }
  TMTTFdDenotation GetMTTFdDenotation(double m) override {
    ++mttfdBandCalls;
    return TTestGeneralDB::GetMTTFdDenotation(m);
  }
  double GetPFHInterpolated(TCat, double, double) override { return -1.0; }
  double GetPLMeanPFH(TPL) override { return 0.0; }
  TPL GetPLFromPFH(double) override { return plN; }
  TPL GetPLrFromRiskParams(uint8_t, uint8_t, uint8_t) override { return plr; }
  double GetReqCCFScore() override { return 65.0; }

private:
  TCatConditionList catConditions_;
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

class CalcTest : public SettingsTest {
protected:
  CalcTest() : SettingsTest("kv_calc_") {}
  void SetUp() override {
    SettingsTest::SetUp();
    UseOwnLang();
    WriteNumberedLang({3, 4, 114, 115, 391}, 3299);
    auto db = std::make_unique<TFakeStandardDB>();
    db_ = db.get();
    SetPersistenceDB(std::move(db));
    CalcPoolShutdown();
    CalcPool().SetMTTFdCalc([]() -> std::unique_ptr<TMTTFdCalc> { return std::make_unique<TTestMTTFdCalc>(); });
  }
  void TearDown() override {
    CalcPoolShutdown();
    PersistenceDBShutdown();
    SettingsTest::TearDown();
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

  TFakeStandardDB* db_ = nullptr;  // owned by the general-database slot
};

}  // namespace kelvado::testing
