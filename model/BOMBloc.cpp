#include "model/BOMBloc.h"

#include <algorithm>
#include <cmath>

#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMSF.h"
#include "model/BOMValueTexts.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"

namespace kelvado {

using namespace bom_detail;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr TFloatLimits kDCLimits{cDCMinimum, cDCMaximum, false, 1004, TFloatLimits::ValueMinMax};
constexpr TFloatLimits kMTTFdLimits{MTTFdMinYears, kInf, false, 1007, TFloatLimits::ValueMin};
constexpr TFloatLimits kMissionTimeLimits{-kInf, cMissionTimeMax, false, 1040, TFloatLimits::ValueMax};

template <class T>
const T& SourceAs(const TtiObject& target, const TtiObject& source) {
  const T* s = dynamic_cast<const T*>(&source);
  if (!s) throw EtiPerProgrammerException("Cannot assign a %s to a %s", {source.ClassName(), target.ClassName()});
  return *s;
}

template <class T>
bool SameObject(const T* a, const T* b) {
  if (!a || !b) return a == b;
  return a->Equals(*b);
}

std::string StatusText(int index, FmtArgs args = {}) { return FormatMsgString(msgBaseStatus + index, args); }

bool HasLiveItem(const TtiObjectList& list) {
  for (TtiObject* o : list)
    if (!o->GetDeleted()) return true;
  return false;
}

}  // namespace

// ---- TBloc ----

const TtiClass& TBloc::StaticClass() {
  static const TtiClass c(TtiClass::Of<TBloc, TPerObjAbsEx>(), "TBloc", [](TtiPropTableBuilder<TBloc>& b) {
    b.Float("DC", &TBloc::GetDC, &TBloc::SetDC)
        .Enumeration("DCDet", &TBloc::GetDCDet, &TBloc::SetDCDet, EnumInfo<TDetermination>::Names)
        .String("DCDocumentation", &TBloc::GetDCDocumentation, &TBloc::SetDCDocumentation)
        .Object("DCMeasureOp", &TBloc::GetDCMeasureOp)
        .String("Description", &TBloc::GetDescription, &TBloc::SetDescription)
        .String("Document", &TBloc::GetDocument, &TBloc::SetDocument)
        .String("Documentation", &TBloc::GetDocumentation, &TBloc::SetDocumentation)
        .String("Manufacturer", &TBloc::GetManufacturer, &TBloc::SetManufacturer)
        .Float("MissionTime", &TBloc::GetMissionTime, &TBloc::SetMissionTime)
        .Float("MTTFd", &TBloc::GetMTTFd, &TBloc::SetMTTFd)
        .Enumeration("MTTFdDet", &TBloc::GetMTTFdDet, &TBloc::SetMTTFdDet, EnumInfo<TDetermination>::Names)
        .String("Name", &TBloc::GetName, &TBloc::SetName)
        .String("PartNo", &TBloc::GetPartNo, &TBloc::SetPartNo);
  });
  return c;
}

TBloc::~TBloc() {
  if (dcMeasureOp_) dcMeasureOp_->SetOnChange(nullptr);
}

void TBloc::SetDC(double v) { SetFloatProp(dc_, v, kDCLimits); }
void TBloc::SetMissionTime(double v) { SetFloatProp(missionTime_, v, kMissionTimeLimits); }
void TBloc::SetMTTFd(double v) { SetFloatProp(mttfd_, v, kMTTFdLimits); }

void TBloc::SetDCMeasureOp(std::unique_ptr<TDCMeasureOp> m) {
  if (m && m.get() == dcMeasureOp_.get()) {
    (void)m.release();  // the occurrence already held, handed in again: keep the one ownership
    return;
  }
  if (!m && !dcMeasureOp_) return;
  CheckWriteProtection();
  std::unique_ptr<TDCMeasureOp> old = std::move(dcMeasureOp_);
  if (old) {
    if (old->GetOwner() == this) old->SetOwner(nullptr);
    old->SetOnChange(nullptr);
  }
  dcMeasureOp_ = std::move(m);
  if (dcMeasureOp_) {
    dcMeasureOp_->SetOwner(this);
    dcMeasureOp_->SetOnChange([this](TtiObject*) { DoOnChange(this); });
  }
  PropertyChanged();
}

