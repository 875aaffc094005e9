#include "model/BOMComponent.h"

#include <cmath>
#include <limits>
#include <typeinfo>

#include "model/BOMChannel.h"
#include "model/BOMSF.h"
#include "model/BOMShared.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"

namespace kelvado {

using namespace bom_detail;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

template <class E>
TtiEnumNames NamesOf() {
  return TtiEnumNames(EnumInfo<E>::Names);
}

// Empties `target` and fills it with clones of the entries of `source` that are not deleted. No event fires:
// Assign copies without events and fires once at its end.
template <class L>
void RefillWithClones(L& target, const L& source) {
  const TNotifyEvent onChange = target.GetOnChange();
  const TNotifyEvent onStructure = target.GetOnStructureChange();
  target.SetOnChange(nullptr);
  target.SetOnStructureChange(nullptr);
  RefillWithLiveClones(target, source);
  target.SetOnChange(onChange);
  target.SetOnStructureChange(onStructure);
}

}  // namespace

// ---- TComponent ----

const TtiClass& TComponent::StaticClass() {
  static const TtiClass c(
      TtiClass::Of<TComponent, TPerObjAbsEx>(), "TComponent", [](TtiPropTableBuilder<TComponent>& b) {
        b.Enumeration("Cat", &TComponent::GetCat, &TComponent::SetCat, NamesOf<TCat>())
            .List("CatConditionOps", &TComponent::GetCatConditionOps)
            .List("PLConditionOps", &TComponent::GetPLConditionOps)
            .Boolean("CatConditionsRelevant", &TComponent::GetCatConditionsRelevant,
                     &TComponent::SetCatConditionsRelevant)
            .String("CatDocumentation", &TComponent::GetCatDocumentation, &TComponent::SetCatDocumentation)
            .String("CatStandard", &TComponent::GetCatStandard, &TComponent::SetCatStandard)
            .String("CatStandardFile", &TComponent::GetCatStandardFile, &TComponent::SetCatStandardFile)
            .List("CCFMeasureOps", &TComponent::GetCCFMeasureOps)
            .Float("CCFScore", &TComponent::GetCCFScore, &TComponent::SetCCFScore)
            .Enumeration("CCFScoreDet", &TComponent::GetCCFScoreDet, &TComponent::SetCCFScoreDet, NamesOf<TDetermination>())
            .String("Description", &TComponent::GetDescription, &TComponent::SetDescription)
            .Float("DCavg", &TComponent::GetDCavg, &TComponent::SetDCavg)
            .Enumeration("DCavgDet", &TComponent::GetDCavgDet, &TComponent::SetDCavgDet, NamesOf<TDetermination>())
            .String("DCavgDocumentation", &TComponent::GetDCavgDocumentation, &TComponent::SetDCavgDocumentation)
            .String("Document", &TComponent::GetDocument, &TComponent::SetDocument)
            .String("Documentation", &TComponent::GetDocumentation, &TComponent::SetDocumentation)
            .String("Manufacturer", &TComponent::GetManufacturer, &TComponent::SetManufacturer)
            .Float("MissionTime", &TComponent::GetMissionTime, &TComponent::SetMissionTime)
            .Float("MTTFdOrgValue", &TComponent::GetMTTFdOrgValue)
            .Float("MTTFd", &TComponent::GetMTTFd, &TComponent::SetMTTFd)
            .Enumeration("MTTFdDet", &TComponent::GetMTTFdDet, &TComponent::SetMTTFdDet, NamesOf<TDetermination>())
            .String("Name", &TComponent::GetName, &TComponent::SetName)
            .String("PartNo", &TComponent::GetPartNo, &TComponent::SetPartNo)
            .Enumeration("PLDirectNoBind", &TComponent::GetPLDirectNoBind, &TComponent::SetPLDirectNoBind,
                         NamesOf<TPL>())
            .Boolean("IsPLPFHBind", &TComponent::GetIsPLPFHBind, &TComponent::SetIsPLPFHBind)
            .Float("PFH", &TComponent::GetPFH, &TComponent::SetPFH)
            .Enumeration("PLDet", &TComponent::GetPLDet, &TComponent::SetPLDet, NamesOf<TDetermination>())
            .String("PLDocumentation", &TComponent::GetPLDocumentation, &TComponent::SetPLDocumentation)
            .Boolean("UseWorstCaseMTTFd", &TComponent::GetUseWorstCaseMTTFd, &TComponent::SetUseWorstCaseMTTFd);
      });
  return c;
}

