#include "model/BOMChannel.h"

#include <algorithm>
#include <cmath>

#include "model/BOMComponent.h"
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

// The MTTFd text of the channel texts and the band text of that rounded value.
std::string MTTFdText(double m) { return RoundedTextInf(GetOptRoundMTTFd(), m); }
std::string MTTFdBandText(double m) {
  return MTTFdDenotationToStr(GetMTTFdDenotation(RoundToDigits(GetOptRoundMTTFd(), m)));
}

}  // namespace

// ---- TChannel, TTestChannel ----

const TtiClass& TChannel::StaticClass() {
  static const TtiClass c(TtiClass::Of<TChannel, TPerObjAbsEx>(), "TChannel");
  return c;
}

std::string TChannel::GetName() const { return GetMsgString(txtChannel, msgBaseGeneral); }

bool TChannel::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TChannel*>(&other);
  return o && other.InheritsFrom(Class()) && StampsEqual(*o);
}

void TChannel::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TChannel>(*this, source);
  if (&s == this) return;
  FinishAssign(s);
}

const TtiClass& TTestChannel::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTestChannel, TChannel>(), "TTestChannel");
  return c;
}

std::string TTestChannel::GetName() const { return GetMsgString(txtTestChannel, msgBaseGeneral); }

// ---- TChannelOp ----

const TtiClass& TChannelOp::StaticClass() {
  static const TtiClass c(
      TtiClass::Of<TChannelOp, TNodeChannelAbs>(), "TChannelOp", [](TtiPropTableBuilder<TChannelOp>& b) {
        b.Object("Channel", &TChannelOp::GetChannel)
            .String("MTTFdString", &TChannelOp::GetMTTFdString)
            .String("MTTFdDenotationString", &TChannelOp::GetMTTFdDenotationString)
            .String("MTTFdCutString", &TChannelOp::GetMTTFdCutString)
            .String("MTTFdCutDenotationString", &TChannelOp::GetMTTFdCutDenotationString)
            .String("MTTFdFitString", &TChannelOp::GetMTTFdFitString)
            .String("MTTFdFitDenotationString", &TChannelOp::GetMTTFdFitDenotationString);
      });
  return c;
}

TChannelOp::TChannelOp() : list_(std::make_unique<TBlocOpList>()) {
  WireChildList(*list_, this, [this](TtiObject* sender) { BlocsChanged(sender); });
}

TChannelOp::~TChannelOp() {
  UnhookChildList(*list_);
  if (channel_) channel_->SetOnChange(nullptr);
}

void TChannelOp::ResetCaches() {
  mttfd_.reset();
  dc_.reset();
}

void TChannelOp::SetChannel(std::unique_ptr<TChannel> channel) {
  if (KeepsPart(channel_, channel)) return;
  CheckWriteProtection();
  const auto old =
      ReplacePart(channel_, std::move(channel), this, [this](TtiObject* sender) { ChannelChanged(sender); });
  ResetCaches();
  DoOnChange(this);
}

void TChannelOp::ChannelChanged(TtiObject*) {
  ResetCaches();
  DoOnChange(this);
  DoOnStructureChange(this);
}

void TChannelOp::BlocsChanged(TtiObject*) {
  ResetCaches();
  DoOnChange(this);
}

void TChannelOp::SetTestChannelOp(TTestChannelOp* node) {
  if (node == testChannelOp_) return;
  CheckWriteProtection();
  // Re-pairing changes the test channel paired before as well: a protected one refuses it. Only a node still
  // alive is asked (the list may have freed it).
  if (TTestChannelOp* old = GetTestChannelOp()) old->CheckWriteProtection();
  // The test channel paired before stays where it is: it still belongs to the subsystem's channel list, so
  // re-pairing takes nothing from it (clearing its Owner would cut it off from the subsystem).
  testChannelOp_ = node;
  pairedObject_ = node;
  DoOnChange(this);
}

TTestChannelOp* TChannelOp::GetTestChannelOp() const {
  if (!testChannelOp_) return nullptr;
  // Outside a channel list there is nothing to check against: the pairing set by hand stands.
  const TtiObjectList* list = ContainingList("List");
  if (!list) return testChannelOp_;
  for (TtiObject* o : *list)
    if (o == pairedObject_) return dynamic_cast<TTestChannelOp*>(o);
  return nullptr;
}

void TChannelOp::PairTestChannelNode(TNodeChannelAbs* testChannel) {
  if (auto* tc = dynamic_cast<TTestChannelOp*>(testChannel)) SetTestChannelOp(tc);
}

