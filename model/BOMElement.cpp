#include "model/BOMElement.h"

#include <cmath>
#include <filesystem>
#include <system_error>

#include "model/BOMBloc.h"
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

constexpr TFloatLimits kB10dLimits{cB10dMin, kInf, false, msgB10dTooSmall, TFloatLimits::ValueMin};
constexpr TFloatLimits kNopLimits{0.0, kInf, true, msgNopTooSmall, TFloatLimits::ValueMin};

}  // namespace

std::string ExpandFileName(const std::string& fileName) {
  if (fileName.empty()) return fileName;
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(fileName), ec);
  if (ec) return fileName;
  return p.lexically_normal().string();
}

bool bom_detail::LacksName(const std::string& name, int placeholderText) {
  if (name.empty()) return true;
  const std::string word = GetMsgString(placeholderText, msgBaseGeneral);
  return !word.empty() && name.find(word) != std::string::npos;
}

// ---- TElement ----

const TtiClass& TElement::StaticClass() {
  static const TtiClass c(
      TtiClass::Of<TElement, TPerObjAbsEx>(), "TElement", [](TtiPropTableBuilder<TElement>& b) {
        b.Float("B10d", &TElement::GetB10d, &TElement::SetB10d)
            .Float("DC", &TElement::GetDC, &TElement::SetDC)
            .String("DCDocumentation", &TElement::GetDCDocumentation, &TElement::SetDCDocumentation)
            .Enumeration("DCDet", &TElement::GetDCDet, &TElement::SetDCDet, EnumInfo<TDetermination>::Names)
            .Object("DCMeasureOp", &TElement::GetDCMeasureOp)
            .String("Description", &TElement::GetDescription, &TElement::SetDescription)
            .String("Document", &TElement::GetDocument, &TElement::SetDocument)
            .String("Documentation", &TElement::GetDocumentation, &TElement::SetDocumentation)
            .String("Manufacturer", &TElement::GetManufacturer, &TElement::SetManufacturer)
            .Float("MissionTime", &TElement::GetMissionTime, &TElement::SetMissionTime)
            .Float("MTTFd", &TElement::GetMTTFd, &TElement::SetMTTFd)
            .String("Name", &TElement::GetName, &TElement::SetName)
            .String("PartNo", &TElement::GetPartNo, &TElement::SetPartNo)
            .Enumeration("Technology", &TElement::GetTechnology, &TElement::SetTechnology,
                         EnumInfo<TTechnology>::Names)
            .Boolean("UseB10d", &TElement::GetUseB10d, &TElement::SetUseB10d);
      });
  return c;
}

TElement::~TElement() {
  if (dcMeasureOp_) dcMeasureOp_->SetOnChange(nullptr);
}

void TElement::SetB10d(double v) { SetFloatProp(b10d_, v, kB10dLimits); }
void TElement::SetDC(double v) { SetFloatProp(v_.dc, v, kPartDCLimits); }
void TElement::SetMissionTime(double v) { SetFloatProp(v_.missionTime, v, kPartMissionTimeLimits); }
void TElement::SetMTTFd(double v) { SetFloatProp(v_.mttfd, v, kPartMTTFdLimits); }

void TElement::SetDCMeasureOp(std::unique_ptr<TDCMeasureOp> m) {
  if (KeepsPart(dcMeasureOp_, m)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(dcMeasureOp_, std::move(m), this, [this](TtiObject*) { DoOnChange(this); });
  PropertyChanged();
}

bool TElement::Equals(const TtiObject& other) const {
  if (&other.Class() != &Class()) return false;
  const auto& o = static_cast<const TElement&>(other);
  return v_ == o.v_ && b10d_ == o.b10d_ && SameObject(dcMeasureOp_.get(), o.dcMeasureOp_.get()) &&
         technology_ == o.technology_ && useB10d_ == o.useB10d_ && StampsEqual(o);
}

void TElement::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TElement>(*this, source);
  if (&s == this) return;
  SetDCMeasureOp(CloneOrNull(s.dcMeasureOp_.get()));
  v_ = s.v_;
  b10d_ = s.b10d_;
  technology_ = s.technology_;
  useB10d_ = s.useB10d_;
  FinishAssign(s);
}

// ---- TElementOp ----