TComponent::TComponent()
    : catConditionOps_(std::make_unique<TCatConditionOpList>()),
      plConditionOps_(std::make_unique<TPLConditionOpList>()),
      ccfMeasureOps_(std::make_unique<TCCFMeasureOpList>()) {
  HookList(*catConditionOps_);
  HookList(*plConditionOps_);
  HookList(*ccfMeasureOps_);
  DoOnChange(this);
}

TComponent::~TComponent() {
  // No event from a destructor: the lists' items must not call back into a half-destroyed subsystem.
  UnhookChildList(*catConditionOps_);
  UnhookChildList(*plConditionOps_);
  UnhookChildList(*ccfMeasureOps_);
}

void TComponent::HookList(TPerObjListEx& list) {
  WireChildList(list, this, [this](TtiObject*) { DoOnChange(this); });
}

void TComponent::SetCCFScore(double v) {
  SetFloatProp(ccfScore_, v, {cCCFScoreMin, cCCFScoreMax, false, msgCCFScoreOutOfRange, TFloatLimits::ValueMinMax});
}

void TComponent::SetCCFScoreDet(TDetermination v) { SetDetProp(ccfScoreDet_, v, {detSubItems}); }

void TComponent::SetDCavg(double v) {
  SetFloatProp(dcavg_, v, {0.0, cDCMaximum, false, msgDCOutOfRange, TFloatLimits::ValueMinMax});
}

void TComponent::SetDCavgDet(TDetermination v) { SetDetProp(dcavgDet_, v, {detMeasures}); }

void TComponent::SetMissionTime(double v) {
  SetFloatProp(missionTime_, v, {0.0, kInf, false, msgMissionTimeTooLarge, TFloatLimits::ValueMax});
}

double TComponent::GetMTTFd() const {
  if (std::isinf(mttfdOrgValue_) && mttfdOrgValue_ > 0) return mttfdOrgValue_;
  const double cap = MTTFdCap(cat_);
  return mttfdOrgValue_ > cap ? cap : mttfdOrgValue_;
}

void TComponent::SetMTTFd(double v) {
  SetFloatProp(mttfdOrgValue_, v, {MTTFdMin(), kInf, false, msgMTTFdTooSmall, TFloatLimits::ValueMin});
}

void TComponent::SetMTTFdDet(TDetermination v) { SetDetProp(mttfdDet_, v, {detMeasures}); }

void TComponent::SetPLDirectNoBind(TPL v) {
  if (v == plDirectNoBind_) return;
  CheckNamingItem([&] {
    if (!EnumInRange<TPL>(static_cast<int>(v))) RaiseInvalidValue(msgInvalidValue, {std::to_string(static_cast<int>(v))});
  });
  plDirectNoBind_ = v;
  PropertyChanged();
}

void TComponent::SetIsPLPFHBind(bool v) {
  if (v == isPLPFHBind_) return;
  isPLPFHBind_ = v;
  PropertyChanged();
}

void TComponent::SetPFH(double v) { SetFloatProp(pfh_, v, {0.0, kInf, false, msgPFHTooSmall, TFloatLimits::ValueMin}); }

void TComponent::SetPLDet(TDetermination v) { SetDetProp(plDet_, v, {detMeasures}); }

int TComponent::GetChannelCount() const { return ::kelvado::GetChannelCount(cat_); }

