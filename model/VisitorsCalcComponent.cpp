// The subsystem and safety-function operations of the 13849 calculators: CCF score, DCavg, subsystem MTTFd
// (cap, symmetrisation, test channel), subsystem PL and safety-function PL.
//
// Children's values are taken from their caches when this calculator is the pool's (the caches are filled by
// the pool's calculators, so the numbers are the same): after a change only the nodes on the path from the
// change to the root compute again.
#include "model/VisitorsCalc.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"

namespace kelvado {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool IsRealPL(TPL pl) { return pl >= plA && pl <= plE; }

// The PL of a PFH read back from its PL text: "-" (a negative PFH, 1e-4 and above) is no PL.
TPL PLOfPFH(double pfh) {
  const TPL pl = PFHToPL(pfh);
  return IsRealPL(pl) ? pl : plN;
}

// The cap of the MTTFd values of one subsystem: values from 3 years up are limited to the category's upper
// limit; values below 3 years (no band) and +infinity stay. The limit depends on options and is read once per
// computation, when first needed.
class TMTTFdCapper {
public:
  explicit TMTTFdCapper(TCat cat) : cat_(cat) {}
  double operator()(double m) {
    if (!(m >= MTTFdMin()) || std::isinf(m)) return m;
    if (cap_ < 0.0) cap_ = MTTFdCap(cat_);
    return m > cap_ ? cap_ : m;
  }

private:
  TCat cat_;
  double cap_ = -1.0;
};

double ChannelMTTFd(TMTTFdCalc& calc, TChannelOp& ch) {
  if (&calc == &CalcPool().GetMTTFdCalc()) return ch.GetMTTFdLazy();
  TMTTFdDenotation band;
  return ch.GetMTTFd(calc, band);
}

double ChannelDC(TDCCalc& calc, TChannelOp& ch) {
  if (&calc == &CalcPool().GetDCCalc()) return ch.GetDCLazy();
  TDCDenotation band;
  return ch.GetDC(calc, band);
}

}  // namespace

// ---- CCF ----

bool TCCFCalc13849::CalcComponentCCF(TComponentOp& node, double& score, TDetermination det) {
  score = 0.0;
  const TComponent* c = node.GetComponent();
  if (!c) return false;
  if (det == detUnknown) det = c->GetCCFScoreDet();
  switch (det) {
    case detDirect:
      score = c->GetCCFScore();
      break;
    case detMeasures: {
      const TCCFMeasureOpList& ops = *c->GetCCFMeasureOps();
      for (int i = 0; i < ops.GetCount(); ++i) {
        const TCCFMeasureOp* op = ops.Items(i);
        if (op->GetDeleted() || !op->GetIsSatisfied() || !op->GetCCFMeasure()) continue;
        score += op->GetCCFMeasure()->GetScore();
      }
      break;
    }
    default:
      RefuseDet(c->GetCCFScoreDet());
  }
  // A required score that could not be read is never met.
  const double required = GetReqCCFScore();
  return required >= 0.0 && RoundForBounds(score) >= required;
}

// ---- DCavg ----

double TDCCalc13849::CalcComponentDC(TComponentOp& node, TDCDenotation& band, TDetermination det) {
  const TComponent* c = node.GetComponent();
  double result = -1.0;
  if (c) {
    if (det == detUnknown) det = c->GetDCavgDet();
    switch (det) {
      case detDirect:
        result = c->GetDCavg();
        break;
      case detSubItems: {
        // Only the channels the category uses count: the first N that are neither deleted nor the test channel.
        TWeightedDC avg;
        for (TChannelOp* ch : node.FirstChannels(c->GetChannelCount()))
          if (!avg.Add(ChannelMTTFd(MTTFdCalc(), *ch), ChannelDC(*this, *ch))) break;
        result = avg.Result();
        break;
      }
      default:
        RefuseDet(c->GetDCavgDet());
    }
  }
  band = GetDCDenotation(result);
  return result;
}

// ---- MTTFd ----