const TtiClass& TElementOp::StaticClass() {
  static const TtiClass c(
      TtiClass::Of<TElementOp, TNodeElementAbs>(), "TElementOp", [](TtiPropTableBuilder<TElementOp>& b) {
        b.Object("Element", &TElementOp::GetElement)
            .Float("Nop", &TElementOp::GetNop, &TElementOp::SetNop)
            .String("B10dString", &TElementOp::GetB10dString, &TElementOp::SetB10dString)
            .String("T10dString", &TElementOp::GetT10dString)
            .String("DCDirectString", &TElementOp::GetDCDirectString, &TElementOp::SetDCDirectString)
            .String("DCDenotationDirectString", &TElementOp::GetDCDenotationDirectString)
            .String("DCMeasuresString", &TElementOp::GetDCMeasuresString)
            .String("DCDenotationMeasuresString", &TElementOp::GetDCDenotationMeasuresString)
            .String("DCString", &TElementOp::GetDCString)
            .String("ElementName", &TElementOp::GetElementName, &TElementOp::SetElementName)
            .String("ElementTechnologyString", &TElementOp::GetElementTechnologyString,
                    &TElementOp::SetElementTechnologyString)
            .String("FITDirectString", &TElementOp::GetFITDirectString, &TElementOp::SetFITDirectString)
            .String("MTTFdDirectString", &TElementOp::GetMTTFdDirectString, &TElementOp::SetMTTFdDirectString)
            .String("MTTFdDenotationDirectString", &TElementOp::GetMTTFdDenotationDirectString)
            .String("MTTFdB10dString", &TElementOp::GetMTTFdB10dString)
            .String("MTTFdDenotationB10dString", &TElementOp::GetMTTFdDenotationB10dString)
            .String("MTTFdString", &TElementOp::GetMTTFdString)
            .String("NopString", &TElementOp::GetNopString, &TElementOp::SetNopString);
      });
  return c;
}

TElementOp::~TElementOp() {
  if (element_) element_->SetOnChange(nullptr);
}

TElement& TElementOp::Data() const {
  if (!element_) throw EtiPerProgrammerException("%s has no element", {ClassName()});
  return *element_;
}

void TElementOp::ResetCaches() {
  dc_.reset();
  dcMeasures_.reset();
  mttfd_.reset();
}

void TElementOp::SetElement(std::unique_ptr<TElement> element) {
  if (KeepsPart(element_, element)) return;
  CheckWriteProtection();
  const auto old =
      ReplacePart(element_, std::move(element), this, [this](TtiObject* sender) { ElementChanged(sender); });
  ResetCaches();
  DoOnChange(this);
}

void TElementOp::ElementChanged(TtiObject* sender) {
  ResetCaches();
  DoOnChange(sender ? sender : element_.get());
  DoOnStructureChange(this);
}

void TElementOp::SetNop(double v) {
  if (v == nop_) return;
  CheckWriteProtection();
  CheckNamingItem([&] { CheckFloatLimits(v, kNopLimits); });
  nop_ = v;
  ResetCaches();
  DoOnChange(this);
  if (element_) element_->DoOnChange(element_.get());
}

double TElementOp::GetDC(TDCCalc& calc, TDCDenotation& band, TDetermination det) {
  return calc.CalcElementDC(*this, band, det);
}

double TElementOp::GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band, TDetermination det) {
  return calc.CalcElementMTTFd(*this, band, det);
}

double TElementOp::FillDCLazy() const { return FillDCCache(*this, dc_, dcBand_, detUnknown); }

TDCDenotation TElementOp::GetDCBandLazy() const {
  GetDCLazy();
  return dcBand_;
}

double TElementOp::GetDCMeasuresLazy() const {
  return FillDCCache(*this, dcMeasures_, dcMeasuresBand_, detMeasures);
}

TDCDenotation TElementOp::GetDCMeasuresBandLazy() const {
  GetDCMeasuresLazy();
  return dcMeasuresBand_;
}

double TElementOp::FillMTTFdLazy() const {
  if (mttfd_) return *mttfd_;
  const TDetermination det = element_ && element_->GetUseB10d() ? detSubItems : detDirect;
  return FillMTTFdCache(*this, mttfd_, mttfdBand_, mttfLow, det);
}

TMTTFdDenotation TElementOp::GetMTTFdBandLazy() const {
  GetMTTFdLazy();
  return mttfdBand_;
}