TTestChannelOp* TChannelOp::PairedTestChannelOp() const {
  if (!testChannelOp_) return nullptr;
  // Only a node that is still in this node's channel list is used: the list may have freed the one paired
  // (Delete, Clear), and the stored reference must then never be followed.
  const TtiObjectList* list = ContainingList("List");
  if (!list) return nullptr;
  for (TtiObject* o : *list) {
    if (o != pairedObject_) continue;
    auto* tc = dynamic_cast<TTestChannelOp*>(o);
    return tc && !tc->GetDeleted() ? tc : nullptr;
  }
  return nullptr;
}

double TChannelOp::GetDC(TDCCalc& calc, TDCDenotation& band) { return calc.CalcChannelDC(*this, band); }

double TChannelOp::GetMTTFd(TMTTFdCalc& calc, TMTTFdDenotation& band) {
  return calc.CalcChannelMTTFd(*this, band);
}

double TChannelOp::GetMTTFdLazy() const {
  return FillMTTFdCache(*this, mttfd_, mttfdBand_, mttfNoBand);
}

double TChannelOp::GetDCLazy() const {
  if (!dc_) {
    TDCDenotation band;
    dc_ = const_cast<TChannelOp*>(this)->GetDC(CalcPool().GetDCCalc(), band);
  }
  return *dc_;
}

bool TChannelOp::HasLiveBloc() const { return HasLiveItem(*list_); }

TComponentOp* TChannelOp::GetComponentOp() const { return dynamic_cast<TComponentOp*>(GetOwner()); }

TCat TChannelOp::SubsystemCat() const {
  const TComponentOp* comp = GetComponentOp();
  return comp && comp->GetComponent() ? comp->GetComponent()->GetCat() : cat4;
}

double TChannelOp::GetMTTFdCut() const {
  const double m = GetMTTFdLazy();
  if (!std::isfinite(m)) return m;
  const double cap = MTTFdCap(SubsystemCat());
  return RoundForBounds(m) > cap ? cap : m;
}

double TChannelOp::GetMTTFdFit() const {
  const double cut = GetMTTFdCut();
  if (!GetOptMTTFdCFitBeforeSymm()) return cut;
  const TTestChannelOp* tc = PairedTestChannelOp();
  if (!tc || !tc->IsUsedBySubsystem()) return cut;
  return std::min(cut, 2.0 * tc->GetMTTFdCut());
}

bool TChannelOp::IsTestChannelMTTFdSatisfied() const {
  if (GetOptMTTFdCFitBeforeSymm()) return true;
  const TTestChannelOp* tc = PairedTestChannelOp();
  if (!tc || !tc->IsUsedBySubsystem()) return true;
  TComponentOp* comp = GetComponentOp();
  const TComponent* data = comp ? comp->GetComponent() : nullptr;
  const double x = !data || data->GetMTTFdDet() == detSubItems ? GetMTTFdCut() : comp->GetMTTFdLazy();
  const double testCut = tc->GetMTTFdCut();
  // A test channel that never fails dangerously is always good enough (2 x infinity is not "larger" than an
  // infinite channel MTTFd, yet nothing could be better).
  if (testCut == std::numeric_limits<double>::infinity()) return true;
  return RoundForBounds(2.0 * testCut) > RoundForBounds(x);
}

bool TChannelOp::IsUsedBySubsystem() const {
  TComponentOp* comp = GetComponentOp();
  const TComponent* data = comp ? comp->GetComponent() : nullptr;
  if (!data) return true;
  // The category uses the first N channels that are neither deleted nor the test channel.
  if (GetDeleted()) return false;
  int position = 0;
  bool found = false;
  for (TtiObject* o : *comp->GetChannelOpList()) {
    if (o == this) {
      found = true;
      break;
    }
    auto* ch = dynamic_cast<TChannelOp*>(o);
    if (ch && !ch->GetDeleted() && !ch->IsTestChannelNode()) ++position;
  }
  if (!found || position >= data->GetChannelCount()) return false;
  if (comp->IsMTTFdRelevant() && data->GetMTTFdDet() == detSubItems) return true;
  if (!comp->IsDCavgRelevant()) return false;
  return data->GetDCavgDet() == detSubItems;
}

double TChannelOp::GetChnOrder() const {
  TtiObject* owner = GetOwner();
  return OrderInContainingList(dynamic_cast<TComponentOp*>(owner) || dynamic_cast<TChannelOpList*>(owner), "List");
}

int TChannelOp::CountInList(bool testChannels) const {
  const TtiObjectList* list = ContainingList("List");
  if (!list) return 0;
  int count = 0;
  for (TtiObject* o : *list) {
    auto* ch = dynamic_cast<TChannelOp*>(o);
    if (ch && !ch->GetDeleted() && ch->IsTestChannelNode() == testChannels) ++count;
    if (o == this) break;
  }
  return count;
}

// ---- Display texts ----