double TMTTFdCalc13849::CalcComponentMTTFd(TComponentOp& node, TMTTFdDenotation& band, TDetermination det) {
  const TComponent* c = node.GetComponent();
  double m = -1.0;
  if (c) {
    if (det == detUnknown) det = c->GetMTTFdDet();
    TMTTFdCapper capMTTFd(c->GetCat());
    const bool cutBefore = GetOptMTTFdCutBeforeSymm();
    switch (det) {
      case detDirect:
        m = c->GetMTTFd();  // the entered value, capped on reading with the options in force now
        break;
      case detSubItems: {
        const int n = c->GetChannelCount();
        if (n == 1) {
          TChannelOp* ch = node.FirstChannels(1)[0];
          m = ChannelMTTFd(*this, *ch);
          if (cutBefore) m = capMTTFd(m);
          if (GetOptMTTFdCFitBeforeSymm()) {
            const TTestChannelOp* tc = ch->PairedTestChannelOp();
            if (tc && tc->IsUsedBySubsystem()) m = std::min(m, 2.0 * tc->GetMTTFdCut());
          }
        } else if (n == 2) {
          const std::vector<TChannelOp*> chs = node.FirstChannels(2);
          // One channel filled in and the other still without blocks: the empty one would count as never
          // failing (+infinity) and lift the subsystem to the best PL on missing data. Its MTTFd cannot be
          // given yet; two empty channels stay a new, unfilled subsystem (+infinity).
          if (chs[0]->HasLiveBloc() != chs[1]->HasLiveBloc()) {
            m = -1.0;
            break;
          }
          double m1 = ChannelMTTFd(*this, *chs[0]);
          double m2 = ChannelMTTFd(*this, *chs[1]);
          if (cutBefore) {
            m1 = capMTTFd(m1);
            m2 = capMTTFd(m2);
          }
          if (c->GetUseWorstCaseMTTFd()) {
            m = std::min(m1, m2);
          } else {
            // The standard's symmetrisation 2/3 x (M1 + M2 - 1/(1/M1 + 1/M2)); a channel of MTTFd 0 makes the
            // reciprocal sum infinite.
            const double s = m1 + m2;
            const double r = (m1 == 0.0 || m2 == 0.0) ? kInf : 1.0 / m1 + 1.0 / m2;
            if (r == 0.0)
              m = kInf;
            else
              m = static_cast<double>((2.0L / 3.0L) * (static_cast<long double>(s) - 1.0L / static_cast<long double>(r)));
          }
        } else {
          throw EIndexOutOfBounds(msgChannelCount, {std::to_string(n)});
        }
        break;
      }
      default:
        RefuseDet(c->GetMTTFdDet());
    }
    if (!cutBefore && !std::isinf(m)) m = capMTTFd(m);
  }
  band = GetMTTFdDenotation(m);
  return m;
}

// ---- PL ----

TPL TPLCalc13849::CalcComponentPL(TComponentOp& node, double& pfh, TDetermination det) {
  pfh = -1.0;
  const TComponent* c = node.GetComponent();
  if (!c) return plN;
  if (det == detUnknown) det = c->GetPLDet();
  switch (det) {
    case detDirect:
      pfh = c->GetPFH();
      return c->GetIsPLPFHBind() ? PLOfPFH(pfh) : c->GetPLDirectNoBind();
    case detSubItems: {
      double dcavg;
      double mttfd;
      if (&DCCalc() == &CalcPool().GetDCCalc() && &MTTFdCalc() == &CalcPool().GetMTTFdCalc()) {
        dcavg = node.GetDCavgLazy();
        mttfd = node.GetMTTFdLazy();
      } else {
        TDCDenotation dcBand;
        TMTTFdDenotation mBand;
        dcavg = node.GetDC(DCCalc(), dcBand, detUnknown);
        mttfd = node.GetMTTFd(MTTFdCalc(), mBand, detUnknown);
      }
      pfh = GetPFHInterpolated(c->GetCat(), mttfd, dcavg);
      return PFHToPL(pfh);
    }
    default:
      RefuseDet(c->GetPLDet());
  }
}

TPL TPLCalc13849::CalcSFPL(TSFOp& node, double& pfh) {
  pfh = 0.0;
  TPL lowest = plN;
  bool unboundWithoutPL = false;
  bool negative = false;
  bool anySubsystem = false;
  const bool pooled = this == &CalcPool().GetPLCalc();
  const TComponentOpList& list = *node.GetComponentOpList();
  for (int i = 0; i < list.GetCount(); ++i) {
    TComponentOp* sub = list.Items(i);
    if (sub->GetDeleted()) continue;
    anySubsystem = true;
    double pfhi = -1.0;
    TPL pli;
    if (pooled) {
      pli = sub->GetPLLazy();
      pfhi = sub->GetPFHLazy();
    } else {
      pli = sub->GetPL(*this, pfhi, detUnknown);
    }
    const TComponent* c = sub->GetComponent();
    if (c && !c->GetIsPLPFHBind()) {
      // An entered PL that is no PL ("-") cannot be reached by the safety function either.
      if (!IsRealPL(pli)) unboundWithoutPL = true;
      else if (pli < lowest) lowest = pli;
    }
    if (pfhi < 0.0 || std::isnan(pfhi)) negative = true;
    pfh += pfhi;
  }
  // A subsystem without a PFH leaves the sum without meaning, and without any subsystem (none yet, or the
  // last one deleted) nothing has been shown at all: no PFH, no PL, never the e an empty sum of 0 would give.
  if (negative || !anySubsystem) {
    pfh = -1.0;
    return plN;
  }
  if (unboundWithoutPL) return plN;
  const TPL sumPL = PLOfPFH(pfh);
  if (IsRealPL(lowest) && IsRealPL(sumPL) && sumPL >= lowest) return lowest;
  if (pfh == 0.0) return plE;
  return sumPL;
}

}  // namespace kelvado
