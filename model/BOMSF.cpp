#include "model/BOMSF.h"

#include <cmath>

#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMShared.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"

namespace kelvado {

using namespace bom_detail;

namespace {

template <class E>
TtiEnumNames NamesOf() {
  return TtiEnumNames(EnumInfo<E>::Names);
}

bool IsRealPL(TPL pl) { return pl >= plA && pl <= plE; }

// True when `reached` meets `required`. plN and plForward lie beyond plE by ordinal but are no PL at all: a
// reached "-" never meets a requirement, and a requirement that could not be determined is never confirmed.
bool PLMeets(TPL reached, TPL required) {
  return IsRealPL(reached) && IsRealPL(required) && reached >= required;
}

// True when `a` is a real PL better than `b` (any real PL is better than "-").
bool PLBetter(TPL a, TPL b) { return IsRealPL(a) && (!IsRealPL(b) || a > b); }

}  // namespace

// ---- TSF ----

const TtiClass& TSF::StaticClass() {
  static const TtiClass c(TtiClass::Of<TSF, TPerObjAbsEx>(), "TSF", [](TtiPropTableBuilder<TSF>& b) {
    b.String("Document", &TSF::GetDocument, &TSF::SetDocument)
        .String("Documentation", &TSF::GetDocumentation, &TSF::SetDocumentation)
        .String("Name", &TSF::GetName, &TSF::SetName)
        .Enumeration("PLr", &TSF::GetPLr, NamesOf<TPL>())
        .Enumeration("PLrDirect", &TSF::GetPLrDirect, &TSF::SetPLrDirect, NamesOf<TPL>())
        .Enumeration("PLrMeasures", &TSF::GetPLrMeasures, NamesOf<TPL>())
        .Enumeration("PLrDet", &TSF::GetPLrDet, &TSF::SetPLrDet, NamesOf<TDetermination>())
        .String("PLrDocumentation", &TSF::GetPLrDocumentation, &TSF::SetPLrDocumentation)
        .String("PLrStandard", &TSF::GetPLrStandard, &TSF::SetPLrStandard)
        .String("PLrStandardFile", &TSF::GetPLrStandardFile, &TSF::SetPLrStandardFile)
        .String("Reaction", &TSF::GetReaction, &TSF::SetReaction)
        .Integer("RiskParamF", &TSF::GetRiskParamF, &TSF::SetRiskParamF)
        .Integer("RiskParamP", &TSF::GetRiskParamP, &TSF::SetRiskParamP)
        .Integer("RiskParamS", &TSF::GetRiskParamS, &TSF::SetRiskParamS)
        .String("SafeState", &TSF::GetSafeState, &TSF::SetSafeState)
        .String("SFType", &TSF::GetSFType, &TSF::SetSFType)
        .String("TriggerEvent", &TSF::GetTriggerEvent, &TSF::SetTriggerEvent);
  });
  return c;
}

TSF::TSF() { DoOnChange(this); }

TSF::~TSF() = default;

TPL TSF::GetPLr() const {
  switch (plrDet_) {
    case detDirect: return plrDirect_;
    case detMeasures: return GetPLrMeasures();
    default: return plForward;
  }
}

TPL TSF::GetPLrMeasures() const { return GetPLrFromRiskParams(riskParamS_, riskParamF_, riskParamP_); }

void TSF::SetPLrDet(TDetermination v) { SetDetProp(plrDet_, v); }

bool TSF::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TSF*>(&other);
  return o && name_ == o->name_ && plrDirect_ == o->plrDirect_ && plrDet_ == o->plrDet_ &&
         plrDocumentation_ == o->plrDocumentation_ && plrStandard_ == o->plrStandard_ &&
         plrStandardFile_ == o->plrStandardFile_ && reaction_ == o->reaction_ && riskParamF_ == o->riskParamF_ &&
         riskParamP_ == o->riskParamP_ && riskParamS_ == o->riskParamS_ && safeState_ == o->safeState_ &&
         sfType_ == o->sfType_ && triggerEvent_ == o->triggerEvent_ && StampsEqual(*o) &&
         document_ == o->document_ && documentation_ == o->documentation_;
}