bool TBloc::Equals(const TtiObject& other) const {
  if (&other.Class() != &Class()) return false;
  const auto& o = static_cast<const TBloc&>(other);
  return dc_ == o.dc_ && dcDet_ == o.dcDet_ && dcDocumentation_ == o.dcDocumentation_ &&
         SameObject(dcMeasureOp_.get(), o.dcMeasureOp_.get()) && description_ == o.description_ &&
         document_ == o.document_ && documentation_ == o.documentation_ && manufacturer_ == o.manufacturer_ &&
         missionTime_ == o.missionTime_ && mttfd_ == o.mttfd_ && mttfdDet_ == o.mttfdDet_ && name_ == o.name_ &&
         partNo_ == o.partNo_ && StampsEqual(o);
}

void TBloc::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TBloc>(*this, source);
  if (&s == this) return;
  SetDCMeasureOp(s.dcMeasureOp_ ? s.dcMeasureOp_->CloneAs<TDCMeasureOp>() : nullptr);
  dc_ = s.dc_;
  dcDet_ = s.dcDet_;
  dcDocumentation_ = s.dcDocumentation_;
  description_ = s.description_;
  document_ = s.document_;
  documentation_ = s.documentation_;
  manufacturer_ = s.manufacturer_;
  missionTime_ = s.missionTime_;
  mttfd_ = s.mttfd_;
  mttfdDet_ = s.mttfdDet_;
  name_ = s.name_;
  partNo_ = s.partNo_;
  AssignStamps(s);
  StoreIsProtected(s.GetIsProtected());
  Changed();
}

// ---- TBlocOp ----

const TtiClass& TBlocOp::StaticClass() {
  static const TtiClass c(
      TtiClass::Of<TBlocOp, TNodeBlocAbs>(), "TBlocOp", [](TtiPropTableBuilder<TBlocOp>& b) {
        b.Object("Bloc", &TBlocOp::GetBloc)
            .String("BlocName", &TBlocOp::GetBlocName)
            .String("DCDirectString", &TBlocOp::GetDCDirectString, &TBlocOp::SetDCDirectString)
            .String("DCDenotationDirectString", &TBlocOp::GetDCDenotationDirectString)
            .String("DCMeasuresString", &TBlocOp::GetDCMeasuresString)
            .String("DCDenotationMeasuresString", &TBlocOp::GetDCDenotationMeasuresString)
            .String("DCSubItemsString", &TBlocOp::GetDCSubItemsString)
            .String("DCDenotationSubItemsString", &TBlocOp::GetDCDenotationSubItemsString)
            .String("DCString", &TBlocOp::GetDCString)
            .String("FITDirectString", &TBlocOp::GetFITDirectString, &TBlocOp::SetFITDirectString)
            .Float("MinMissionTime", &TBlocOp::GetMinMissionTime)
            .String("MTTFdDirectString", &TBlocOp::GetMTTFdDirectString, &TBlocOp::SetMTTFdDirectString)
            .String("MTTFdDenotationDirectString", &TBlocOp::GetMTTFdDenotationDirectString)
            .String("MTTFdSubItemsString", &TBlocOp::GetMTTFdSubItemsString)
            .String("MTTFdDenotationSubItemsString", &TBlocOp::GetMTTFdDenotationSubItemsString)
            .String("MTTFdString", &TBlocOp::GetMTTFdString);
      });
  return c;
}

TBlocOp::TBlocOp() : list_(std::make_unique<TElementOpList>()) {
  list_->SetOwner(this);
  list_->SetItemOwner(this);
  list_->SetOnChange([this](TtiObject* sender) { ElementsChanged(sender); });
}

TBlocOp::~TBlocOp() {
  // Nothing may call back into this node while its parts go.
  list_->SetOnChange(nullptr);
  list_->SetOnStructureChange(nullptr);
  if (bloc_) bloc_->SetOnChange(nullptr);
}

TBloc& TBlocOp::Data() const {
  if (!bloc_) throw EtiPerProgrammerException("%s has no block", {ClassName()});
  return *bloc_;
}

void TBlocOp::ResetCaches() {
  dc_ = dcMeasures_ = dcSubItems_ = -1.0;
  mttfd_ = mttfdSubItems_ = -1.0;
}

void TBlocOp::SetBloc(std::unique_ptr<TBloc> bloc) {
  if (bloc && bloc.get() == bloc_.get()) {
    (void)bloc.release();
    return;
  }
  if (!bloc && !bloc_) return;
  CheckWriteProtection();
  std::unique_ptr<TBloc> old = std::move(bloc_);
  if (old) {
    if (old->GetOwner() == this) old->SetOwner(nullptr);
    old->SetOnChange(nullptr);
  }
  bloc_ = std::move(bloc);
  if (bloc_) {
    bloc_->SetOwner(this);
    bloc_->SetOnChange([this](TtiObject* sender) { BlocChanged(sender); });
  }
  dc_ = dcMeasures_ = mttfd_ = -1.0;
  DoOnChange(this);
}

