#include "model/LazyListsBOM.h"

#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/PersistenceAbs.h"

namespace kelvado {

TLazyListsBOM::TLazyListsBOM(TAbsMapper* Mapper) : mapper_(Mapper) {
  if (!mapper_) return;
  mapperAlive_ = mapper_->Alive();
  mapper_->SetOnRelease([this] { FreeAll(); }, this);
}

TLazyListsBOM::~TLazyListsBOM() {
  if (TAbsMapper* m = GetMapper()) m->ClearOnRelease(this);
  FreeAll();
  mapper_ = nullptr;
}

template <class L, class R>
L* TLazyListsBOM::Lazy(std::unique_ptr<L>& slot, R&& read) {
  if (!slot) {
    auto list = std::make_unique<L>();
    if (TAbsMapper* m = GetMapper()) read(*m, *list);
    slot = std::move(list);
  }
  return slot.get();
}

TBlocOpList* TLazyListsBOM::GetBlocOpList() {
  return Lazy(blocOps_, [](TAbsMapper& m, TBlocOpList& l) { m.ReadBlocOpList(l); });
}
TCCFMeasureOpList* TLazyListsBOM::GetCCFMeasureOpListGen() {
  return Lazy(ccfGen_, [](TAbsMapper& m, TCCFMeasureOpList& l) { m.ReadCCFMeasureOpList(l, false); });
}
TCCFMeasureOpList* TLazyListsBOM::GetCCFMeasureOpListLib() {
  return Lazy(ccfLib_, [](TAbsMapper& m, TCCFMeasureOpList& l) { m.ReadCCFMeasureOpList(l, true); });
}
TChannelOpList* TLazyListsBOM::GetChannelOpList() {
  return Lazy(channelOps_, [](TAbsMapper& m, TChannelOpList& l) { m.ReadChannelOpList(l); });
}
TComponentOpList* TLazyListsBOM::GetComponentOpList() {
  return Lazy(componentOps_, [](TAbsMapper& m, TComponentOpList& l) { m.ReadComponentOpList(l); });
}
TDCMeasureOpList* TLazyListsBOM::GetDCMeasureOpListGen() {
  return Lazy(dcGen_, [](TAbsMapper& m, TDCMeasureOpList& l) { m.ReadDCMeasureOpList(l, false); });
}
TDCMeasureOpList* TLazyListsBOM::GetDCMeasureOpListLib() {
  return Lazy(dcLib_, [](TAbsMapper& m, TDCMeasureOpList& l) { m.ReadDCMeasureOpList(l, true); });
}
TElementOpList* TLazyListsBOM::GetElementOpList() {
  return Lazy(elementOps_, [](TAbsMapper& m, TElementOpList& l) { m.ReadElementOpList(l); });
}
TProjectOpList* TLazyListsBOM::GetProjectOpList() {
  return Lazy(projectOps_, [](TAbsMapper& m, TProjectOpList& l) { m.ReadProjectOpList(l); });
}
TSFOpList* TLazyListsBOM::GetSFOpList() {
  return Lazy(sfOps_, [](TAbsMapper& m, TSFOpList& l) { m.ReadSFOpList(l); });
}

template <class F>
void TLazyListsBOM::ForEachSlot(F&& f) {
  f(blocOps_, false);
  f(ccfGen_, true);
  f(ccfLib_, false);
  f(channelOps_, false);
  f(componentOps_, false);
  f(dcGen_, true);
  f(dcLib_, false);
  f(elementOps_, false);
  f(projectOps_, false);
  f(sfOps_, false);
}

void TLazyListsBOM::FreeListsOfClass(const TtiClass& ListClass) {
  ForEachSlot([&](auto& slot, bool) {
    if (slot && slot->InheritsFrom(ListClass)) slot.reset();
  });
}

void TLazyListsBOM::FreeLists() {
  ForEachSlot([](auto& slot, bool general) {
    if (!general) slot.reset();
  });
}

void TLazyListsBOM::FreeGenLists() {
  ccfGen_.reset();
  dcGen_.reset();
}

void TLazyListsBOM::FreeAll() {
  FreeLists();
  FreeGenLists();
}

void TLazyListsBOM::SaveBlocOpList() {
  if (TAbsMapper* m = GetMapper(); blocOps_ && m) m->SaveBlocOpList(*blocOps_);
}
void TLazyListsBOM::SaveCCFMeasureOpList() {
  if (TAbsMapper* m = GetMapper(); ccfLib_ && m) m->SaveCCFMeasureOpList(*ccfLib_);
}
void TLazyListsBOM::SaveComponentOpList() {
  if (TAbsMapper* m = GetMapper(); componentOps_ && m) m->SaveComponentOpList(*componentOps_);
}
void TLazyListsBOM::SaveDCMeasureOpList() {
  if (TAbsMapper* m = GetMapper(); dcLib_ && m) m->SaveDCMeasureOpList(*dcLib_);
}
void TLazyListsBOM::SaveElementOpList() {
  if (TAbsMapper* m = GetMapper(); elementOps_ && m) m->SaveElementOpList(*elementOps_);
}

namespace {
template <class L>
void CloneInto(std::unique_ptr<L>& slot, const std::unique_ptr<L>& source) {
  if (source) slot = source->template CloneAs<L>();
}
}  // namespace

void TLazyListsBOM::Assign(const TLazyListsBOM& Source) {
  if (&Source == this) return;
  FreeAll();
  CloneInto(blocOps_, Source.blocOps_);
  CloneInto(ccfGen_, Source.ccfGen_);
  CloneInto(ccfLib_, Source.ccfLib_);
  CloneInto(channelOps_, Source.channelOps_);
  CloneInto(componentOps_, Source.componentOps_);
  CloneInto(dcGen_, Source.dcGen_);
  CloneInto(dcLib_, Source.dcLib_);
  CloneInto(elementOps_, Source.elementOps_);
  CloneInto(projectOps_, Source.projectOps_);
  CloneInto(sfOps_, Source.sfOps_);
}

std::unique_ptr<TLazyListsBOM> TLazyListsBOM::Clone() const {
  auto copy = std::make_unique<TLazyListsBOM>(nullptr);
  copy->Assign(*this);
  return copy;
}

void TLazyListsBOM::SetProtected(bool Flag) {
  if (!GetMapper()) return;
  for (TPerObjListEx* list : {static_cast<TPerObjListEx*>(GetBlocOpList()),
                              static_cast<TPerObjListEx*>(GetCCFMeasureOpListLib()),
                              static_cast<TPerObjListEx*>(GetChannelOpList()),
                              static_cast<TPerObjListEx*>(GetComponentOpList()),
                              static_cast<TPerObjListEx*>(GetDCMeasureOpListLib()),
                              static_cast<TPerObjListEx*>(GetElementOpList())})
    list->SetProtected(Flag);
}

void TLazyListsBOM::AddOp(std::unique_ptr<TtiObject> Op) {
  if (!Op) return;
  // Most derived classes first: a test-channel node is a channel node.
  if (dynamic_cast<TProjectOp*>(Op.get())) GetProjectOpList()->Add(std::move(Op));
  else if (dynamic_cast<TSFOp*>(Op.get())) GetSFOpList()->Add(std::move(Op));
  else if (dynamic_cast<TComponentOp*>(Op.get())) GetComponentOpList()->Add(std::move(Op));
  else if (dynamic_cast<TChannelOp*>(Op.get())) GetChannelOpList()->Add(std::move(Op));
  else if (dynamic_cast<TBlocOp*>(Op.get())) GetBlocOpList()->Add(std::move(Op));
  else if (dynamic_cast<TElementOp*>(Op.get())) GetElementOpList()->Add(std::move(Op));
}

}  // namespace kelvado