void TSF::Assign(const TtiObject& source) {
  const auto* s = &SourceAs<TSF>(*this, source);
  if (s == this) return;
  document_ = s->document_;
  documentation_ = s->documentation_;
  name_ = s->name_;
  plrDirect_ = s->plrDirect_;
  plrDet_ = s->plrDet_;
  plrDocumentation_ = s->plrDocumentation_;
  plrStandard_ = s->plrStandard_;
  plrStandardFile_ = s->plrStandardFile_;
  reaction_ = s->reaction_;
  riskParamF_ = s->riskParamF_;
  riskParamP_ = s->riskParamP_;
  riskParamS_ = s->riskParamS_;
  safeState_ = s->safeState_;
  sfType_ = s->sfType_;
  triggerEvent_ = s->triggerEvent_;
  FinishAssign(*s);
}

// ---- TSFOp ----

const TtiClass& TSFOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TSFOp, TNodeSFAbs>(), "TSFOp", [](TtiPropTableBuilder<TSFOp>& b) {
    b.Object("SF", &TSFOp::GetSF)
        .List("List", &TSFOp::GetList)
        .String("SFName", &TSFOp::GetSFName)
        .String("SFType", &TSFOp::GetSFType)
        .String("CatString", &TSFOp::GetCatString)
        .String("PFHString", &TSFOp::GetPFHString)
        .String("PLString", &TSFOp::GetPLString)
        .String("PLrString", &TSFOp::GetPLrString)
        .String("PLrMeasuresString", &TSFOp::GetPLrMeasuresString)
        .String("PLrDirectString", &TSFOp::GetPLrDirectString, &TSFOp::SetPLrDirectString);
  });
  return c;
}

TSFOp::TSFOp() : list_(std::make_unique<TComponentOpList>()) {
  // A change anywhere below changes the PL reached: empty the cache and pass the change up.
  WireChildList(*list_, this, [this](TtiObject* sender) { ComponentsChanged(sender); });
  DoOnChange(this);
}

TSFOp::~TSFOp() {
  UnhookChildList(*list_);
  if (sf_) sf_->SetOnChange(nullptr);
}

void TSFOp::SetSF(std::unique_ptr<TSF> sf) {
  if (KeepsPart(sf_, sf)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(sf_, std::move(sf), this, [this](TtiObject* sender) { DataChanged(sender); });
  ResetCaches();
  DoOnChange(this);
}

void TSFOp::DataChanged(TtiObject* sender) {
  ResetCaches();
  DoOnChange(sender);
  DoOnStructureChange(this);
}

void TSFOp::ComponentsChanged(TtiObject* sender) {
  ResetCaches();
  DoOnChange(sender);
}

void TSFOp::ResetCaches() const {
  pl_.reset();
  pfh_ = -1.0;
  plr_.reset();
}

std::string TSFOp::GetCaption() const { return sf_ ? GetSFName() : GetMsgString(txtSF, msgBaseGeneral); }

bool TSFOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TSFOp*>(&other);
  return o && SameObject(sf_.get(), o->sf_.get()) && StampsEqual(*o) && SameItems(*list_, *o->list_);
}

void TSFOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TSFOp>(*this, source);
  if (&s == this) return;
  RefillWithLiveClones(*list_, *s.list_);
  SetSF(CloneOrNull(s.sf_.get()));
  FinishAssign(s);
}

int TSFOp::GetPosition() const {
  const int i = IndexInContainingList("List");
  return i < 0 ? 0 : i + 1;
}

void TSFOp::Changed() {
  list_->Changed();
  ResetCaches();
  TPerObjAbsEx::Changed();
}

TPL TSFOp::GetPL(TPLCalc& calc, double& pfh, TDetermination det) {
  (void)det;  // a safety function has one way to its PL
  return calc.CalcSFPL(*this, pfh);
}

TPL TSFOp::GetPLLazy() const {
  return FillPLCache(*this, pl_, pfh_, detUnknown);
}

double TSFOp::GetPFHLazy() const {
  GetPLLazy();
  return pfh_;
}

TPL TSFOp::GetPLrLazy() const {
  if (!plr_ && sf_) plr_ = sf_->GetPLr();
  return plr_.value_or(plForward);
}

bool TSFOp::HasEffectiveSubsystem() const {
  for (int i = 0; i < list_->GetCount(); ++i) {
    const TComponentOp* c = list_->Items(i);
    if (c->GetDeleted() || !c->GetComponent()) continue;
    // A value that cannot be computed does not make a subsystem ineffective; its own status reports it.
    bool neverFails = false;
    bool directZero = false;
    try {
      neverFails = c->IsMTTFdRelevant() && std::isinf(c->GetMTTFdLazy());
    } catch (const EKelvado&) {
    }
    try {
      directZero = c->GetComponent()->GetPLDet() == detDirect && c->GetPFHLazy() == 0.0;
    } catch (const EKelvado&) {
    }
    if (!neverFails && !directZero) return true;
  }
  return false;
}

