#include "model/BOMMeasures.h"

#include <cmath>

#include "framework/tiUtils.h"
#include "model/BOMShared.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "platform/TextCase.h"

namespace kelvado {

using namespace bom_detail;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// DC bounds of a measure: below the DC minimum (or NaN) is refused with 1003, without arguments; above 100 %
// as an element's DC is (kPartDCLimits).
constexpr TFloatLimits kDCBoundLimits{cDCMinimum, kInf, false, msgInvalidDCBound, TFloatLimits::None};
constexpr TFloatLimits kScoreLimits{cCCFScoreMin, cCCFScoreMax, false, msgCCFScoreOutOfRange,
                                    TFloatLimits::ValueMinMax};

[[noreturn]] void NoMeasure(const TtiObject& op, const char* what) {
  throw EtiPerProgrammerException("%s has no DC measure whose %s could be written", {op.ClassName(), what});
}

void CheckDCBound(double v) {
  CheckFloatLimits(v, kDCBoundLimits);
  CheckFloatLimits(v, kPartDCLimits);
}

}  // namespace

// ---- TDCMeasure ----

const TtiClass& TDCMeasure::StaticClass() {
  static const TtiClass c(TtiClass::Of<TDCMeasure, TPerObjAbsEx>(), "TDCMeasure",
                          [](TtiPropTableBuilder<TDCMeasure>& b) {
                            b.String("Heading", &TDCMeasure::GetHeading, &TDCMeasure::SetHeading)
                                .String("Description", &TDCMeasure::GetDescription, &TDCMeasure::SetDescription)
                                .Float("DCmax", &TDCMeasure::GetDCmax, &TDCMeasure::SetDCmax)
                                .Float("DCmin", &TDCMeasure::GetDCmin, &TDCMeasure::SetDCmin)
                                .String("Dependency", &TDCMeasure::GetDependency, &TDCMeasure::SetDependency)
                                .String("Documentation", &TDCMeasure::GetDocumentation,
                                        &TDCMeasure::SetDocumentation)
                                .String("Document", &TDCMeasure::GetDocument, &TDCMeasure::SetDocument)
                                .Integer(
                                    "Insufficient",
                                    [](const TDCMeasure& m) { return m.GetInsufficient().Bits(); },
                                    [](TDCMeasure& m, uint8_t bits) { m.SetInsufficient(TPLSet::FromBits(bits)); });
                          });
  return c;
}

void TDCMeasure::SetDCmax(double v) {
  if (v == dcMax_) return;
  CheckWriteProtection();
  CheckDCBound(v);
  if (v < dcMin_) dcMin_ = v;
  dcMax_ = v;
  PropertyChanged();
}

void TDCMeasure::SetDCmin(double v) {
  if (v == dcMin_) return;
  CheckWriteProtection();
  CheckDCBound(v);
  if (v > dcMax_) dcMax_ = v;
  dcMin_ = v;
  PropertyChanged();
}

bool TDCMeasure::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TDCMeasure*>(&other);
  return o && heading_ == o->heading_ && description_ == o->description_ && dcMax_ == o->dcMax_ &&
         dcMin_ == o->dcMin_ && dependency_ == o->dependency_ && documentation_ == o->documentation_ &&
         document_ == o->document_ && insufficient_ == o->insufficient_ && StampsEqual(*o);
}

void TDCMeasure::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TDCMeasure>(*this, source);
  heading_ = s.heading_;
  description_ = s.description_;
  dcMax_ = s.dcMax_;
  dcMin_ = s.dcMin_;
  dependency_ = s.dependency_;
  documentation_ = s.documentation_;
  document_ = s.document_;
  insufficient_ = s.insufficient_;
  FinishAssign(s);
}

// ---- TCCFMeasure ----

const TtiClass& TCCFMeasure::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCCFMeasure, TPerObjAbsEx>(), "TCCFMeasure",
                          [](TtiPropTableBuilder<TCCFMeasure>& b) {
                            b.String("Heading", &TCCFMeasure::GetHeading, &TCCFMeasure::SetHeading)
                                .String("Number", &TCCFMeasure::GetNumber, &TCCFMeasure::SetNumber)
                                .String("Description", &TCCFMeasure::GetDescription, &TCCFMeasure::SetDescription)
                                .String("Documentation", &TCCFMeasure::GetDocumentation,
                                        &TCCFMeasure::SetDocumentation)
                                .String("Document", &TCCFMeasure::GetDocument, &TCCFMeasure::SetDocument)
                                .Float("Score", &TCCFMeasure::GetScore, &TCCFMeasure::SetScore);
                          });
  return c;
}

