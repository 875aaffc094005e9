#include "model/PersistenceDBAbs.h"

#include "model/Exceptions.h"

namespace kelvado {

const TtiClass& TPersistenceDB::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPersistenceDB, TtiBaseObject>(), "TPersistenceDB");
  return c;
}

namespace {

struct TPersistenceDBHolder {
  TPersistenceDBFactory factory;
  std::unique_ptr<TPersistenceDB> db;
};

TPersistenceDBHolder& Holder() {
  static TPersistenceDBHolder holder;
  return holder;
}

}  // namespace

void RegisterPersistenceDBFactory(TPersistenceDBFactory factory) { Holder().factory = std::move(factory); }

std::atomic<TPersistenceDB*> persistence_detail::gCurrent{nullptr};

TPersistenceDB& persistence_detail::CreateCurrent() {
  TPersistenceDBHolder& h = Holder();
  if (!h.db) {
    if (!h.factory) throw EKelvado("The general database is not available: no implementation is registered");
    h.db = h.factory();
    if (!h.db) throw EKelvado("The general database is not available: its creation returned nothing");
  }
  gCurrent.store(h.db.get(), std::memory_order_release);
  return *h.db;
}

bool PersistenceDBAssigned() { return static_cast<bool>(Holder().db); }

void SetPersistenceDB(std::unique_ptr<TPersistenceDB> db) {
  // Free the old object before the new one takes its place, never both alive behind the accessor.
  persistence_detail::gCurrent.store(nullptr, std::memory_order_release);
  Holder().db.reset();
  Holder().db = std::move(db);
  persistence_detail::gCurrent.store(Holder().db.get(), std::memory_order_release);
}

void PersistenceDBShutdown() {
  persistence_detail::gCurrent.store(nullptr, std::memory_order_release);
  Holder().db.reset();
}

}  // namespace kelvado
