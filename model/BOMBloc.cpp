#include "model/BOMBloc.h"

#include <algorithm>
#include <cmath>

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

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

std::string bom_detail::InsufficientDCMeasureText(const TChannelOp* channel, const TDCMeasureOp* measure) {
  // A deleted measure is no measure, as for the DC itself.
  if (!measure || measure->GetDeleted() || !measure->GetDCMeasure()) return {};
  const TComponentOp* component = channel ? channel->GetComponentOp() : nullptr;
  const TSFOp* sf = component ? component->GetSFOp() : nullptr;
  if (!sf || !measure->GetDCMeasure()->GetInsufficient().Contains(sf->GetPLrLazy())) return {};
  return StatusText(stsDCMeasureInsufficient, {sf->GetPLrString()});
}

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

void TBloc::SetDC(double v) { SetFloatProp(v_.dc, v, kPartDCLimits); }
void TBloc::SetMissionTime(double v) { SetFloatProp(v_.missionTime, v, kPartMissionTimeLimits); }
void TBloc::SetMTTFd(double v) { SetFloatProp(v_.mttfd, v, kPartMTTFdLimits); }

void TBloc::SetDCMeasureOp(std::unique_ptr<TDCMeasureOp> m) {
  if (KeepsPart(dcMeasureOp_, m)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(dcMeasureOp_, std::move(m), this, [this](TtiObject*) { DoOnChange(this); });
  PropertyChanged();
}

bool TBloc::Equals(const TtiObject& other) const {
  if (&other.Class() != &Class()) return false;
  const auto& o = static_cast<const TBloc&>(other);
  return v_ == o.v_ && SameObject(dcMeasureOp_.get(), o.dcMeasureOp_.get()) && mttfdDet_ == o.mttfdDet_ &&
         StampsEqual(o);
}

void TBloc::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TBloc>(*this, source);
  if (&s == this) return;
  SetDCMeasureOp(CloneOrNull(s.dcMeasureOp_.get()));
  v_ = s.v_;
  mttfdDet_ = s.mttfdDet_;
  FinishAssign(s);
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
  WireChildList(*list_, this, [this](TtiObject* sender) { ElementsChanged(sender); });
}

TBlocOp::~TBlocOp() {
  UnhookChildList(*list_);
  if (bloc_) bloc_->SetOnChange(nullptr);
}

TBloc& TBlocOp::Data() const {
  if (!bloc_) throw EtiPerProgrammerException("%s has no block", {ClassName()});
  return *bloc_;
}

void TBlocOp::ResetCaches() {
  dc_.reset();
  dcMeasures_.reset();
  dcSubItems_.reset();
  mttfd_.reset();
  mttfdSubItems_.reset();
}

void TBlocOp::ResetOwnDataCaches() {
  dc_.reset();
  dcMeasures_.reset();
  mttfd_.reset();
}

void TBlocOp::SetBloc(std::unique_ptr<TBloc> bloc) {
  if (KeepsPart(bloc_, bloc)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(bloc_, std::move(bloc), this, [this](TtiObject* sender) { BlocChanged(sender); });
  ResetOwnDataCaches();
  DoOnChange(this);
}

// Only what depends on the block's own data; the values from the elements stay.
void TBlocOp::BlocChanged(TtiObject*) {
  ResetOwnDataCaches();
  DoOnChange(this);
  DoOnStructureChange(this);
}

// Everything that depends on the elements; the DC from the measure stays.
void TBlocOp::ElementsChanged(TtiObject*) {
  dc_.reset();
  dcSubItems_.reset();
  mttfd_.reset();
  mttfdSubItems_.reset();
  DoOnChange(this);
}

double TBlocOp::GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) {
  return calc.CalcBlocDC(*this, band, det);
}

double TBlocOp::GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) {
  return calc.CalcBlocMTTFd(*this, band, det);
}