bool TComponent::AreCatConditionsSatisfied() const {
  if (!catConditionsRelevant_) return true;
  const TCatConditionList* required = GetCatConditions(cat_);
  if (!required) return false;  // the conditions could not be read: never better than a known failure
  for (int i = 0; i < required->GetCount(); ++i)
    if (!catConditionOps_->IsConditionSatisfied(required->Items(i))) return false;
  return true;
}

TComponentOp* TComponent::GetComponentOp() const { return dynamic_cast<TComponentOp*>(GetOwner()); }

bool TComponent::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TComponent*>(&other);
  return o && OwnPropsEqual(*o, StaticClass()) && StampsEqual(*o) &&
         SameItems(*catConditionOps_, *o->catConditionOps_) && SameItems(*plConditionOps_, *o->plConditionOps_) &&
         SameItems(*ccfMeasureOps_, *o->ccfMeasureOps_);
}

void TComponent::Assign(const TtiObject& source) {
  const auto* s = &SourceAs<TComponent>(*this, source);
  if (s == this) return;
  AssignOwnProps(*s, StaticClass());
  // MTTFd is published capped; the value behind it is published read-only and copied as entered.
  mttfdOrgValue_ = s->mttfdOrgValue_;
  RefillWithClones(*catConditionOps_, *s->catConditionOps_);
  RefillWithClones(*plConditionOps_, *s->plConditionOps_);
  RefillWithClones(*ccfMeasureOps_, *s->ccfMeasureOps_);
  // Whoever shows or computes from this subsystem must hear that every value may have changed.
  FinishAssign(*s);
}


// ---- TComponentOp ----

const TtiClass& TComponentOp::StaticClass() {
  static const TtiClass c(
      TtiClass::Of<TComponentOp, TNodeComponentAbs>(), "TComponentOp", [](TtiPropTableBuilder<TComponentOp>& b) {
        b.Object("Component", &TComponentOp::GetComponent)
            .List("List", &TComponentOp::GetList)
            .String("CatString", &TComponentOp::GetCatString)
            .String("CatRequirementsSatisfiedString", &TComponentOp::GetCatRequirementsSatisfiedString)
            .String("CCFDirectString", &TComponentOp::GetCCFDirectString)
            .String("CCFMeasuresString", &TComponentOp::GetCCFMeasuresString)
            .String("CCFScoreMeasuresString", &TComponentOp::GetCCFScoreMeasuresString)
            .String("CCFString", &TComponentOp::GetCCFString)
            .String("ComponentName", &TComponentOp::GetComponentName)
            // A computed number the evaluation uses raises when it cannot be computed (too few channels,
            // say), so that no walk over the tree (debug text, checksum) takes the failure for a value; one
            // the subsystem does not use (a PL entered, a category without DCavg, a value from the channels
            // where it is entered, a deleted subsystem) is -1, "no value".
            .Float("DCavgLazy",
                   [](const TComponentOp& n) {
                     return n.UsedValue(&TComponentOp::GetDCavgLazy, n.IsDCavgRelevant());
                   })
            .Float("DCavgPCLazy",
                   [](const TComponentOp& n) {
                     return n.UsedValue(&TComponentOp::GetDCavgPCLazy, n.IsDCavgRelevant());
                   })
            .String("DCavgPCString", &TComponentOp::GetDCavgPCString)
            .Float("DCavgPCSubItemsLazy",
                   [](const TComponentOp& n) {
                     return n.UsedValue(&TComponentOp::GetDCavgPCSubItemsLazy,
                                        n.IsDCavgRelevant() && n.Comp().GetDCavgDet() == detSubItems);
                   })
            .String("DCavgPCSubItemsString", &TComponentOp::GetDCavgPCSubItemsString)
            .String("DCavgDirectDenotationString", &TComponentOp::GetDCavgDirectDenotationString)
            .String("DCavgSubItemsDenotationString", &TComponentOp::GetDCavgSubItemsDenotationString)
            .Float("MinMissionTime", &TComponentOp::GetMinMissionTime)
            .String("MTTFdDenotationDirectString", &TComponentOp::GetMTTFdDenotationDirectString)
            .String("MTTFdDenotationSubItemsString", &TComponentOp::GetMTTFdDenotationSubItemsString)
            .String("MTTFdString", &TComponentOp::GetMTTFdString)
            .Float("MTTFdSubItemsLazy",
                   [](const TComponentOp& n) {
                     return n.UsedValue(&TComponentOp::GetMTTFdSubItemsLazy,
                                        n.IsMTTFdRelevant() && n.Comp().GetMTTFdDet() == detSubItems);
                   })
            .String("MTTFdSubItemsString", &TComponentOp::GetMTTFdSubItemsString)
            .String("PFHString", &TComponentOp::GetPFHString)
            .String("PFHSubItemsString", &TComponentOp::GetPFHSubItemsString)
            .String("PLString", &TComponentOp::GetPLString)
            .String("PLSubItemsString", &TComponentOp::GetPLSubItemsString)
            .String("CCFScoreDirectString", &TComponentOp::GetCCFScoreDirectString,
                    &TComponentOp::SetCCFScoreDirectString)
            .Float("DCavgPCDirect", &TComponentOp::GetDCavgPCDirect, &TComponentOp::SetDCavgPCDirect)
            .String("DCavgPCDirectString", &TComponentOp::GetDCavgPCDirectString,
                    &TComponentOp::SetDCavgPCDirectString)
            .Float("MTTFdDirect", &TComponentOp::GetMTTFdDirect, &TComponentOp::SetMTTFdDirect)
            .String("MTTFdDirectString", &TComponentOp::GetMTTFdDirectString, &TComponentOp::SetMTTFdDirectString)
            .String("PFHDirectString", &TComponentOp::GetPFHDirectString, &TComponentOp::SetPFHDirectString)
            .String("PLDirectString", &TComponentOp::GetPLDirectString, &TComponentOp::SetPLDirectString);
      });
  return c;
}