void TCCFMeasure::SetScore(double v) { SetFloatProp(score_, v, kScoreLimits); }

bool TCCFMeasure::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TCCFMeasure*>(&other);
  return o && heading_ == o->heading_ && number_ == o->number_ && description_ == o->description_ &&
         documentation_ == o->documentation_ && document_ == o->document_ && score_ == o->score_ &&
         StampsEqual(*o);
}

void TCCFMeasure::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TCCFMeasure>(*this, source);
  heading_ = s.heading_;
  number_ = s.number_;
  description_ = s.description_;
  documentation_ = s.documentation_;
  document_ = s.document_;
  score_ = s.score_;
  FinishAssign(s);
}

// ---- Conditions ----

const TtiClass& TCatCondition::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCatCondition, TPerObjAbsEx>(), "TCatCondition",
                          [](TtiPropTableBuilder<TCatCondition>& b) {
                            b.String("CCID", &TCatCondition::GetCCID, &TCatCondition::SetCCID)
                                .String("Text", &TCatCondition::GetText, &TCatCondition::SetText);
                          });
  return c;
}

TCatCondition::TCatCondition() : ccid_(tiCreateGUIDText()) {}

bool TCatCondition::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TCatCondition*>(&other);
  return o && ccid_ == o->ccid_ && text_ == o->text_ && StampsEqual(*o);
}

void TCatCondition::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TCatCondition>(*this, source);
  ccid_ = s.ccid_;
  text_ = s.text_;
  FinishAssign(s);
}

const TtiClass& TPLCondition::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPLCondition, TPerObjAbsEx>(), "TPLCondition",
                          [](TtiPropTableBuilder<TPLCondition>& b) {
                            b.String("PLCID", &TPLCondition::GetPLCID, &TPLCondition::SetPLCID)
                                .String("Text", &TPLCondition::GetText, &TPLCondition::SetText);
                          });
  return c;
}

TPLCondition::TPLCondition() : plcid_(tiCreateGUIDText()) {}

bool TPLCondition::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TPLCondition*>(&other);
  return o && plcid_ == o->plcid_ && text_ == o->text_ && StampsEqual(*o);
}

void TPLCondition::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TPLCondition>(*this, source);
  plcid_ = s.plcid_;
  text_ = s.text_;
  FinishAssign(s);
}

// ---- TDCMeasureOp ----

const TtiClass& TDCMeasureOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TDCMeasureOp, TPerObjAbsEx>(), "TDCMeasureOp",
                          [](TtiPropTableBuilder<TDCMeasureOp>& b) {
                            b.Float("DC", &TDCMeasureOp::GetDC, &TDCMeasureOp::SetDC)
                                .Object("DCMeasure", &TDCMeasureOp::GetDCMeasure)
                                .Boolean("IsSatisfied", &TDCMeasureOp::GetIsSatisfied, &TDCMeasureOp::SetIsSatisfied)
                                .Float("DCPC", &TDCMeasureOp::GetDCPC, &TDCMeasureOp::SetDCPC)
                                .Float("DCminPC", &TDCMeasureOp::GetDCminPC, &TDCMeasureOp::SetDCminPC)
                                .Float("DCmaxPC", &TDCMeasureOp::GetDCmaxPC, &TDCMeasureOp::SetDCmaxPC)
                                .String("DCLevelString", &TDCMeasureOp::GetDCLevelString)
                                .String("Description", &TDCMeasureOp::GetDescription, &TDCMeasureOp::SetDescription);
                          });
  return c;
}

TDCMeasureOp::~TDCMeasureOp() {
  // The measure goes with the occurrence; unhook first so nothing can call back into a half-destroyed object.
  if (dcMeasure_) dcMeasure_->SetOnChange(nullptr);
}

void TDCMeasureOp::SetDC(double v) {
  if (v == dc_) return;
  CheckWriteProtection();
  if (dcMeasure_) {
    const double lo = dcMeasure_->GetDCmin(), hi = dcMeasure_->GetDCmax();
    if (std::isnan(v) || v < lo || v > hi)
      RaiseInvalidValue(msgDCOutOfRange, {FloatToStr(v), FloatToStr(lo), FloatToStr(hi)});
  } else {
    CheckFloatLimits(v, kPartDCLimits);
  }
  dc_ = v;
  PropertyChanged();
}