bool TSFOp::IsRelevant() const {
  TtiObject* owner = GetOwner();
  if (owner && owner->ClassName() == "TSFOpList") owner = owner->GetOwner();
  if (const auto* p = dynamic_cast<const TProjectOp*>(owner)) return p->IsRelevant();
  return true;
}

std::string TSFOp::GetSFName() const {
  if (!sf_ || sf_->GetName().empty()) return PlaceholderSFName();
  return sf_->GetName();
}

std::string TSFOp::GetSFType() const { return sf_ ? sf_->GetSFType() : std::string(); }

std::string TSFOp::GetCatString() const {
  bool any = false;
  TCat lowest = cat4;
  for (int i = 0; i < list_->GetCount(); ++i) {
    const TComponentOp* c = list_->Items(i);
    if (c->GetDeleted() || !c->GetComponent()) continue;
    if (!any || c->GetComponent()->GetCat() < lowest) lowest = c->GetComponent()->GetCat();
    any = true;
  }
  return any ? CatToStr(lowest) : "-";
}

// The texts show "-" for a value that cannot be computed (a subsystem short of channels, say); the status
// check reports why.
std::string TSFOp::GetPFHString() const {
  try {
    const double pfh = GetPFHLazy();
    return pfh < 0.0 ? "-" : ReplaceInfinity(FloatToStrF(pfh, GetOptPrecisionPFH()));
  } catch (const EKelvado&) {
    return "-";
  }
}

std::string TSFOp::GetPLString() const {
  try {
    return PLToStr(GetPLLazy());
  } catch (const EKelvado&) {
    return "-";
  }
}
std::string TSFOp::GetPLrString() const { return PLToStr(GetPLrLazy()); }
std::string TSFOp::GetPLrMeasuresString() const { return sf_ ? PLToStr(sf_->GetPLrMeasures()) : "-"; }
std::string TSFOp::GetPLrDirectString() const { return sf_ ? PLToStr(sf_->GetPLrDirect()) : "-"; }

void TSFOp::SetPLrDirectString(const std::string& text) {
  if (!sf_) throw EtiPerProgrammerException("%s has no safety function", {ClassName()});
  sf_->SetPLrDirect(StrToPL(text));
}

TItemStatus TSFOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  if (LacksName(sf_ ? sf_->GetName() : std::string(), txtPlaceholderSF))
    ReportStatus(messages, result, isYellow, StatusText(stsSFNoName));
  try {
    if (!HasEffectiveSubsystem())
      ReportStatus(messages, result, isYellow, StatusText(stsSFNoEffectiveSubsystem, {GetPLrString()}));
    const TPL pl = GetPLLazy();
    const TPL plr = GetPLrLazy();
    const double pfh = GetPFHLazy();
    // Without any subsystem there is no PL to compare: the message above says the PLr cannot be shown.
    const bool anySubsystem = HasLiveItem(*list_);
    const std::string limitedBy = StatusText(stsPleaseCheck, {GetMsgString(txtSubsystems, msgBaseGeneral),
                                                              GetMsgString(txtCharacteristics, msgBaseGeneral)});
    if (anySubsystem && !PLMeets(pl, plr)) {
      if (PLBetter(PFHToPL(pfh), pl))
        ReportStatus(messages, result, isRed, StatusText(stsPLrLimitedBySubsystem, {GetPLrString()}) + " " + limitedBy);
      else
        ReportStatus(messages, result, isRed, StatusText(stsPLrNotReached, {GetPLrString()}) + "\r\n" + limitedBy);
    }
    // Compared as the PL bands see a PFH (to 1e-14): a sum such as 3e-5 + 7e-5 computes to one unit in the
    // last place below 1e-4, has no PL there, and must get this message as well.
    if (RoundToDigits(-14, pfh) >= cPFHMax)
      ReportStatus(messages, result, isRed, StatusText(stsPFHSumTooHigh, {FloatToStr(cPFHMax)}));
  } catch (const EKelvado& e) {
    // A value that cannot be computed is reported, never passed over.
    ReportStatus(messages, result, isRed, e.Message());
  }
  if (recursive)
    result = WithChildStatus(result, *list_, messages, [](const TComponentOp& c) { return c.IsSubsystemRelevant(); });
  CallOnAfterCheckStatus();
  return result;
}

}  // namespace kelvado