TComponentOp::TComponentOp() : list_(std::make_unique<TChannelOpList>()) {
  WireChildList(*list_, this, [this](TtiObject* sender) { ChannelsChanged(sender); });
  DoOnChange(this);
}

TComponentOp::~TComponentOp() {
  UnhookChildList(*list_);
  if (component_) component_->SetOnChange(nullptr);
}

double TComponentOp::UsedValue(double (TComponentOp::*getter)() const, bool used) const {
  const TSFOp* sf = GetSFOp();
  if (used && !GetDeleted() && !(sf && sf->GetDeleted())) return (this->*getter)();
  try {
    return (this->*getter)();
  } catch (const EKelvado&) {
    return -1.0;  // a value nothing uses: not being able to compute it is no failure
  }
}

TComponent& TComponentOp::Comp() const {
  if (!component_) throw EtiPerProgrammerException("%s has no subsystem", {ClassName()});
  return *component_;
}

void TComponentOp::SetComponent(std::unique_ptr<TComponent> component) {
  if (KeepsPart(component_, component)) return;
  CheckWriteProtection();
  const auto old =
      ReplacePart(component_, std::move(component), this, [this](TtiObject* sender) { DataChanged(sender); });
  ResetCaches();
  DoOnChange(this);
}

void TComponentOp::ResetCaches() const {
  catReq_ = CatReq{};
  ccf_ = TTriState::NotEvaluated;
  ccfScore_ = 0.0;
  ccfMeasures_ = TTriState::NotEvaluated;
  ccfScoreMeasures_ = 0.0;
  dcavg_.reset();
  dcavgSub_.reset();
  mttfd_.reset();
  mttfdSub_.reset();
  pl_.reset();
  pfh_ = -1.0;
  plSub_.reset();
  pfhSub_ = -1.0;
}

void TComponentOp::DataChanged(TtiObject* sender) {
  ResetCaches();
  DoOnChange(sender);
  DoOnStructureChange(this);
}

void TComponentOp::ChannelsChanged(TtiObject* sender) {
  // The CCF from the measures depends on the subsystem's data only: it survives a change of the channels.
  const TTriState ccfMeasures = ccfMeasures_;
  const double ccfScoreMeasures = ccfScoreMeasures_;
  ResetCaches();
  ccfMeasures_ = ccfMeasures;
  ccfScoreMeasures_ = ccfScoreMeasures;
  DoOnChange(sender);
}