void TDCMeasureOp::SetDCMeasure(std::unique_ptr<TDCMeasure> m) {
  if (KeepsPart(dcMeasure_, m)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(dcMeasure_, std::move(m), this, [this](TtiObject*) { MeasureChanged(); });
  if (dcMeasure_ && (dc_ < dcMeasure_->GetDCmin() || dc_ > dcMeasure_->GetDCmax())) dc_ = dcMeasure_->GetDCmin();
  PropertyChanged();
}

void TDCMeasureOp::MeasureChanged() {
  if (dcMeasure_) {
    if (dc_ > dcMeasure_->GetDCmax()) dc_ = dcMeasure_->GetDCmax();
    else if (dc_ < dcMeasure_->GetDCmin()) dc_ = dcMeasure_->GetDCmin();
  }
  DoOnChange(this);
}

void TDCMeasureOp::SetDCPC(double v) { SetDC(v / 100.0); }

double TDCMeasureOp::GetDCminPC() const { return dcMeasure_ ? dcMeasure_->GetDCmin() * 100.0 : 0.0; }

double TDCMeasureOp::GetDCmaxPC() const { return dcMeasure_ ? dcMeasure_->GetDCmax() * 100.0 : 100.0; }

void TDCMeasureOp::SetDCminPC(double v) {
  if (!dcMeasure_) NoMeasure(*this, "DCmin");
  dcMeasure_->SetDCmin(v / 100.0);
}

void TDCMeasureOp::SetDCmaxPC(double v) {
  if (!dcMeasure_) NoMeasure(*this, "DCmax");
  dcMeasure_->SetDCmax(v / 100.0);
}

std::string TDCMeasureOp::GetDCLevelString() const { return DCDenotationToStr(GetDCDenotation(dc_)); }

std::string TDCMeasureOp::GetDescription() const {
  if (dcMeasure_ && !dcMeasure_->GetDescription().empty()) return dcMeasure_->GetDescription();
  return PlaceholderDCMeasureText();
}

void TDCMeasureOp::SetDescription(const std::string& v) {
  if (!dcMeasure_) NoMeasure(*this, "Description");
  dcMeasure_->SetDescription(v);
}

void TDCMeasureOp::GetReportDescription(std::string& text) const {
  text.clear();
  if (!dcMeasure_) return;
  const TDCMeasure& m = *dcMeasure_;
  std::string s = m.GetDescription() + "\r\n(" + m.GetHeading() + ")\r\n";
  if (m.GetDCmin() == m.GetDCmax())
    s += "(" + FloatToStr(m.GetDCmax() * 100.0) + " %)\r\n";
  else
    s += "(" + FloatToStr(m.GetDCmin() * 100.0) + " % - " + FloatToStr(m.GetDCmax() * 100.0) + " %" +
         GetMsgString(txtDependsOn, msgBaseGeneral) + " " + m.GetDependency() + ")\r\n";
  std::string pls;
  for (TPL p : {plA, plB, plC, plD, plE}) {
    if (!m.GetInsufficient().Contains(p)) continue;
    if (!pls.empty()) pls += ", ";
    pls += PLToStr(p);
  }
  if (!pls.empty()) s += "(" + GetMsgString(txtInsufficientForPL, msgBaseGeneral) + ": " + pls + ")\r\n";
  s.resize(TrimRightAny(s, " \r\n").size());
  text = std::move(s);
}

std::string TDCMeasureOp::GetReportDescription() const {
  std::string s;
  GetReportDescription(s);
  return s;
}

std::string TDCMeasureOp::GetCaption() const { return GetMsgString(txtDCMeasure, msgBaseGeneral); }

bool TDCMeasureOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TDCMeasureOp*>(&other);
  return o && dc_ == o->dc_ && isSatisfied_ == o->isSatisfied_ && StampsEqual(*o) &&
         SameObject(dcMeasure_.get(), o->dcMeasure_.get());
}

void TDCMeasureOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TDCMeasureOp>(*this, source);
  SetDCMeasure(CloneOrNull(s.dcMeasure_.get()));
  dc_ = s.dc_;
  isSatisfied_ = s.isSatisfied_;
  FinishAssign(s);
}

// ---- TCCFMeasureOp ----

const TtiClass& TCCFMeasureOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCCFMeasureOp, TPerObjAbsEx>(), "TCCFMeasureOp",
                          [](TtiPropTableBuilder<TCCFMeasureOp>& b) {
                            b.Object("CCFMeasure", &TCCFMeasureOp::GetCCFMeasure)
                                .Boolean("IsSatisfied", &TCCFMeasureOp::GetIsSatisfied,
                                         &TCCFMeasureOp::SetIsSatisfied)
                                .String("Description", &TCCFMeasureOp::GetDescription)
                                .String("Heading", &TCCFMeasureOp::GetHeading)
                                .String("Number", &TCCFMeasureOp::GetNumber)
                                .String("ScoreString", &TCCFMeasureOp::GetScoreString);
                          });
  return c;
}