// Only what depends on the block's own data; the values from the elements stay.
void TBlocOp::BlocChanged(TtiObject*) {
  dc_ = dcMeasures_ = mttfd_ = -1.0;
  DoOnChange(this);
  DoOnStructureChange(this);
}

// Everything that depends on the elements; the DC from the measure stays.
void TBlocOp::ElementsChanged(TtiObject*) {
  dc_ = dcSubItems_ = -1.0;
  mttfd_ = mttfdSubItems_ = -1.0;
  DoOnChange(this);
}

void TBlocOp::SetOnStructureChange(TNotifyEvent event) {
  list_->SetOnStructureChange(event);
  TPerObjAbsEx::SetOnStructureChange(std::move(event));
}

double TBlocOp::GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) {
  return calc.CalcBlocDC(*this, band, det);
}

double TBlocOp::GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) {
  return calc.CalcBlocMTTFd(*this, band, det);
}

namespace {
// Fills a DC cache of `node` when it is empty (the value and its band are stored only when the calculator
// succeeded). The caches are not part of what the node shows as its state, hence the const_cast.
void FillDC(const TBlocOp& node, double& cache, TDCDenotation& bandField, TDetermination det) {
  if (cache != -1.0) return;
  TDCDenotation band = dcForward;
  const double v = const_cast<TBlocOp&>(node).GetDC(CalcPool().GetDCCalc(), band, det);
  bandField = band;
  cache = v;
}
void FillMTTFd(const TBlocOp& node, double& cache, TMTTFdDenotation& bandField, TDetermination det) {
  if (cache != -1.0) return;
  TMTTFdDenotation band = mttfNoBand;
  const double v = const_cast<TBlocOp&>(node).GetMTTFd(CalcPool().GetMTTFdCalc(), band, det);
  bandField = band;
  cache = v;
}
}  // namespace

double TBlocOp::GetDCLazy() const {
  FillDC(*this, dc_, dcBand_, detUnknown);
  return dc_;
}
TDCDenotation TBlocOp::GetDCBandLazy() const {
  FillDC(*this, dc_, dcBand_, detUnknown);
  return dcBand_;
}
double TBlocOp::GetDCMeasuresLazy() const {
  FillDC(*this, dcMeasures_, dcMeasuresBand_, detMeasures);
  return dcMeasures_;
}
TDCDenotation TBlocOp::GetDCMeasuresBandLazy() const {
  FillDC(*this, dcMeasures_, dcMeasuresBand_, detMeasures);
  return dcMeasuresBand_;
}
double TBlocOp::GetDCSubItemsLazy() const {
  FillDC(*this, dcSubItems_, dcSubItemsBand_, detSubItems);
  return dcSubItems_;
}
TDCDenotation TBlocOp::GetDCSubItemsBandLazy() const {
  FillDC(*this, dcSubItems_, dcSubItemsBand_, detSubItems);
  return dcSubItemsBand_;
}
double TBlocOp::GetMTTFdLazy() const {
  FillMTTFd(*this, mttfd_, mttfdBand_, detUnknown);
  return mttfd_;
}
TMTTFdDenotation TBlocOp::GetMTTFdBandLazy() const {
  FillMTTFd(*this, mttfd_, mttfdBand_, detUnknown);
  return mttfdBand_;
}
double TBlocOp::GetMTTFdSubItemsLazy() const {
  FillMTTFd(*this, mttfdSubItems_, mttfdSubItemsBand_, detSubItems);
  return mttfdSubItems_;
}
TMTTFdDenotation TBlocOp::GetMTTFdSubItemsBandLazy() const {
  FillMTTFd(*this, mttfdSubItems_, mttfdSubItemsBand_, detSubItems);
  return mttfdSubItemsBand_;
}

// ---- Relevance ----

TChannelOp* TBlocOp::GetChannelOp() const { return dynamic_cast<TChannelOp*>(GetOwner()); }

bool TBlocOp::IsRelevant() const {
  const TChannelOp* channel = GetChannelOp();
  return channel ? channel->IsRelevant() : true;
}

bool TBlocOp::IsMTTFdRelevant() const {
  const TChannelOp* channel = GetChannelOp();
  TComponentOp* comp = channel ? channel->GetComponentOp() : nullptr;
  if (!comp || !comp->GetComponent()) return true;
  return channel->IsUsedBySubsystem() && comp->GetComponent()->GetMTTFdDet() == detSubItems &&
         comp->IsMTTFdRelevant();
}