void TElementOp::CalcNop(double dOp, double hOp, double tCycle) { SetNop(dOp * hOp * 3600.0 / tCycle); }

bool TElementOp::CheckNopParams(double dOp, double hOp, double tCycle) {
  return dOp >= 0.0 && dOp <= 365.0 && hOp >= 0.0 && hOp <= 24.0 && tCycle >= 0.0;
}

double TElementOp::GetT10d() const { return Data().GetB10d() / nop_; }

TBlocOp* TElementOp::GetBlocOp() const { return dynamic_cast<TBlocOp*>(GetOwner()); }

bool TElementOp::IsMTTFdRelevant() const {
  const TBlocOp* bloc = GetBlocOp();
  if (!bloc) return true;  // no owner, or an owner that is not a block node
  const TDetermination mttfdDet = bloc->GetBloc() ? bloc->GetBloc()->GetMTTFdDet() : detSubItems;
  return bloc->IsMTTFdOrDCRelevant() && mttfdDet == detSubItems && bloc->IsMTTFdRelevant();
}

bool TElementOp::IsDCRelevant() const {
  if (!GetOwner()) return std::isfinite(GetMTTFdLazy());
  const TBlocOp* bloc = GetBlocOp();
  if (!bloc) return true;
  const TBloc* data = bloc->GetBloc();
  const TDetermination dcDet = data ? data->GetDCDet() : detSubItems;
  const TDetermination mttfdDet = data ? data->GetMTTFdDet() : detSubItems;
  if (!bloc->IsMTTFdOrDCRelevant() || !bloc->IsDCRelevant() || dcDet != detSubItems) return false;
  return mttfdDet != detSubItems || std::isfinite(GetMTTFdLazy());
}

double TElementOp::GetElmOrder() const {
  TtiObject* owner = GetOwner();
  return OrderInContainingList(dynamic_cast<TBlocOp*>(owner) || dynamic_cast<TElementOpList*>(owner), "List");
}

void TElementOp::GetDCMeasureReportDescription(std::string& text) const {
  text.clear();
  if (element_ && element_->GetDCMeasureOp()) element_->GetDCMeasureOp()->GetReportDescription(text);
}

// ---- Display texts ----

// Without an element the texts of its values are empty.
std::string TElementOp::GetB10dString() const {
  return element_ ? RoundedText(GetOptRoundB10d(), element_->GetB10d()) : std::string();
}

void TElementOp::SetB10dString(const std::string& text) {
  Data().SetB10d(RoundToDigits(GetOptRoundB10d(), StrToFloat(text)));
}

std::string TElementOp::GetT10dString() const {
  return element_ ? RoundedText(GetOptRoundMTTFd(), GetT10d()) : std::string();
}

std::string TElementOp::GetDCDirectString() const {
  TDCDenotation band;
  const double dc = const_cast<TElementOp*>(this)->GetDC(CalcPool().GetDCCalc(), band, detDirect);
  return RoundedText(GetOptRoundDC(), dc * 100.0);
}

void TElementOp::SetDCDirectString(const std::string& text) { Data().SetDC(StrToFloat(text) / 100.0); }

std::string TElementOp::GetDCDenotationDirectString() const {
  TDCDenotation band = dcForward;
  const_cast<TElementOp*>(this)->GetDC(CalcPool().GetDCCalc(), band, detDirect);
  return DCDenotationToStr(band);
}

std::string TElementOp::GetDCMeasuresString() const {
  return RoundedText(GetOptRoundDC(), GetDCMeasuresLazy() * 100.0);
}

std::string TElementOp::GetDCDenotationMeasuresString() const {
  return DCDenotationToStr(GetDCMeasuresBandLazy());
}

std::string TElementOp::GetDCString() const { return NodeDCText(*this); }

std::string TElementOp::GetElementName() const {
  if (!element_ || element_->GetName().empty()) return PlaceholderElementName();
  return element_->GetName();
}

void TElementOp::SetElementName(const std::string& name) { Data().SetName(name); }

std::string TElementOp::GetElementTechnologyString() const {
  return TechnologyText(element_ ? element_->GetTechnology() : tecOther);
}

void TElementOp::SetElementTechnologyString(const std::string& text) {
  Data().SetTechnology(TextToTechnology(text));
}

