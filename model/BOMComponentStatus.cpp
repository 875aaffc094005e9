// Display texts and the status check of the subsystem node.
#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMSF.h"
#include "model/BOMShared.h"
#include "model/BOMValueTexts.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"

namespace kelvado {

using namespace bom_detail;

namespace {

const char* const kCRLF = "\r\n";

std::string General(int index) { return GetMsgString(index, msgBaseGeneral); }

// A number rounded as the option says, with an infinite value shown as the infinity text.
std::string Rounded(double value, int digits) { return ReplaceInfinity(FloatToStr(RoundToDigits(digits, value))); }

std::string MTTFdText(double mttfd, TMTTFdDenotation band) {
  if (mttfd < 0.0) return "- (-)";
  return Rounded(mttfd, GetOptRoundMTTFd()) + " (" + MTTFdDenotationToStr(band) + ")";
}

std::string DCavgText(double dcavg, TDCDenotation band) {
  if (dcavg < 0.0 || std::isinf(dcavg)) return "- (-)";
  return Rounded(dcavg * 100.0, GetOptRoundDC()) + " (" + DCDenotationToStr(band) + ")";
}

std::string PFHText(double pfh) { return pfh < 0.0 ? "-" : ReplaceInfinity(FloatToStrF(pfh, GetOptPrecisionPFH())); }

std::string TriText(TTriState s) {
  switch (s) {
    case TTriState::Yes: return YesText();
    case TTriState::No: return NoText();
    default: return UnknownText();
  }
}

bool IsRealPL(TPL pl) { return pl >= plA && pl <= plE; }

// Runs one computed part of a display text; a value that cannot be computed shows as "-".
template <class F>
std::string OrDash(F&& f) {
  try {
    return f();
  } catch (const EKelvado&) {
    return "-";
  }
}

}  // namespace

bool TComponentOp::Hidden(bool relevant) { return !relevant && GetOptHideNonRelevant(); }

std::string TComponentOp::GetCatString() const { return component_ ? CatToStr(component_->GetCat()) : "-"; }

std::string TComponentOp::GetCatRequirementsSatisfiedString() const {
  if (!component_) return UnknownText();
  try {
    return TriText(GetCatRequirementsStatus());
  } catch (const EKelvado&) {
    return UnknownText();
  }
}

std::string TComponentOp::GetCCFDirectString() const {
  if (!component_) return UnknownText();
  if (Hidden(IsCCFRelevant())) return General(txtNotRelevant);
  try {
    IsCCFSatisfiedLazy();
    return TriText(ccf_);
  } catch (const EKelvado&) {
    return UnknownText();
  }
}

std::string TComponentOp::GetCCFString() const {
  if (!component_) return UnknownText();
  if (Hidden(IsCCFRelevant())) return General(txtNotRelevant);
  try {
    IsCCFSatisfiedLazy();
    return TriText(ccf_) + " (" + Rounded(ccfScore_, GetOptRoundCCF()) + ")";
  } catch (const EKelvado&) {
    return UnknownText();
  }
}

std::string TComponentOp::GetCCFScoreMeasuresString() const {
  if (!component_) return "-";
  if (Hidden(IsCCFRelevant())) return General(txtNotRelevant);
  return OrDash([&] { return Rounded(GetCCFScoreMeasuresLazy(), GetOptRoundCCF()); });
}

std::string TComponentOp::GetCCFMeasuresString() const {
  if (!component_) return std::string();
  if (Hidden(IsCCFRelevant())) return General(txtNotRelevant);
  std::string s;
  const TCCFMeasureOpList& ops = *component_->GetCCFMeasureOps();
  for (int i = 0; i < ops.GetCount(); ++i) {
    const TCCFMeasureOp* op = ops.Items(i);
    if (op->GetDeleted() || !op->GetIsSatisfied()) continue;  // an unticked measure adds no points to the score
    if (!s.empty()) s += kCRLF;
    s += op->GetHeading() + " (" + op->GetScoreString() + " " + General(txtPoints) + ")" + kCRLF +
         op->GetDescription() + kCRLF;
  }
  return TrimRight(s);
}

std::string TComponentOp::GetComponentName() const {
  if (!component_ || component_->GetName().empty()) return PlaceholderComponentName();
  return component_->GetName();
}

std::string TComponentOp::GetDCavgPCString() const {
  if (!component_) return "- (-)";
  if (Hidden(IsDCavgRelevant())) return General(txtNotRelevant);
  return OrDash([&] {
    const double v = GetDCavgLazy();
    return DCavgText(v, dcavgBand_);
  });
}

std::string TComponentOp::GetDCavgPCSubItemsString() const {
  if (!component_) return "- (-)";
  if (Hidden(IsDCavgRelevant())) return General(txtNotRelevant);
  return OrDash([&] {
    const double v = GetDCavgSubItemsLazy();
    return DCavgText(v, dcavgSubBand_);
  });
}

std::string TComponentOp::GetDCavgDirectDenotationString() const {
  if (!component_) return "-";
  if (Hidden(IsDCavgRelevant())) return General(txtNotRelevant);
  return OrDash([&] { return DCDenotationToStr(GetDCDenotation(component_->GetDCavg())); });
}

std::string TComponentOp::GetDCavgSubItemsDenotationString() const {
  if (!component_) return "-";
  if (Hidden(IsDCavgRelevant())) return General(txtNotRelevant);
  return OrDash([&] { return DCDenotationToStr(GetDCavgSubItemsDenotationLazy()); });
}

double TComponentOp::GetMinMissionTime() const {
  if (!component_) return -1.0;
  double result = component_->GetMissionTime();
  for (int i = 0; i < list_->GetCount(); ++i) {
    const auto* ch = dynamic_cast<const TChannelOp*>(list_->GetItems(i));
    if (!ch || ch->GetDeleted() || ch->IsTestChannelNode()) continue;
    const TBlocOpList& blocs = *ch->GetBlocOpList();
    for (int j = 0; j < blocs.GetCount(); ++j) {
      const TBlocOp* b = blocs.Items(j);
      if (b->GetDeleted() || !b->IsMTTFdOrDCRelevant()) continue;
      result = std::min(result, b->GetMinMissionTime());
    }
  }
  return result;
}

std::string TComponentOp::GetMTTFdDenotationDirectString() const {
  if (!component_) return "-";
  if (Hidden(IsMTTFdRelevant())) return General(txtNotRelevant);
  return OrDash([&] { return MTTFdDenotationToStr(GetMTTFdDenotation(component_->GetMTTFd())); });
}

std::string TComponentOp::GetMTTFdDenotationSubItemsString() const {
  if (!component_) return "-";
  if (Hidden(IsMTTFdRelevant())) return General(txtNotRelevant);
  return OrDash([&] { return MTTFdDenotationToStr(GetMTTFdSubItemsDenotationLazy()); });
}

std::string TComponentOp::GetMTTFdString() const {
  if (!component_) return "- (-)";
  if (Hidden(IsMTTFdRelevant())) return General(txtNotRelevant);
  return OrDash([&] {
    const double v = GetMTTFdLazy();
    return MTTFdText(v, mttfdBand_);
  });
}

std::string TComponentOp::GetMTTFdSubItemsString() const {
  if (!component_) return "- (-)";
  if (Hidden(IsMTTFdRelevant())) return General(txtNotRelevant);
  return OrDash([&] {
    const double v = GetMTTFdSubItemsLazy();
    return MTTFdText(v, mttfdSubBand_);
  });
}

std::string TComponentOp::GetPFHString() const {
  if (!component_) return "-";
  return OrDash([&] { return PFHText(GetPFHLazy()); });
}

std::string TComponentOp::GetPFHSubItemsString() const {
  if (!component_) return "-";
  return OrDash([&] { return PFHText(GetPFHSubItemsLazy()); });
}

std::string TComponentOp::GetPLString() const {
  if (!component_) return "-";
  return OrDash([&] {
    if (component_->GetIsPLPFHBind() && component_->GetPLDet() != detDirect) return PLToStr(PFHToPL(GetPFHLazy()));
    return PLToStr(GetPLLazy());
  });
}

std::string TComponentOp::GetPLSubItemsString() const {
  if (!component_) return "-";
  return OrDash([&] { return PLToStr(GetPLSubItemsLazy()); });
}

// ---- Directly entered values ----

std::string TComponentOp::GetCCFScoreDirectString() const {
  return component_ ? Rounded(component_->GetCCFScore(), GetOptRoundCCF()) : std::string();
}

void TComponentOp::SetCCFScoreDirectString(const std::string& text) { Comp().SetCCFScore(StrToFloat(text)); }

double TComponentOp::GetDCavgPCDirect() const { return component_ ? component_->GetDCavg() * 100.0 : -1.0; }

void TComponentOp::SetDCavgPCDirect(double percent) {
  TComponent& c = Comp();
  pl_.reset();
  plSub_.reset();
  c.SetDCavg(percent / 100.0);
}

std::string TComponentOp::GetDCavgPCDirectString() const {
  return component_ ? Rounded(component_->GetDCavg() * 100.0, GetOptRoundDC()) : std::string();
}

void TComponentOp::SetDCavgPCDirectString(const std::string& text) { SetDCavgPCDirect(StrToFloat(text)); }

double TComponentOp::GetMTTFdDirect() const { return component_ ? component_->GetMTTFd() : -1.0; }

void TComponentOp::SetMTTFdDirect(double years) {
  TComponent& c = Comp();
  pl_.reset();
  plSub_.reset();
  c.SetMTTFd(years);
}

// The number alone: it is written back by the editor, and the band has its own text.
std::string TComponentOp::GetMTTFdDirectString() const {
  return component_ ? Rounded(component_->GetMTTFd(), GetOptRoundMTTFd()) : std::string();
}

void TComponentOp::SetMTTFdDirectString(const std::string& text) { SetMTTFdDirect(TextToFloatInf(text)); }

std::string TComponentOp::GetPFHDirectString() const {
  return component_ ? PFHText(component_->GetPFH()) : std::string();
}

void TComponentOp::SetPFHDirectString(const std::string& text) { Comp().SetPFH(TextToFloatInf(text)); }

std::string TComponentOp::GetPLDirectString() const {
  if (!component_) return "-";
  if (component_->GetIsPLPFHBind()) return OrDash([&] { return PLToStr(PFHToPL(component_->GetPFH())); });
  return PLToStr(component_->GetPLDirectNoBind());
}

void TComponentOp::SetPLDirectString(const std::string& text) {
  TComponent& c = Comp();
  if (c.GetIsPLPFHBind()) {
    if (text == GetPLDirectString()) return;
    // "-" has no representative PFH: taking 0 from it would make the PFH reach e.
    const TPL pl = StrToPL(text);
    if (!IsRealPL(pl)) CheckNamingItem([&] { RaiseInvalidValue(msgInvalidValue, {text}); });
    SetPFHDirectString(FloatToStr(GetPLMeanPFH(pl)));
  } else {
    const TPL pl = StrToPL(text);
    if (pl != c.GetPLDirectNoBind()) c.SetPLDirectNoBind(pl);
  }
}

// ---- Report texts ----

std::string TComponentOp::GetCatRequirementsText() const {
  const TComponent& c = Comp();
  if (!c.GetCatConditionsRelevant()) return General(txtCatRequirementsNotChecked);
  const std::string sep = "\r\n\r\n";
  auto verdict = [](bool relevant, bool met) {
    if (!relevant && GetOptHideNonRelevant()) return General(txtNotRelevant);
    return met ? YesText() : NoText();
  };
  auto safe = [](auto f) {
    try {
      return f();
    } catch (const EKelvado&) {
      return false;
    }
  };
  std::string s;
  if (const TCatConditionList* conds = GetCatConditions(c.GetCat())) {
    for (int i = 0; i < conds->GetCount(); ++i) {
      const TCatCondition* cond = conds->Items(i);
      const bool met = c.GetCatConditionOps()->IsConditionSatisfied(cond);
      s += cond->GetText() + " [" + (met ? YesText() : NoText()) + "]" + sep;
    }
  }
  TMTTFdDenotationSet mttfdAllowed;
  TDCDenotationSet dcAllowed;
  bool ccfCounts = false;
  GetCatRequirements(c.GetCat(), mttfdAllowed, dcAllowed, ccfCounts);
  {
    std::string t;
    for (int b = mttfLow; b <= mttfHigh; ++b)
      if (mttfdAllowed.Contains(static_cast<TMTTFdDenotation>(b)))
        t += MTTFdDenotationToStr(static_cast<TMTTFdDenotation>(b)) + General(txtMTTFdBandsOr);
    if (!t.empty()) t = t.substr(0, t.size() - General(txtMTTFdBandsOr).size()) + ".";
    s += General(txtAllowedMTTFd) + t + " [" + verdict(IsMTTFdRelevant(), safe([&] { return IsMTTFdSatisfied(); })) +
         "]" + sep;
  }
  {
    std::string t;
    for (int b = dcNone; b <= dcHigh; ++b)
      if (dcAllowed.Contains(static_cast<TDCDenotation>(b)))
        t += DCDenotationToStr(static_cast<TDCDenotation>(b)) + General(txtDCavgBandsOr);
    if (!t.empty()) t = t.substr(0, t.size() - General(txtDCavgBandsOr).size()) + ".";
    s += General(txtAllowedDCavg) + t + " [" + verdict(IsDCavgRelevant(), safe([&] { return IsDCavgSatisfied(); })) +
         "]" + sep;
  }
  if (ccfCounts)
    s += tiFormat(General(txtCCFRequirement), {FloatToStr(GetReqCCFScore())}) + " [" +
         verdict(IsCCFRelevant(), safe([&] { return IsCCFSatisfied(); })) + "]" + sep;
  if (c.GetCat() == cat2) {
    bool ok = true;
    for (int i = 0; i < list_->GetCount(); ++i) {
      const auto* ch = dynamic_cast<const TChannelOp*>(list_->GetItems(i));
      if (ch && !ch->GetDeleted() && ch->IsRelevant() && !ch->IsTestChannelMTTFdSatisfied()) ok = false;
    }
    s += General(txtTestChannelMTTFdRule) + " [" + (ok ? YesText() : NoText()) + "]" + sep;
  }
  return TrimRight(s);
}

std::string TComponentOp::GetPLConditionsText() const {
  const TComponent& c = Comp();
  if (c.GetPLDet() == detDirect) return General(txtPLEnteredDirectly);
  std::string s;
  TPL pl = plN;
  try {
    pl = GetPLLazy();
  } catch (const EKelvado&) {
  }
  if (const TPLConditionList* conds = IsRealPL(pl) ? GetPLConditions(pl) : nullptr) {
    for (int i = 0; i < conds->GetCount(); ++i) {
      const TPLCondition* cond = conds->Items(i);
      const bool met = c.GetPLConditionOps()->IsConditionSatisfied(cond);
      if (!s.empty()) s += "\r\n\r\n";
      s += cond->GetText() + " [" + (met ? YesText() : NoText()) + "]";
    }
  }
  return s;
}

// ---- Status check ----

namespace {

using Node = const TComponentOp&;
using Data = const TComponent&;

bool PLSub(Data c) { return c.GetPLDet() == detSubItems; }

// No live block in the channels the category uses.
bool NoBlocs(Node n) {
  const auto used = n.UsedChannels();
  return std::none_of(used.begin(), used.end(), [](const TChannelOp* ch) { return ch->HasLiveBloc(); });
}

// The category's requirements, its conditions, or a relevant channel (its own rules or its test channel's
// MTTFd) not met.
bool CatRequirementsFailed(Node n, Data c) {
  if (!n.IsCatRequirementsSatisfied() || !c.AreCatConditionsSatisfied()) return true;
  const TChannelOpList& channels = *n.GetChannelOpList();
  for (int i = 0; i < channels.GetCount(); ++i) {
    const auto* ch = dynamic_cast<const TChannelOp*>(channels.GetItems(i));
    if (!ch || ch->GetDeleted() || !ch->IsRelevant()) continue;
    if (!ch->IsTestChannelMTTFdSatisfied() || !ch->IsChannelSatisfied()) return true;
  }
  return false;
}

// A PL entered directly that the PFH entered does not back (no PL, "-", backs nothing).
bool PLNotBackedByPFH(Node n, Data c) {
  if (c.GetPLDet() != detDirect || c.GetIsPLPFHBind()) return false;
  const TPL pl = n.GetPLLazy();
  const TPL pfhPL = PFHToPL(n.GetPFHLazy());
  return IsRealPL(pl) && !(IsRealPL(pfhPL) && pfhPL >= pl);
}

// One rule of the check: when `Holds`, a message of `Status` with status text `Text`, formatted with what
// `Args` gives (nothing when null).
struct TStatusRule {
  TItemStatus Status;
  int Text;
  bool (*Holds)(Node, Data);
  FmtArgs (*Args)(Node, Data);
};

// In the order the rules run; their messages are added in this order.
const TStatusRule kStatusRules[] = {
    {isGreen, stsDCavgWithinTolerance,
     [](Node n, Data c) {
       return n.IsDCavgRelevant() && PLSub(c) && !n.IsDCavgSatisfied() && n.IsDCavgSatisfiedWithTolerance();
     },
     [](Node, Data) { return FmtArgs{FloatToStr(cDCavgTolerance * 100.0)}; }},
    {isGreen, stsSubsystemNoBlocsForMTTFd,
     [](Node n, Data c) { return n.IsMTTFdRelevant() && c.GetMTTFdDet() == detSubItems && NoBlocs(n); }, nullptr},
    {isGreen, stsSubsystemMTTFdAboveCap,
     [](Node n, Data c) {
       const double cap = MTTFdCap(c.GetCat());
       return n.IsMTTFdRelevant() && c.GetMTTFdDet() == detDirect && !std::isinf(c.GetMTTFd()) &&
              c.GetMTTFdOrgValue() > cap;
     },
     [](Node n, Data c) {
       return FmtArgs{n.GetMTTFdDirectString(), FloatToStr(c.GetMTTFdOrgValue()), FloatToStr(MTTFdCap(c.GetCat()))};
     }},
    {isGreen, stsSubsystemNoBlocsForDCavg,
     [](Node n, Data c) { return n.IsDCavgRelevant() && c.GetDCavgDet() == detSubItems && NoBlocs(n); }, nullptr},
    {isYellow, stsSubsystemNoName, [](Node, Data c) { return LacksName(c.GetName(), txtPlaceholderSubsystem); },
     nullptr},
    {isYellow, stsSubsystemMissionTimeTooShort, [](Node, Data c) { return c.GetMissionTime() < cMissionTimeRef; },
     [](Node, Data c) {
       return FmtArgs{FloatToStr(cMissionTimeRef), FloatToStr(c.GetMissionTime())};
     }},
    {isYellow, stsImplausibleForPLe,
     [](Node n, Data c) {
       const TSFOp* sf = n.GetSFOp();
       return sf && sf->GetSF() && sf->GetPLrLazy() == plE &&
              ((n.IsMTTFdRelevant() && std::isinf(n.GetMTTFdLazy())) ||
               (c.GetPLDet() == detDirect && n.GetPFHLazy() == 0.0));
     },
     nullptr},
    {isRed, stsPFHDoesNotBackPL, PLNotBackedByPFH,
     [](Node n, Data) {
       return FmtArgs{n.GetPFHString(), PLToStr(PFHToPL(n.GetPFHLazy())), PLToStr(n.GetPLLazy())};
     }},
    {isRed, stsSubsystemPFHUndetermined, [](Node n, Data c) { return PLSub(c) && n.GetPFHLazy() < 0.0; }, nullptr},
    {isRed, stsCatRequirementsNotMet,
     [](Node n, Data c) { return c.GetCatConditionsRelevant() && CatRequirementsFailed(n, c); }, nullptr},
    {isRed, stsSubsystemMTTFdBelowMin,
     [](Node n, Data c) { return n.IsMTTFdRelevant() && PLSub(c) && RoundForBounds(n.GetMTTFdLazy()) < MTTFdMin(); },
     nullptr},
    {isRed, stsSubsystemDCavgUndetermined,
     [](Node n, Data c) {
       return n.IsDCavgRelevant() && PLSub(c) && std::isinf(n.GetDCavgLazy()) && !std::isinf(n.GetMTTFdLazy()) &&
              c.GetChannelCount() >= 2;
     },
     nullptr},
};

}  // namespace

TItemStatus TComponentOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  if (!component_) {
    CallOnAfterCheckStatus();
    return result;
  }
  // A rule whose values cannot be computed reports why, in red, once per reason: a subsystem whose values
  // cannot be computed is never passed as green.
  std::set<std::string> failures;
  for (const TStatusRule& rule : kStatusRules) {
    try {
      if (rule.Holds(*this, *component_))
        ReportStatus(messages, result, rule.Status,
                     StatusText(rule.Text, rule.Args ? rule.Args(*this, *component_) : FmtArgs{}));
    } catch (const EKelvado& e) {
      if (failures.insert(e.Message()).second) ReportStatus(messages, result, isRed, e.Message());
    }
  }
  if (recursive) {
    std::set<const TChannelOp*> checked;
    for (TChannelOp* ch : UsedChannels()) {
      if (!ch->IsUsedBySubsystem()) continue;
      if (checked.insert(ch).second) result = MinItemStatus(result, ch->CheckStatus(messages, recursive));
      TTestChannelOp* tc = ch->PairedTestChannelOp();
      if (tc && tc->IsUsedBySubsystem() && checked.insert(tc).second)
        result = MinItemStatus(result, tc->CheckStatus(messages, recursive));
    }
  }
  CallOnAfterCheckStatus();
  return result;
}

}  // namespace kelvado