bool TBlocOp::IsDCRelevant() const {
  const TChannelOp* channel = GetChannelOp();
  TComponentOp* comp = channel ? channel->GetComponentOp() : nullptr;
  if (!comp || !comp->GetComponent()) return true;
  return channel->IsUsedBySubsystem() && comp->GetComponent()->GetDCavgDet() == detSubItems &&
         comp->IsDCavgRelevant() && std::isfinite(GetMTTFdLazy()) && !channel->IsTestChannelNode();
}

double TBlocOp::GetBlocOrder() const {
  try {
    TtiObject* owner = GetOwner();
    if (dynamic_cast<TChannelOp*>(owner) || dynamic_cast<TBlocOpList*>(owner)) {
      const int i = IndexInContainingList("List");
      if (i >= 0) return static_cast<double>(i);
    }
  } catch (...) {
    // the order is only a hint for the stores: no order rather than no save
  }
  return -1.0;
}

double TBlocOp::GetMinMissionTime() const {
  double result = bloc_ ? bloc_->GetMissionTime() : kInf;
  for (int i = 0; i < list_->GetCount(); ++i) {
    TElementOp* e = list_->Items(i);
    if (e->GetDeleted()) continue;
    if (e->GetElement() && e->IsMTTFdOrDCRelevant()) result = std::min(result, e->GetElement()->GetMissionTime());
  }
  return result;
}

// ---- Display texts ----

std::string TBlocOp::GetBlocName() const {
  if (!bloc_ || bloc_->GetName().empty()) return PlaceholderBlocName();
  return bloc_->GetName();
}

// Without a block the texts of its entered values are empty.
std::string TBlocOp::GetDCDirectString() const {
  return bloc_ ? RoundedText(GetOptRoundDC(), bloc_->GetDC() * 100.0) : std::string();
}

void TBlocOp::SetDCDirectString(const std::string& text) { Data().SetDC(StrToFloat(text) / 100.0); }

std::string TBlocOp::GetDCDenotationDirectString() const {
  return bloc_ ? DCDenotationToStr(GetDCDenotation(bloc_->GetDC())) : std::string();
}

std::string TBlocOp::GetDCMeasuresString() const {
  return RoundedText(GetOptRoundDC(), GetDCMeasuresLazy() * 100.0);
}

std::string TBlocOp::GetDCDenotationMeasuresString() const { return DCDenotationToStr(GetDCMeasuresBandLazy()); }

std::string TBlocOp::GetDCSubItemsString() const {
  const double dc = GetDCSubItemsLazy();
  if (dc < 0.0 || std::isinf(dc)) return "-";
  return RoundedText(GetOptRoundDC(), dc * 100.0);
}

std::string TBlocOp::GetDCDenotationSubItemsString() const { return DCDenotationToStr(GetDCSubItemsBandLazy()); }

std::string TBlocOp::GetDCString() const {
  if (!IsDCRelevant() && GetOptHideNonRelevant()) return GetMsgString(391, msgBaseGeneral);
  const double dc = GetDCLazy();
  if (dc < 0.0 || std::isinf(dc)) return "- (-)";
  return RoundedText(GetOptRoundDC(), dc * 100.0) + " (" + DCDenotationToStr(dcBand_) + ")";
}

std::string TBlocOp::GetFITDirectString() const {
  return bloc_ ? FloatToStr(FITOfMTTFd(bloc_->GetMTTFd(), GetOptTruncFIT())) : std::string();
}

void TBlocOp::SetFITDirectString(const std::string& text) { Data().SetMTTFd(MTTFdOfFIT(StrToFloat(text))); }

std::string TBlocOp::GetMTTFdDirectString() const {
  return bloc_ ? RoundedTextInf(GetOptRoundMTTFd(), bloc_->GetMTTFd()) : std::string();
}

void TBlocOp::SetMTTFdDirectString(const std::string& text) { Data().SetMTTFd(TextToFloatInf(text)); }

std::string TBlocOp::GetMTTFdDenotationDirectString() const {
  return bloc_ ? MTTFdDenotationToStr(GetMTTFdDenotation(bloc_->GetMTTFd())) : std::string();
}

std::string TBlocOp::GetMTTFdSubItemsString() const {
  return RoundedTextInf(GetOptRoundMTTFd(), GetMTTFdSubItemsLazy());
}