std::string TComponentOp::GetCaption() const {
  return component_ ? GetComponentName() : GetMsgString(txtSubsystem, msgBaseGeneral);
}

bool TComponentOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TComponentOp*>(&other);
  return o && SameObject(component_.get(), o->component_.get()) && StampsEqual(*o) && SameItems(*list_, *o->list_);
}

void TComponentOp::Assign(const TtiObject& source) {
  const auto* s = &SourceAs<TComponentOp>(*this, source);
  if (s == this) return;
  RefillWithLiveClones(*list_, *s->list_);  // the list pairs channels and test channel
  SetComponent(CloneOrNull(s->component_.get()));
  FinishAssign(*s);
}

int TComponentOp::GetPosition() const {
  const int i = IndexInContainingList("List");
  return i < 0 ? 0 : i + 1;
}

double TComponentOp::GetCompOrder() const {
  const TtiObject* owner = GetOwner();
  return OrderInContainingList(
      owner && (owner->ClassName() == "TSFOp" || owner->ClassName() == "TComponentOpList"), "List");
}

void TComponentOp::Changed() {
  list_->Changed();
  ResetCaches();
  TPerObjAbsEx::Changed();
}

void TComponentOp::ExpandDocumentPaths() {
  if (component_) {
    component_->SetDocument(ExpandFileName(component_->GetDocument()));
    component_->SetCatStandardFile(ExpandFileName(component_->GetCatStandardFile()));
  }
  TNodeComponentAbs::ExpandDocumentPaths();
}

bool TComponentOp::GetCCF(TCCFCalc& calc, double& score, TDetermination det) {
  return calc.CalcComponentCCF(*this, score, det);
}
double TComponentOp::GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) {
  return calc.CalcComponentDC(*this, band, det);
}
double TComponentOp::GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) {
  return calc.CalcComponentMTTFd(*this, band, det);
}
TPL TComponentOp::GetPL(TPLCalc& calc, double& pfh, TDetermination det) {
  return calc.CalcComponentPL(*this, pfh, det);
}

// ---- Cached values ----
// Each cache is filled only when the computation succeeds: an error leaves it empty, so the next read asks
// again.

namespace {
// As the caches in BOMShared.h; a CCF cache holds NotEvaluated while empty.
void FillCCFCache(const TComponentOp& node, TTriState& cache, double& scoreField, TDetermination det) {
  if (cache != TTriState::NotEvaluated) return;
  double score = 0.0;
  const bool met = const_cast<TComponentOp&>(node).GetCCF(CalcPool().GetCCFCalc(), score, det);
  scoreField = score;
  cache = met ? TTriState::Yes : TTriState::No;
}
}  // namespace

double TComponentOp::GetDCavgLazy() const {
  return FillDCCache(*this, dcavg_, dcavgBand_, detUnknown);
}

TDCDenotation TComponentOp::GetDCavgDenotationLazy() const {
  GetDCavgLazy();
  return dcavgBand_;
}

double TComponentOp::GetDCavgSubItemsLazy() const {
  return FillDCCache(*this, dcavgSub_, dcavgSubBand_, detSubItems);
}

TDCDenotation TComponentOp::GetDCavgSubItemsDenotationLazy() const {
  GetDCavgSubItemsLazy();
  return dcavgSubBand_;
}

double TComponentOp::GetMTTFdLazy() const {
  return FillMTTFdCache(*this, mttfd_, mttfdBand_, mttfLow, detUnknown);
}

TMTTFdDenotation TComponentOp::GetMTTFdDenotationLazy() const {
  GetMTTFdLazy();
  return mttfdBand_;
}

double TComponentOp::GetMTTFdSubItemsLazy() const {
  return FillMTTFdCache(*this, mttfdSub_, mttfdSubBand_, mttfLow, detSubItems);
}