TCCFMeasureOp::~TCCFMeasureOp() {
  if (ccfMeasure_) ccfMeasure_->SetOnChange(nullptr);
}

void TCCFMeasureOp::SetCCFMeasure(std::unique_ptr<TCCFMeasure> m) {
  if (KeepsPart(ccfMeasure_, m)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(ccfMeasure_, std::move(m), this, [this](TtiObject*) { DoOnChange(this); });
  PropertyChanged();
}

std::string TCCFMeasureOp::GetDescription() const {
  if (ccfMeasure_ && !ccfMeasure_->GetDescription().empty()) return ccfMeasure_->GetDescription();
  return PlaceholderCCFMeasureText();
}

std::string TCCFMeasureOp::GetHeading() const { return ccfMeasure_ ? ccfMeasure_->GetHeading() : std::string(); }

std::string TCCFMeasureOp::GetNumber() const { return ccfMeasure_ ? ccfMeasure_->GetNumber() : std::string(); }

std::string TCCFMeasureOp::GetScoreString() const {
  return ccfMeasure_ ? FloatToStr(ccfMeasure_->GetScore()) : std::string();
}

int TCCFMeasureOp::GetPosition() const { return 1 + IndexInContainingList("CCFMeasureOps"); }

double TCCFMeasureOp::GetCCFMOrder() const {
  return OrderInContainingList(GetOwner() != nullptr, "CCFMeasureOps");
}

std::string TCCFMeasureOp::GetCaption() const { return GetMsgString(txtCCFMeasure, msgBaseGeneral); }

bool TCCFMeasureOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TCCFMeasureOp*>(&other);
  return o && isSatisfied_ == o->isSatisfied_ && StampsEqual(*o) &&
         SameObject(ccfMeasure_.get(), o->ccfMeasure_.get());
}

void TCCFMeasureOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TCCFMeasureOp>(*this, source);
  SetCCFMeasure(CloneOrNull(s.ccfMeasure_.get()));
  isSatisfied_ = s.isSatisfied_;
  FinishAssign(s);
}

// ---- TCatConditionOp / TPLConditionOp ----

const TtiClass& TCatConditionOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCatConditionOp, TPerObjAbsEx>(), "TCatConditionOp",
                          [](TtiPropTableBuilder<TCatConditionOp>& b) {
                            b.Boolean("IsSatisfied", &TCatConditionOp::GetIsSatisfied,
                                      &TCatConditionOp::SetIsSatisfied)
                                .Object("CatCondition", &TCatConditionOp::GetCatCondition);
                          });
  return c;
}

TCatConditionOp::~TCatConditionOp() {
  if (condition_) condition_->SetOnChange(nullptr);
}

void TCatConditionOp::SetCatCondition(std::unique_ptr<TCatCondition> c) {
  if (KeepsPart(condition_, c)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(condition_, std::move(c), this, [this](TtiObject*) { DoOnChange(this); });
  PropertyChanged();
}

std::string TCatConditionOp::GetCaption() const { return GetMsgString(txtCatCondition, msgBaseGeneral); }

bool TCatConditionOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TCatConditionOp*>(&other);
  return o && isSatisfied_ == o->isSatisfied_ && StampsEqual(*o) &&
         SameObject(condition_.get(), o->condition_.get());
}

void TCatConditionOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TCatConditionOp>(*this, source);
  SetCatCondition(CloneOrNull(s.condition_.get()));
  isSatisfied_ = s.isSatisfied_;
  FinishAssign(s);
}

const TtiClass& TPLConditionOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPLConditionOp, TPerObjAbsEx>(), "TPLConditionOp",
                          [](TtiPropTableBuilder<TPLConditionOp>& b) {
                            b.Boolean("IsSatisfied", &TPLConditionOp::GetIsSatisfied,
                                      &TPLConditionOp::SetIsSatisfied)
                                .Object("PLCondition", &TPLConditionOp::GetPLCondition);
                          });
  return c;
}

TPLConditionOp::~TPLConditionOp() {
  if (condition_) condition_->SetOnChange(nullptr);
}

void TPLConditionOp::SetPLCondition(std::unique_ptr<TPLCondition> c) {
  if (KeepsPart(condition_, c)) return;
  CheckWriteProtection();
  const auto old = ReplacePart(condition_, std::move(c), this, [this](TtiObject*) { DoOnChange(this); });
  PropertyChanged();
}