std::string TBlocOp::GetMTTFdDenotationSubItemsString() const {
  return MTTFdDenotationToStr(GetMTTFdSubItemsBandLazy());
}

std::string TBlocOp::GetMTTFdString() const {
  if (!IsMTTFdRelevant() && GetOptHideNonRelevant()) return GetMsgString(391, msgBaseGeneral);
  const double m = GetMTTFdLazy();
  return ReplaceInfinity(RoundedText(GetOptRoundMTTFd(), m) + " (" + MTTFdDenotationToStr(mttfdBand_) + ")");
}

// ---- Node operations ----

bool TBlocOp::Equals(const TtiObject& other) const {
  if (&other.Class() != &Class()) return false;
  const auto& o = static_cast<const TBlocOp&>(other);
  if (!SameObject(bloc_.get(), o.bloc_.get()) || list_->GetCount() != o.list_->GetCount() || !StampsEqual(o))
    return false;
  for (int i = 0; i < list_->GetCount(); ++i)
    if (!list_->GetItems(i)->Equals(*o.list_->GetItems(i))) return false;
  return true;
}

void TBlocOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TBlocOp>(*this, source);
  if (&s == this) return;
  SetBloc(s.bloc_ ? s.bloc_->CloneAs<TBloc>() : nullptr);
  list_->Clear();
  for (TtiObject* o : *s.list_)
    if (!o->GetDeleted()) list_->Add(o->CloneAs<TElementOp>());
  AssignStamps(s);
  StoreIsProtected(s.GetIsProtected());
  Changed();
}

int TBlocOp::GetPosition() const { return 1 + IndexInContainingList("List"); }

TItemStatus TBlocOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  const TBloc* b = bloc_.get();

  if (b) {
    // A DC measure that does not suffice for the PL the safety function requires.
    // (A deleted measure is no measure, as for the DC itself.)
    if (IsDCRelevant() && b->GetDCDet() == detMeasures && b->GetDCMeasureOp() &&
        !b->GetDCMeasureOp()->GetDeleted() && b->GetDCMeasureOp()->GetDCMeasure()) {
      const TChannelOp* channel = GetChannelOp();
      TComponentOp* component = channel ? channel->GetComponentOp() : nullptr;
      TSFOp* sf = component ? component->GetSFOp() : nullptr;
      if (sf && b->GetDCMeasureOp()->GetDCMeasure()->GetInsufficient().Contains(sf->GetPLrLazy()))
        ReportStatus(messages, result, isRed, StatusText(291, {sf->GetPLrString()}));
    }
    const bool hasElements = HasLiveItem(*list_);
    if (IsMTTFdRelevant() && b->GetMTTFdDet() == detSubItems && !hasElements)
      ReportStatus(messages, result, isGreen, StatusText(294));
    if (IsDCRelevant() && b->GetDCDet() == detSubItems && !hasElements)
      ReportStatus(messages, result, isGreen, StatusText(295));
  }
  if (!b || b->GetName().empty() || ContainsPlaceholderWord(b->GetName(), 114))
    ReportStatus(messages, result, isYellow, StatusText(261));
  if (b && b->GetMissionTime() < cMissionTimeReference)
    ReportStatus(messages, result, isYellow,
                 StatusText(265, {FloatToStr(cMissionTimeReference), FloatToStr(b->GetMissionTime())}));
  if (IsMTTFdRelevant() && RoundForBounds(GetMTTFdLazy()) < MTTFdMin())
    ReportStatus(messages, result, isRed, StatusText(262));
  if (IsDCRelevant() && GetDCLazy() == kInf && GetMTTFdLazy() != kInf)
    ReportStatus(messages, result, isRed, StatusText(263));

  if (recursive) {
    const bool selectAll = !IsMTTFdOrDCRelevant();
    for (int i = 0; i < list_->GetCount(); ++i) {
      TElementOp* e = list_->Items(i);
      if (e->GetDeleted()) continue;
      if (selectAll || e->IsMTTFdOrDCRelevant()) result = MinItemStatus(result, e->CheckStatus(messages, recursive));
    }
  }

  CallOnAfterCheckStatus();
  return result;
}

void TBlocOp::Changed() {
  list_->Changed();
  ResetCaches();
  TPerObjAbsEx::Changed();
}

void TBlocOp::ExpandDocumentPaths() {
  if (bloc_) bloc_->SetDocument(ExpandFileName(bloc_->GetDocument()));
  for (int i = 0; i < list_->GetCount(); ++i) list_->Items(i)->ExpandDocumentPaths();
}

}  // namespace kelvado