std::string TChannelOp::GetMTTFdString() const { return MTTFdText(GetMTTFdLazy()); }
std::string TChannelOp::GetMTTFdDenotationString() const { return MTTFdBandText(GetMTTFdLazy()); }
std::string TChannelOp::GetMTTFdCutString() const { return MTTFdText(GetMTTFdCut()); }
std::string TChannelOp::GetMTTFdCutDenotationString() const { return MTTFdBandText(GetMTTFdCut()); }
std::string TChannelOp::GetMTTFdFitString() const { return MTTFdText(GetMTTFdFit()); }
std::string TChannelOp::GetMTTFdFitDenotationString() const { return MTTFdBandText(GetMTTFdFit()); }

std::string TChannelOp::GetCaption() const {
  std::string s = GetMsgString(txtChannel, msgBaseGeneral);
  if (GetComponentOp()) s += " " + std::to_string(GetPosition());
  return s;
}

// ---- Node operations ----

bool TChannelOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TChannelOp*>(&other);
  if (!o || !other.InheritsFrom(Class())) return false;
  return SameObject(channel_.get(), o->channel_.get()) && SameItems(*list_, *o->list_) && StampsEqual(*o);
}

void TChannelOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TChannelOp>(*this, source);
  if (&s == this) return;
  RefillWithLiveClones(*list_, *s.list_);
  SetChannel(CloneOrNull(s.channel_.get()));
  FinishAssign(s);
}

int TChannelOp::GetPosition() const { return CountInList(false); }

TItemStatus TChannelOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  const double m = GetMTTFdLazy();
  const double cut = GetMTTFdCut();
  const double fit = GetMTTFdFit();

  if (RoundForBounds(m) > RoundForBounds(cut))
    ReportStatus(messages, result, isGreen,
                 StatusText(stsChannelMTTFdCapped,
                            {GetMTTFdString(), GetMTTFdCutString(), FloatToStr(MTTFdCap(SubsystemCat()))}));
  if (RoundForBounds(cut) > RoundForBounds(fit)) {
    const TTestChannelOp* tc = PairedTestChannelOp();
    ReportStatus(messages, result, isGreen,
                 StatusText(stsChannelMTTFdFitted,
                            {GetMTTFdCutString(), GetMTTFdFitString(), tc ? tc->GetMTTFdCutString() : std::string()}));
  }
  if (RoundForBounds(m) < MTTFdMin()) ReportStatus(messages, result, isRed, StatusText(stsChannelMTTFdBelowMin));
  if (GetComponentOp()) {
    if (!IsTestChannelMTTFdSatisfied()) ReportStatus(messages, result, isRed, StatusText(stsTestChannelMTTFdTooLow));
    if (!IsChannelSatisfied()) ReportStatus(messages, result, isRed, StatusText(stsChannelNotSatisfied));
  }
  if (recursive) {
    const bool selectAll = !IsUsedBySubsystem();
    result = WithChildStatus(result, *list_, messages,
                             [&](const TBlocOp& b) { return selectAll || b.IsMTTFdOrDCRelevant(); });
  }

  CallOnAfterCheckStatus();
  return result;
}

void TChannelOp::Changed() {
  list_->Changed();
  if (TTestChannelOp* tc = PairedTestChannelOp()) tc->Changed();
  ResetCaches();
  TPerObjAbsEx::Changed();
}

// ---- TTestChannelOp ----

const TtiClass& TTestChannelOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTestChannelOp, TChannelOp>(), "TTestChannelOp",
                          [](TtiPropTableBuilder<TTestChannelOp>& b) {
                            b.Object("Channel", &TTestChannelOp::GetTestChannel);
                          });
  return c;
}

TTestChannel* TTestChannelOp::GetTestChannel() const { return dynamic_cast<TTestChannel*>(GetChannel()); }

void TTestChannelOp::SetTestChannelOp(TTestChannelOp* node) {
  if (node) throw EKelvado(msgTestChannelOfTestChannel);
}

bool TTestChannelOp::IsUsedBySubsystem() const {
  TComponentOp* comp = GetComponentOp();
  const TComponent* data = comp ? comp->GetComponent() : nullptr;
  if (!data) return true;
  if (GetDeleted()) return false;  // a deleted test channel counts as absent
  if (data->GetPLDet() != detSubItems || data->GetCat() != cat2) return false;
  if (data->GetMTTFdDet() == detSubItems && comp->IsMTTFdRelevant()) return true;
  if (data->GetDCavgDet() != detSubItems) return false;
  return comp->IsDCavgRelevant();
}

std::string TTestChannelOp::GetCaption() const { return GetMsgString(txtTestChannel, msgBaseGeneral); }

int TTestChannelOp::GetPosition() const { return CountInList(true); }

}  // namespace kelvado