std::string TElementOp::GetFITDirectString() const {
  return element_ ? FloatToStr(FITOfMTTFd(element_->GetMTTFd(), GetOptTruncFIT())) : std::string();
}

void TElementOp::SetFITDirectString(const std::string& text) { Data().SetMTTFd(MTTFdOfFIT(StrToFloat(text))); }

std::string TElementOp::GetMTTFdDirectString() const {
  TMTTFdDenotation band;
  const double m = const_cast<TElementOp*>(this)->GetMTTFd(CalcPool().GetMTTFdCalc(), band, detDirect);
  return RoundedTextInf(GetOptRoundMTTFd(), m);
}

void TElementOp::SetMTTFdDirectString(const std::string& text) { Data().SetMTTFd(TextToFloatInf(text)); }

std::string TElementOp::GetMTTFdDenotationDirectString() const {
  return MTTFdDenotationToStr(GetMTTFdDenotation(element_ ? element_->GetMTTFd() : -1.0));
}

std::string TElementOp::GetMTTFdB10dString() const {
  TMTTFdDenotation band;
  const double m = const_cast<TElementOp*>(this)->GetMTTFd(CalcPool().GetMTTFdCalc(), band, detSubItems);
  return RoundedTextInf(GetOptRoundB10d(), m);
}

std::string TElementOp::GetMTTFdDenotationB10dString() const {
  TMTTFdDenotation band = mttfNoBand;
  const_cast<TElementOp*>(this)->GetMTTFd(CalcPool().GetMTTFdCalc(), band, detSubItems);
  return MTTFdDenotationToStr(band);
}

std::string TElementOp::GetMTTFdString() const { return NodeMTTFdText(*this); }

std::string TElementOp::GetNopString() const { return RoundedText(GetOptRoundNop(), nop_); }

void TElementOp::SetNopString(const std::string& text) { SetNop(TextToFloatInf(text)); }

// ---- Node operations ----

bool TElementOp::Equals(const TtiObject& other) const {
  if (&other.Class() != &Class()) return false;
  const auto& o = static_cast<const TElementOp&>(other);
  return SameObject(element_.get(), o.element_.get()) && nop_ == o.nop_ && StampsEqual(o);
}

void TElementOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TElementOp>(*this, source);
  if (&s == this) return;
  SetElement(CloneOrNull(s.element_.get()));
  nop_ = s.nop_;
  FinishAssign(s);
}

int TElementOp::GetPosition() const { return 1 + IndexInContainingList("List"); }

TItemStatus TElementOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  (void)recursive;  // a leaf
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  const TElement* e = element_.get();

  if (e && IsDCRelevant() && e->GetDCDet() == detMeasures) {
    const TBlocOp* bloc = GetBlocOp();
    const std::string text = InsufficientDCMeasureText(bloc ? bloc->GetChannelOp() : nullptr, e->GetDCMeasureOp());
    if (!text.empty()) ReportStatus(messages, result, isRed, text);
  }
  if (!e || LacksName(e->GetName(), txtPlaceholderElement))
    ReportStatus(messages, result, isYellow, StatusText(stsElementNoName));
  if (e && IsMTTFdRelevant() && e->GetUseB10d() && std::isfinite(nop_) &&
      RoundForBounds(GetT10d()) < cMissionTimeReference)
    ReportStatus(messages, result, isYellow,
                 StatusText(stsElementT10dTooShort, {FloatToStr(cMissionTimeReference), GetT10dString()}));
  if (e && e->GetMissionTime() < cMissionTimeReference)
    ReportStatus(messages, result, isYellow,
                 StatusText(stsElementMissionTimeTooShort,
                            {FloatToStr(cMissionTimeReference), FloatToStr(e->GetMissionTime())}));
  if (IsMTTFdRelevant() && RoundForBounds(GetMTTFdLazy()) < MTTFdMin())
    ReportStatus(messages, result, isRed,
                 StatusText(std::isinf(nop_) ? stsElementB10dMTTFdBelowMin : stsElementMTTFdBelowMin));

  CallOnAfterCheckStatus();
  return result;
}

void TElementOp::Changed() {
  ResetCaches();
  TPerObjAbsEx::Changed();
}

void TElementOp::ExpandDocumentPaths() {
  if (element_) element_->SetDocument(ExpandFileName(element_->GetDocument()));
}

}  // namespace kelvado
