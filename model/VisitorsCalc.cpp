// The calculator pool and the element, block and channel operations of the 13849 calculators. The subsystem
// and safety-function operations are in VisitorsCalcComponent.cpp.
#include "model/VisitorsCalc.h"

#include <cmath>
#include <limits>
#include <string>

#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMElement.h"
#include "model/GlobalsLookups.h"

namespace kelvado {

void RefuseDet(TDetermination stored) { throw EInvalidDet(msgDetNotSupported, {std::string(EnumName(stored))}); }

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The DC of a missing or deleted DC measure: the minimum DC.
constexpr double kMinimumDC = cDCMinimum;

// A child counts unless it is marked deleted (posDelete or posDeleted).
bool Counts(const TtiObject* child) { return child && !child->GetDeleted(); }

// Determination of the MTTFd an element is asked for by its block: the B10d formula exactly when UseB10d.
TDetermination ElementMTTFdDet(const TElementOp& e) {
  return e.GetElement() && e.GetElement()->GetUseB10d() ? detSubItems : detDirect;
}

double MeasureDC(const TDCMeasureOp* m) { return Counts(m) ? m->GetDC() : kMinimumDC; }

// A child's value as `calc` gives it. The nodes cache exactly what the pool's calculators give, so the pool's
// calculators read the children's caches: after a change only the nodes on its path to the root are computed
// again. Any other calculator computes the children itself.
double ElementMTTFd(TMTTFdCalc& calc, TElementOp& e) {
  if (&calc == &CalcPool().GetMTTFdCalc()) return e.GetMTTFdLazy();
  TMTTFdDenotation ignored;
  return e.GetMTTFd(calc, ignored, ElementMTTFdDet(e));
}

double ElementDC(TDCCalc& calc, TElementOp& e) {
  if (&calc == &CalcPool().GetDCCalc()) return e.GetDCLazy();
  TDCDenotation ignored;
  return e.GetDC(calc, ignored, detUnknown);
}

double BlocMTTFd(TMTTFdCalc& calc, TBlocOp& b) {
  if (&calc == &CalcPool().GetMTTFdCalc()) return b.GetMTTFdLazy();
  TMTTFdDenotation ignored;
  return b.GetMTTFd(calc, ignored, detUnknown);
}

double BlocDC(TDCCalc& calc, TBlocOp& b) {
  if (&calc == &CalcPool().GetDCCalc()) return b.GetDCLazy();
  TDCDenotation ignored;
  return b.GetDC(calc, ignored, detUnknown);
}

}  // namespace

// ---- TWeightedDC ----

bool TWeightedDC::Add(double mttfd, double dc) {
  if (failed_) return false;
  if (mttfd == kInf) return true;
  if (!(mttfd > 0.0) || !(dc >= 0.0)) {  // NaN counts as undeterminable too
    failed_ = true;
    return false;
  }
  s1_ += dc / mttfd;
  s2_ += 1.0 / mttfd;
  return true;
}

double TWeightedDC::Result() const {
  if (failed_) return -1.0;
  if (s2_ == 0.0) return kInf;
  return s1_ / s2_;
}

// ---- TMTTFdCalc13849: element, block, channel ----

double TMTTFdCalc13849::CalcElementMTTFd(TElementOp& node, TMTTFdDenotation& band, TDetermination det) {
  double result = -1.0;  // no element: no value
  if (const TElement* e = node.GetElement()) {
    if (det == detDirect) {
      result = e->GetMTTFd();
    } else {
      result = e->GetB10d() / (0.1 * node.GetNop());
      // An infinite B10d with Nop not entered (+infinity) gives no number: without Nop no MTTFd can be
      // derived, as for any other B10d.
      if (std::isnan(result)) result = 0.0;
    }
  }
  band = GetMTTFdDenotation(result);
  return result;
}

double TMTTFdCalc13849::CalcBlocMTTFd(TBlocOp& node, TMTTFdDenotation& band, TDetermination det) {
  const TBloc* b = node.GetBloc();
  const TDetermination stored = b ? b->GetMTTFdDet() : detSubItems;
  if (det == detUnknown) det = stored;
  double result = -1.0;
  switch (det) {
    case detDirect:
      if (b) result = b->GetMTTFd();
      break;
    case detSubItems: {
      // Parts count: the failure rates of the elements add up.
      double s = 0.0;
      const TElementOpList& list = *node.GetElementOpList();
      for (int i = 0; i < list.GetCount(); ++i) {
        TElementOp* e = list.Items(i);
        if (!Counts(e)) continue;
        const double m = ElementMTTFd(*this, *e);
        if (m > 0.0) s += 1.0 / m;
        else if (m == 0.0) s = kInf;
        // a negative MTTFd (no value) is left out
      }
      result = s == 0.0 ? kInf : 1.0 / s;
      break;
    }
    default:
      RefuseDet(b ? stored : det);
  }
  band = GetMTTFdDenotation(result);
  return result;
}

double TMTTFdCalc13849::CalcChannelMTTFd(TChannelOp& node, TMTTFdDenotation& band) {
  double s = 0.0;
  const TBlocOpList& list = *node.GetBlocOpList();
  for (int i = 0; i < list.GetCount(); ++i) {
    TBlocOp* b = list.Items(i);
    if (!Counts(b)) continue;
    const double m = BlocMTTFd(*this, *b);
    // Unlike the block's rule, a block without a value stops the chain: the channel MTTFd becomes 0.
    if (m > 0.0) s += 1.0 / m;
    else s = kInf;
  }
  const double result = s == 0.0 ? kInf : 1.0 / s;
  band = GetMTTFdDenotation(result);
  return result;
}