double TBlocOp::FillDCLazy() const { return FillDCCache(*this, dc_, dcBand_, detUnknown); }
TDCDenotation TBlocOp::GetDCBandLazy() const {
  FillDCCache(*this, dc_, dcBand_, detUnknown);
  return dcBand_;
}
double TBlocOp::GetDCMeasuresLazy() const {
  return FillDCCache(*this, dcMeasures_, dcMeasuresBand_, detMeasures);
}
TDCDenotation TBlocOp::GetDCMeasuresBandLazy() const {
  FillDCCache(*this, dcMeasures_, dcMeasuresBand_, detMeasures);
  return dcMeasuresBand_;
}
double TBlocOp::GetDCSubItemsLazy() const {
  return FillDCCache(*this, dcSubItems_, dcSubItemsBand_, detSubItems);
}
TDCDenotation TBlocOp::GetDCSubItemsBandLazy() const {
  FillDCCache(*this, dcSubItems_, dcSubItemsBand_, detSubItems);
  return dcSubItemsBand_;
}
double TBlocOp::FillMTTFdLazy() const {
  return FillMTTFdCache(*this, mttfd_, mttfdBand_, mttfNoBand, detUnknown);
}
TMTTFdDenotation TBlocOp::GetMTTFdBandLazy() const {
  FillMTTFdCache(*this, mttfd_, mttfdBand_, mttfNoBand, detUnknown);
  return mttfdBand_;
}
double TBlocOp::GetMTTFdSubItemsLazy() const {
  return FillMTTFdCache(*this, mttfdSubItems_, mttfdSubItemsBand_, mttfNoBand, detSubItems);
}
TMTTFdDenotation TBlocOp::GetMTTFdSubItemsBandLazy() const {
  FillMTTFdCache(*this, mttfdSubItems_, mttfdSubItemsBand_, mttfNoBand, detSubItems);
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
  TtiObject* owner = GetOwner();
  return OrderInContainingList(dynamic_cast<TChannelOp*>(owner) || dynamic_cast<TBlocOpList*>(owner), "List");
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

std::string TBlocOp::GetDCString() const { return NodeDCText(*this); }

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

std::string TBlocOp::GetMTTFdString() const { return NodeMTTFdText(*this); }

// ---- Node operations ----

bool TBlocOp::Equals(const TtiObject& other) const {
  if (&other.Class() != &Class()) return false;
  const auto& o = static_cast<const TBlocOp&>(other);
  return SameObject(bloc_.get(), o.bloc_.get()) && SameItems(*list_, *o.list_) && StampsEqual(o);
}

void TBlocOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TBlocOp>(*this, source);
  if (&s == this) return;
  SetBloc(CloneOrNull(s.bloc_.get()));
  RefillWithLiveClones(*list_, *s.list_);
  FinishAssign(s);
}

int TBlocOp::GetPosition() const { return 1 + IndexInContainingList("List"); }

TItemStatus TBlocOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  const TBloc* b = bloc_.get();

  if (b) {
    if (IsDCRelevant() && b->GetDCDet() == detMeasures) {
      const std::string text = InsufficientDCMeasureText(GetChannelOp(), b->GetDCMeasureOp());
      if (!text.empty()) ReportStatus(messages, result, isRed, text);
    }
    const bool hasElements = HasLiveItem(*list_);
    if (IsMTTFdRelevant() && b->GetMTTFdDet() == detSubItems && !hasElements)
      ReportStatus(messages, result, isGreen, StatusText(stsBlocNoElementsForMTTFd));
    if (IsDCRelevant() && b->GetDCDet() == detSubItems && !hasElements)
      ReportStatus(messages, result, isGreen, StatusText(stsBlocNoElementsForDC));
  }
  if (!b || LacksName(b->GetName(), txtPlaceholderBloc))
    ReportStatus(messages, result, isYellow, StatusText(stsBlocNoName));
  if (b && b->GetMissionTime() < cMissionTimeReference)
    ReportStatus(
        messages, result, isYellow,
        StatusText(stsBlocMissionTimeTooShort, {FloatToStr(cMissionTimeReference), FloatToStr(b->GetMissionTime())}));
  if (IsMTTFdRelevant() && RoundForBounds(GetMTTFdLazy()) < MTTFdMin())
    ReportStatus(messages, result, isRed, StatusText(stsBlocMTTFdBelowMin));
  if (IsDCRelevant() && GetDCLazy() == kInf && GetMTTFdLazy() != kInf)
    ReportStatus(messages, result, isRed, StatusText(stsBlocDCUndetermined));

  if (recursive) {
    const bool selectAll = !IsMTTFdOrDCRelevant();
    result = WithChildStatus(result, *list_, messages,
                             [&](const TElementOp& e) { return selectAll || e.IsMTTFdOrDCRelevant(); });
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
  TNodeBlocAbs::ExpandDocumentPaths();
}

}  // namespace kelvado
