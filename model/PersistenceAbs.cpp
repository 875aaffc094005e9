#include "model/PersistenceAbs.h"

#include <array>

#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"

namespace kelvado {

namespace {

// One class the mapper dispatches on, with its read and save operation.
struct TMapperRoute {
  const TtiClass& (*Cls)();
  bool (*Read)(TAbsMapper&, TtiObject&);
  void (*Save)(TAbsMapper&, TtiObject&);
};

template <class T, bool (TAbsMapper::*R)(T&), void (TAbsMapper::*S)(T&)>
constexpr TMapperRoute Route() {
  return {&T::StaticClass, [](TAbsMapper& m, TtiObject& o) { return (m.*R)(static_cast<T&>(o)); },
          [](TAbsMapper& m, TtiObject& o) { (m.*S)(static_cast<T&>(o)); }};
}

// The catalogue lists are read from the open library.
template <class T, bool (TAbsMapper::*R)(T&, bool), void (TAbsMapper::*S)(T&)>
constexpr TMapperRoute CatalogueRoute() {
  return {&T::StaticClass, [](TAbsMapper& m, TtiObject& o) { return (m.*R)(static_cast<T&>(o), true); },
          [](TAbsMapper& m, TtiObject& o) { (m.*S)(static_cast<T&>(o)); }};
}

using M = TAbsMapper;

// In the order of the interface: the first class an object is an instance of wins.
constexpr std::array<TMapperRoute, 18> kRoutes = {
    Route<TCatConditionOp, &M::ReadCatConditionOp, &M::SaveCatConditionOp>(),
    Route<TCCFMeasureOp, &M::ReadCCFMeasureOp, &M::SaveCCFMeasureOp>(),
    Route<TDCMeasureOp, &M::ReadDCMeasureOp, &M::SaveDCMeasureOp>(),
    Route<TElementOp, &M::ReadElementOp, &M::SaveElementOp>(),
    Route<TBlocOp, &M::ReadBlocOp, &M::SaveBlocOp>(),
    Route<TChannelOp, &M::ReadChannelOp, &M::SaveChannelOp>(),
    Route<TComponentOp, &M::ReadComponentOp, &M::SaveComponentOp>(),
    Route<TSFOp, &M::ReadSFOp, &M::SaveSFOp>(),
    Route<TProjectOp, &M::ReadProjectOp, &M::SaveProjectOp>(),
    Route<TCatConditionOpList, &M::ReadCatConditionOpList, &M::SaveCatConditionOpList>(),
    CatalogueRoute<TCCFMeasureOpList, &M::ReadCCFMeasureOpList, &M::SaveCCFMeasureOpList>(),
    CatalogueRoute<TDCMeasureOpList, &M::ReadDCMeasureOpList, &M::SaveDCMeasureOpList>(),
    Route<TElementOpList, &M::ReadElementOpList, &M::SaveElementOpList>(),
    Route<TBlocOpList, &M::ReadBlocOpList, &M::SaveBlocOpList>(),
    Route<TChannelOpList, &M::ReadChannelOpList, &M::SaveChannelOpList>(),
    Route<TComponentOpList, &M::ReadComponentOpList, &M::SaveComponentOpList>(),
    Route<TSFOpList, &M::ReadSFOpList, &M::SaveSFOpList>(),
    Route<TProjectOpList, &M::ReadProjectOpList, &M::SaveProjectOpList>(),
};

const TMapperRoute* RouteOf(const TtiObject& obj) {
  for (const TMapperRoute& r : kRoutes)
    if (obj.InheritsFrom(r.Cls())) return &r;
  return nullptr;
}

}  // namespace

bool TAbsMapper::Read(TtiObject& Obj) {
  const TMapperRoute* r = RouteOf(Obj);
  return r ? r->Read(*this, Obj) : false;
}

void TAbsMapper::Save(TtiObject& Obj) {
  if (const TMapperRoute* r = RouteOf(Obj)) r->Save(*this, Obj);
}

void TAbsMapper::Refresh(TtiObject& Obj) {
  Obj.SetAllObjectStates(posEmpty);
  Read(Obj);
}

}  // namespace kelvado