// ---- TDCCalc13849: element, block, channel ----

TMTTFdCalc& TDCCalc13849::MTTFdCalc() { return CalcPool().GetMTTFdCalc(); }

double TDCCalc13849::CalcElementDC(TElementOp& node, TDCDenotation& band, TDetermination det) {
  double result = -1.0;  // no element: no value
  if (const TElement* e = node.GetElement()) {
    const TDetermination stored = e->GetDCDet();
    if (det == detUnknown) det = stored;
    switch (det) {
      case detDirect:
        result = e->GetDC();
        break;
      case detMeasures:
        result = MeasureDC(e->GetDCMeasureOp());
        break;
      default:
        RefuseDet(stored);
    }
  }
  band = GetDCDenotation(result);
  return result;
}

double TDCCalc13849::CalcBlocDC(TBlocOp& node, TDCDenotation& band, TDetermination det) {
  const TBloc* b = node.GetBloc();
  const TDetermination stored = b ? b->GetDCDet() : detSubItems;
  if (det == detUnknown) det = stored;
  double result = -1.0;
  switch (det) {
    case detDirect:
      if (b) result = b->GetDC();
      break;
    case detSubItems: {
      TWeightedDC avg;
      TMTTFdCalc& mttfdCalc = MTTFdCalc();
      const TElementOpList& list = *node.GetElementOpList();
      for (int i = 0; i < list.GetCount(); ++i) {
        TElementOp* e = list.Items(i);
        if (!Counts(e)) continue;
        const double m = ElementMTTFd(mttfdCalc, *e);
        const double d = ElementDC(*this, *e);
        if (!avg.Add(m, d)) break;
      }
      result = avg.Result();
      break;
    }
    case detMeasures:
      result = b ? MeasureDC(b->GetDCMeasureOp()) : kMinimumDC;
      break;
    default:
      RefuseDet(b ? stored : det);
  }
  band = GetDCDenotation(result);
  return result;
}

double TDCCalc13849::CalcChannelDC(TChannelOp& node, TDCDenotation& band) {
  TWeightedDC avg;
  TMTTFdCalc& mttfdCalc = MTTFdCalc();
  const TBlocOpList& list = *node.GetBlocOpList();
  for (int i = 0; i < list.GetCount(); ++i) {
    TBlocOp* b = list.Items(i);
    if (!Counts(b)) continue;
    const double m = BlocMTTFd(mttfdCalc, *b);
    const double d = BlocDC(*this, *b);
    if (!avg.Add(m, d)) break;
  }
  const double result = avg.Result();
  band = GetDCDenotation(result);
  return result;
}

// ---- TPLCalc13849 helpers ----

TDCCalc& TPLCalc13849::DCCalc() { return CalcPool().GetDCCalc(); }
TMTTFdCalc& TPLCalc13849::MTTFdCalc() { return CalcPool().GetMTTFdCalc(); }

// ---- The pool ----

std::unique_ptr<TCCFCalc> NewCCFCalc13849() { return std::make_unique<TCCFCalc13849>(); }
std::unique_ptr<TDCCalc> NewDCCalc13849() { return std::make_unique<TDCCalc13849>(); }
std::unique_ptr<TMTTFdCalc> NewMTTFdCalc13849() { return std::make_unique<TMTTFdCalc13849>(); }
std::unique_ptr<TPLCalc> NewPLCalc13849() { return std::make_unique<TPLCalc13849>(); }

TCCFCalcClass CCFCalcClass = &NewCCFCalc13849;
TDCCalcClass DCCalcClass = &NewDCCalc13849;
TMTTFdCalcClass MTTFdCalcClass = &NewMTTFdCalc13849;
TPLCalcClass PLCalcClass = &NewPLCalc13849;

TVisCalcPool::TVisCalcPool() {
  SetCCFCalc(CCFCalcClass);
  SetDCCalc(DCCalcClass);
  SetMTTFdCalc(MTTFdCalcClass);
  SetPLCalc(PLCalcClass);
}

TVisCalcPool::~TVisCalcPool() = default;

void TVisCalcPool::SetCCFCalc(TCCFCalcClass cls) {
  ccfCalc_.reset();
  ccfCalc_ = cls();
}

void TVisCalcPool::SetDCCalc(TDCCalcClass cls) {
  dcCalc_.reset();
  dcCalc_ = cls();
}

void TVisCalcPool::SetMTTFdCalc(TMTTFdCalcClass cls) {
  mttfdCalc_.reset();
  mttfdCalc_ = cls();
}

void TVisCalcPool::SetPLCalc(TPLCalcClass cls) {
  plCalc_.reset();
  plCalc_ = cls();
}

namespace {
std::unique_ptr<TVisCalcPool>& PoolSlot() {
  static std::unique_ptr<TVisCalcPool> pool;
  return pool;
}
}  // namespace

std::atomic<TVisCalcPool*> calc_detail::gPool{nullptr};

TVisCalcPool& calc_detail::CreatePool() {
  std::unique_ptr<TVisCalcPool>& slot = PoolSlot();
  if (!slot) slot = std::make_unique<TVisCalcPool>();
  gPool.store(slot.get(), std::memory_order_release);
  return *slot;
}

void CalcPoolShutdown() {
  calc_detail::gPool.store(nullptr, std::memory_order_release);
  PoolSlot().reset();
}

}  // namespace kelvado