TMTTFdDenotation TComponentOp::GetMTTFdSubItemsDenotationLazy() const {
  GetMTTFdSubItemsLazy();
  return mttfdSubBand_;
}

TPL TComponentOp::GetPLLazy() const {
  return FillPLCache(*this, pl_, pfh_, detUnknown);
}

double TComponentOp::GetPFHLazy() const {
  GetPLLazy();
  return pfh_;
}

TPL TComponentOp::GetPLSubItemsLazy() const {
  return FillPLCache(*this, plSub_, pfhSub_, detSubItems);
}

double TComponentOp::GetPFHSubItemsLazy() const {
  GetPLSubItemsLazy();
  return pfhSub_;
}

bool TComponentOp::IsCCFSatisfiedLazy() const {
  FillCCFCache(*this, ccf_, ccfScore_, detUnknown);
  return ccf_ == TTriState::Yes;
}

double TComponentOp::GetCCFScoreLazy() const {
  IsCCFSatisfiedLazy();
  return ccfScore_;
}

bool TComponentOp::IsCCFMeasuresSatisfiedLazy() const {
  FillCCFCache(*this, ccfMeasures_, ccfScoreMeasures_, detMeasures);
  return ccfMeasures_ == TTriState::Yes;
}

double TComponentOp::GetCCFScoreMeasuresLazy() const {
  IsCCFMeasuresSatisfiedLazy();
  return ccfScoreMeasures_;
}

// ---- Category requirements ----

namespace {

// The reached band meets the allowed set: it is in the set, or an allowed band lies below it (a better band
// than asked for). A value in no band (an MTTFd below 3 years, a DC that cannot be determined) meets nothing.
template <class E>
bool BandMeets(TEnumSet<E> allowed, E reached, E lastRealBand) {
  if (static_cast<int>(reached) > static_cast<int>(lastRealBand)) return false;
  if (allowed.Contains(reached)) return true;
  for (int b = 0; b < static_cast<int>(reached); ++b)
    if (allowed.Contains(static_cast<E>(b))) return true;
  return false;
}

}  // namespace

void TComponentOp::EvaluateCatRequirements() const {
  if (catReq_.status != TTriState::NotEvaluated) return;
  const TComponent& c = Comp();
  TMTTFdDenotationSet mttfdAllowed;
  TDCDenotationSet dcAllowed;
  bool ccfCounts = false;
  GetCatRequirements(c.GetCat(), mttfdAllowed, dcAllowed, ccfCounts);
  CatReq r;
  GetMTTFdLazy();
  r.mttfdMet = BandMeets(mttfdAllowed, mttfdBand_, mttfHigh);
  const double dcavg = GetDCavgLazy();
  const TDCDenotation dcBand = dcavgBand_;
  const bool dcNoneAllowed = dcAllowed.Contains(dcNone);
  r.dcavgMet = dcNoneAllowed || dcAllowed.Contains(dcBand) ||
               (!std::isinf(dcavg) && BandMeets(dcAllowed, dcBand, dcHigh));
  r.ccfMet = ccfCounts ? IsCCFSatisfiedLazy() : true;
  if (r.dcavgMet) {
    r.dcavgMetTolerance = true;
  } else {
    const TDCDenotation tolBand = GetDCDenotation(dcavg + cDCavgTolerance);
    r.dcavgMetTolerance = dcNoneAllowed || BandMeets(dcAllowed, tolBand, dcHigh);
  }
  if (!c.GetCatConditionsRelevant()) {
    r.status = TTriState::Yes;
  } else {
    const bool failed = (!r.mttfdMet && IsMTTFdRelevant()) || (!r.dcavgMet && IsDCavgRelevant()) ||
                        (!r.ccfMet && IsCCFRelevant());
    r.status = failed ? TTriState::No : TTriState::Yes;
  }
  catReq_ = r;
}

TTriState TComponentOp::GetCatRequirementsStatus() const {
  EvaluateCatRequirements();
  return catReq_.status;
}

bool TComponentOp::IsCatRequirementsSatisfied() const { return GetCatRequirementsStatus() == TTriState::Yes; }