std::string TPLConditionOp::GetCaption() const { return GetMsgString(txtPLCondition, msgBaseGeneral); }

bool TPLConditionOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TPLConditionOp*>(&other);
  return o && isSatisfied_ == o->isSatisfied_ && StampsEqual(*o) &&
         SameObject(condition_.get(), o->condition_.get());
}

void TPLConditionOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TPLConditionOp>(*this, source);
  SetPLCondition(CloneOrNull(s.condition_.get()));
  isSatisfied_ = s.isSatisfied_;
  FinishAssign(s);
}

// ---- Lists ----

#define KELVADO_MEASURE_LIST(Name, Parent, CaptionText)                                         \
  const TtiClass& Name::StaticClass() {                                                         \
    static const TtiClass c(TtiClass::Of<Name, Parent>(), #Name);                               \
    return c;                                                                                   \
  }                                                                                             \
  std::string Name::GetCaption() const { return GetMsgString(CaptionText, msgBaseGeneral); }

KELVADO_MEASURE_LIST(TDCMeasureOpList, TPerObjListEx, txtDCMeasures)
KELVADO_MEASURE_LIST(TCCFMeasureOpList, TPerObjListEx, txtCCFMeasures)
KELVADO_MEASURE_LIST(TCatConditionOpList, TPerObjListEx, txtCatConditions)
KELVADO_MEASURE_LIST(TPLConditionOpList, TPerObjListEx, txtPLConditions)
#undef KELVADO_MEASURE_LIST

int TCCFMeasureOpList::IndexOfMeasure(const TCCFMeasure* measure) const {
  if (!measure) return -1;
  for (int i = 0; i < GetCount(); ++i) {
    const TCCFMeasureOp* op = Items(i);
    const TCCFMeasure* m = op->GetCCFMeasure();
    if (op->GetDeleted() || !m) continue;
    if (m->GetHeading() == measure->GetHeading() && m->GetDescription() == measure->GetDescription() &&
        m->GetScore() == measure->GetScore())
      return i;
  }
  return -1;
}

int TCatConditionOpList::IndexOfCondition(const TCatCondition* condition, bool includeDeleted) const {
  if (!condition) return -1;
  for (int i = 0; i < GetCount(); ++i) {
    const TCatConditionOp* op = Items(i);
    const TCatCondition* c = op->GetCatCondition();
    if ((op->GetDeleted() && !includeDeleted) || !c) continue;
    if (c->GetText() == condition->GetText() || (!condition->GetCCID().empty() && c->GetCCID() == condition->GetCCID()))
      return i;
  }
  return -1;
}

int TPLConditionOpList::IndexOfCondition(const TPLCondition* condition, bool includeDeleted) const {
  if (!condition) return -1;
  for (int i = 0; i < GetCount(); ++i) {
    const TPLConditionOp* op = Items(i);
    const TPLCondition* c = op->GetPLCondition();
    if ((op->GetDeleted() && !includeDeleted) || !c) continue;
    if (c->GetText() == condition->GetText() ||
        (!condition->GetPLCID().empty() && c->GetPLCID() == condition->GetPLCID()))
      return i;
  }
  return -1;
}

bool TCatConditionOpList::IsConditionSatisfied(const TCatCondition* condition) const {
  const int idx = IndexOfCondition(condition, false);
  return idx >= 0 && Items(idx)->GetIsSatisfied();
}

bool TPLConditionOpList::IsConditionSatisfied(const TPLCondition* condition) const {
  const int idx = IndexOfCondition(condition, false);
  return idx >= 0 && Items(idx)->GetIsSatisfied();
}

const TtiClass& TCatConditionList::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCatConditionList, TtiObjectList>(), "TCatConditionList");
  return c;
}

TCatCondition* TCatConditionList::Items(int index) const {
  TtiObject* o = GetItems(index);
  auto* c = dynamic_cast<TCatCondition*>(o);
  if (!c) throw EtiPerProgrammerException("%s holds a %s where a TCatCondition is expected", {ClassName(), o->ClassName()});
  return c;
}

const TtiClass& TPLConditionList::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPLConditionList, TtiObjectList>(), "TPLConditionList");
  return c;
}

TPLCondition* TPLConditionList::Items(int index) const {
  TtiObject* o = GetItems(index);
  auto* c = dynamic_cast<TPLCondition*>(o);
  if (!c) throw EtiPerProgrammerException("%s holds a %s where a TPLCondition is expected", {ClassName(), o->ClassName()});
  return c;
}

}  // namespace kelvado