bool TComponentOp::IsMTTFdSatisfied() const {
  EvaluateCatRequirements();
  return catReq_.mttfdMet;
}

bool TComponentOp::IsDCavgSatisfied() const {
  EvaluateCatRequirements();
  return catReq_.dcavgMet;
}

bool TComponentOp::IsDCavgSatisfiedWithTolerance() const {
  EvaluateCatRequirements();
  return catReq_.dcavgMetTolerance;
}

bool TComponentOp::IsCCFSatisfied() const {
  EvaluateCatRequirements();
  return catReq_.ccfMet;
}

// ---- Relevance ----

bool TComponentOp::MTTFdIsInfinite() const {
  try {
    return std::isinf(GetMTTFdLazy());
  } catch (const EKelvado&) {
    return false;  // no value is no reason to hide the other values
  }
}

bool TComponentOp::IsMTTFdRelevant() const {
  if (!component_) return false;
  return component_->GetPLDet() != detDirect || component_->GetCatConditionsRelevant();
}

bool TComponentOp::IsDCavgRelevant() const {
  if (!component_) return false;
  if (component_->GetCat() == catB || component_->GetCat() == cat1) return false;
  if (!IsMTTFdRelevant()) return false;
  return !MTTFdIsInfinite();
}

bool TComponentOp::IsCCFRelevant() const {
  if (!component_) return false;
  if (component_->GetChannelCount() < 2 && component_->GetCat() != cat2) return false;
  if (!IsMTTFdRelevant()) return false;
  return !MTTFdIsInfinite();
}

bool TComponentOp::IsRelevant() const {
  const TSFOp* sf = GetSFOp();
  return sf ? sf->IsRelevant() : true;
}

TSFOp* TComponentOp::GetSFOp() const {
  TtiObject* owner = GetOwner();
  if (owner && dynamic_cast<TComponentOpList*>(owner)) owner = owner->GetOwner();
  return dynamic_cast<TSFOp*>(owner);
}

std::vector<TChannelOp*> TComponentOp::UsedChannels() const {
  std::vector<TChannelOp*> result;
  const int n = component_ ? component_->GetChannelCount() : 0;
  for (int i = 0; i < list_->GetCount() && static_cast<int>(result.size()) < n; ++i) {
    auto* ch = dynamic_cast<TChannelOp*>(list_->GetItems(i));
    if (!ch || ch->GetDeleted() || ch->IsTestChannelNode()) continue;
    result.push_back(ch);
  }
  return result;
}

std::vector<TChannelOp*> TComponentOp::FirstChannels(int count) const {
  std::vector<TChannelOp*> result;
  if (count >= 1) {
    for (int i = 0; i < list_->GetCount() && static_cast<int>(result.size()) < count; ++i) {
      TtiObject* item = list_->GetItems(i);
      // Every evaluation of the subsystem asks: a channel node needs no search of the class tree.
      auto* ch = item && typeid(*item) == typeid(TChannelOp) ? static_cast<TChannelOp*>(item)
                                                              : dynamic_cast<TChannelOp*>(item);
      if (!ch || ch->GetDeleted() || ch->IsTestChannelNode()) continue;
      result.push_back(ch);
    }
  }
  // A category needs exactly this many channels; computing from fewer would read channels that are not there.
  if (count < 1) throw EIndexOutOfBounds(msgChannelCount, {std::to_string(count)});
  if (static_cast<int>(result.size()) < count) {
    // The user is told which subsystem lacks what, and how to mend it; callers still see message 1011.
    EIndexOutOfBounds e(msgChannelCount, {std::to_string(count)});
    const std::string shortage = GetRunMsgString(msgChannelsMissing, 0);
    if (!shortage.empty())
      e.SetMessage(tiFormat(shortage, {GetComponentName(), std::to_string(result.size()),
                                       component_ ? CatToStr(component_->GetCat()) : "-", std::to_string(count)}));
    throw e;
  }
  return result;
}

}  // namespace kelvado
