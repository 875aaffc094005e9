#include "framework/tiVisitorDB.h"

#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "framework/tiUtils.h"

namespace kelvado {

// ---- TtiPerObjVisitorCtrlr ----

namespace {

// Gives each object of the walk that is new to the store (posCreate) and has no identifier yet one. A row
// refers to other objects by their identifiers, and the visitors of a group write their rows class after
// class: an object whose row comes later (a test-channel node, written after the channel nodes that name it)
// would otherwise draw its identifier only then, and the row naming it would hold an empty reference.
class TVisGiveNewOIDs : public TtiVisitor {
public:
  TVisGiveNewOIDs(const std::string& dbName, const std::string& layerName) : db_(dbName), layer_(layerName) {}
  void Execute(TtiVisited* visited) override {
    TtiVisitor::Execute(visited);
    if (!visited || !visited->InheritsFrom(TtiObject::StaticClass())) return;
    auto* o = static_cast<TtiObject*>(visited);
    if (o->GetObjectState() == posCreate && (!o->HasOID() || o->GetOID().IsNull()))
      o->GetOID().GetNextValue(db_, layer_);
  }

private:
  const std::string& db_;
  const std::string& layer_;
};

}  // namespace

const TtiClass& TtiPerObjVisitorCtrlr::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiPerObjVisitorCtrlr, TtiVisitorCtrlr>(), "TtiPerObjVisitorCtrlr");
  return c;
}

TtiPerObjVisitorCtrlr::~TtiPerObjVisitorCtrlr() {
  // Reached with a database still held only when neither AfterExecute nor AfterExecuteError completed: the
  // run's work must not survive, and the connection must not stay locked for good.
  RollBackOpenTransaction();
  ReleaseDatabase();
}

void TtiPerObjVisitorCtrlr::SetPerLayerName(const std::string& name) {
  TtiVisitorCtrlr::SetPerLayerName(name);
  queryClass_ = tiPerMgr().GetPersistenceLayers().LayerOrDefault(name).GetQueryClass();
}

void TtiPerObjVisitorCtrlr::BeforeExecute(const TtiVisitors& visitors) {
  (void)visitors;
  TtiPersistenceLayer& layer = tiPerMgr().GetPersistenceLayers().LayerOrDefault(GetPerLayerName());
  if (GetDatabaseName().empty()) SetDatabaseName(layer.GetDefaultDBConnectionName());
  // Every identifier a row of the run may name is there before the first row is written.
  if (TtiVisited* root = GetVisitedRoot()) {
    TVisGiveNewOIDs give(GetDatabaseName(), GetPerLayerName());
    root->Iterate(give);
  }
  // Held by a local lease until the transaction runs: a failure on the way gives the connection back (the
  // visitor manager runs no error hook for a controller whose BeforeExecute failed).
  TDBConnectionLease lease = layer.GetDBConnectionPools().Lease(GetDatabaseName());
  TtiDatabase* db = lease.Item()->Database();
  if (!db)
    throw EtiPerInternalException("The pool of database <%s> handed out an item without a database",
                                  {GetDatabaseName()});
  db->StartTransaction();
  lease_ = std::move(lease);
  database_ = db;
  transactionOpen_ = true;
}

void TtiPerObjVisitorCtrlr::BeforeVisit(TtiVisitor& visitor) {
  auto* v = dynamic_cast<TtiPerObjVisitor*>(&visitor);
  if (!v) return;
  if (!queryClass_)
    throw EtiPerProgrammerException("Persistence layer <%s> has no query class", {GetPerLayerName()});
  v->SetQuery(queryClass_->CreateAs<TtiQuery>());
  v->SetDatabase(database_);
  v->Query().AttachDatabase(database_);
}

void TtiPerObjVisitorCtrlr::AfterVisit(TtiVisitor& visitor) {
  if (auto* v = dynamic_cast<TtiPerObjVisitor*>(&visitor)) v->SetDatabase(nullptr);
}

void TtiPerObjVisitorCtrlr::AfterExecute(const TtiVisitors& visitors) {
  if (tiFrameworkTerminated()) {
    // Cut short by a shut-down: nothing of it is committed, the connection goes back clean, and the caller
    // must not take the run for a success.
    Abandon(visitors);
    throw EtiPerException("Visitor group cut short by the framework's shut-down; nothing was committed");
  }
  DetachQueries(visitors);
  if (transactionOpen_ && database_) {
    // A failing commit raises from here with the transaction still marked open: AfterExecuteError then
    // rolls it back once, and no object has changed its state.
    database_->Commit();
    transactionOpen_ = false;
  }
  for (TtiVisitor* visitor : visitors) {
    auto* v = dynamic_cast<TtiPerObjVisitor*>(visitor);
    if (!v) continue;
    for (TtiObject* object : v->GetTouched()) {
      if (tiFrameworkTerminated()) break;
      v->SetVisitedObject(object);
      v->Final();
      v->SetVisitedObject(nullptr);
    }
    if (tiFrameworkTerminated()) break;
  }
  ReleaseDatabase();
}

void TtiPerObjVisitorCtrlr::AfterExecuteError(const TtiVisitors& visitors) { Abandon(visitors); }

void TtiPerObjVisitorCtrlr::Abandon(const TtiVisitors& visitors) noexcept {
  DetachQueries(visitors);
  RollBackOpenTransaction();
  ReleaseDatabase();
  // Last visitor first, so that each object ends in the state it had before the first visitor touched it.
  for (size_t i = visitors.size(); i-- > 0;)
    if (auto* v = dynamic_cast<TtiPerObjVisitor*>(visitors[i])) v->RestoreTouchedStates();
}

void TtiPerObjVisitorCtrlr::ReleaseDatabase() noexcept {
  database_ = nullptr;
  transactionOpen_ = false;
  lease_.Release();
}

void TtiPerObjVisitorCtrlr::RollBackOpenTransaction() noexcept {
  if (!transactionOpen_ || !database_) return;
  transactionOpen_ = false;  // never a second attempt, whatever the first one did
  try {
    database_->RollBack();
  } catch (const std::exception& e) {
    LogError("Rolling back the transaction on database <" + GetDatabaseName() + "> failed: " + e.what());
  }
}

void TtiPerObjVisitorCtrlr::DetachQueries(const TtiVisitors& visitors) noexcept {
  for (TtiVisitor* visitor : visitors) {
    auto* v = dynamic_cast<TtiPerObjVisitor*>(visitor);
    if (!v) continue;
    v->SetDatabase(nullptr);
    if (TtiQuery* q = v->GetQuery()) {
      try {
        if (q->Database()) q->DetachDatabase();
      } catch (const std::exception& e) {
        LogError("Closing the query of " + v->ClassName() + " failed: " + e.what());
      }
    }
  }
}

// ---- TtiPerObjVisitor ----

const TtiClass& TtiPerObjVisitor::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiPerObjVisitor, TtiVisitor>(), "TtiPerObjVisitor");
  return c;
}

TtiPerObjVisitor::TtiPerObjVisitor() = default;
TtiPerObjVisitor::~TtiPerObjVisitor() = default;

void TtiPerObjVisitor::Execute(TtiVisited* visited) {
  TtiVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  if (auto* object = dynamic_cast<TtiObject*>(visited)) {
    touched_.push_back(object);
    touchedStates_.push_back(object->GetObjectState());
  }
}

void TtiPerObjVisitor::RestoreTouchedStates() noexcept {
  for (size_t i = touched_.size(); i-- > 0;) {
    if (touched_[i]->GetObjectState() == touchedStates_[i]) continue;
    try {
      touched_[i]->SetObjectState(touchedStates_[i]);
    } catch (const std::exception& e) {
      LogError("Restoring the state of " + touched_[i]->ClassName() + " failed: " + e.what());
    }
  }
}

const TtiClass& TtiPerObjVisitor::VisitorControllerClass() const { return TtiPerObjVisitorCtrlr::StaticClass(); }

TtiObject* TtiPerObjVisitor::GetVisitedObject() const { return dynamic_cast<TtiObject*>(GetVisited()); }

void TtiPerObjVisitor::Final() {
  TtiObject* object = GetVisitedObject();
  if (!object) return;
  switch (object->GetObjectState()) {
    case posDelete: object->SetObjectState(posDeleted); break;
    case posDeleted: break;
    default: object->SetObjectState(posClean); break;
  }
}

TtiQuery& TtiPerObjVisitor::Query() const {
  if (!query_)
    throw EtiPerProgrammerException("%s has no query: store visitors run only inside a visitor group",
                                    {ClassName()});
  return *query_;
}

void TtiPerObjVisitor::SetQuery(std::unique_ptr<TtiQuery> query) { query_ = std::move(query); }

void TtiPerObjVisitor::LogQueryTiming(int64_t firstMs, int64_t secondMs) const {
  static const char* const kQuiet[] = {"TVisReadGroupPK", "TVisReadQueryPK", "TVisReadQueryDetail", "TVisReadParams",
                                       "TVisReadQueryByName"};
  for (const char* name : kQuiet)
    if (ClassName() == name) return;
  Log(tiPadR(ClassName(), 20) + " " + tiPadR(std::to_string(firstMs), 7) + tiPadR(std::to_string(secondMs), 7),
      lsQueryTiming);
}

// ---- TVisOwnedQrySelectAbs / TVisOwnedQrySelect ----

const TtiClass& TVisOwnedQrySelectAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisOwnedQrySelectAbs, TtiPerObjVisitor>(), "TVisOwnedQrySelectAbs");
  return c;
}

void TVisOwnedQrySelectAbs::MapRowToObject() {
  throw Exception("MapRowToObject has not been overridden in the concrete: " + ClassName());
}

void TVisOwnedQrySelectAbs::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  if (!visited || dynamic_cast<TtiObject*>(visited)) SetVisitedObject(dynamic_cast<TtiObject*>(visited));
  Init();
  SetupParams();
  TtiQuery& q = Query();
  // The cursor is closed before a failure goes on; a second failure while closing must not hide it.
  TtiUndoUnlessDone closeCursor([&q]() noexcept {
    try {
      if (q.GetActive()) q.Close();
    } catch (...) {
    }
  });
  {
    const uint64_t start = tiGetTickCount();
    OpenQuery();
    const uint64_t opened = tiGetTickCount();
    q.SetContinueScan(true);
    while (!tiFrameworkTerminated() && q.GetActive() && !q.Eof() && q.GetContinueScan()) {
      MapRowToObject();
      q.Next();
    }
    if (q.GetActive()) q.Close();
    const uint64_t scanned = tiGetTickCount();
    LogQueryTiming(static_cast<int64_t>(opened - start), static_cast<int64_t>(scanned - opened));
  }
  closeCursor.Done();
}

const TtiClass& TVisOwnedQrySelect::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisOwnedQrySelect, TVisOwnedQrySelectAbs>(), "TVisOwnedQrySelect");
  return c;
}

void TVisOwnedQrySelect::OpenQuery() {
  if (!tiFrameworkTerminated()) Query().Open();
}

// ---- TVisOwnedQryUpdate ----

const TtiClass& TVisOwnedQryUpdate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisOwnedQryUpdate, TtiPerObjVisitor>(), "TVisOwnedQryUpdate");
  return c;
}

void TVisOwnedQryUpdate::Execute(TtiVisited* visited) {
  if (tiFrameworkTerminated()) return;
  TtiPerObjVisitor::Execute(visited);
  if (!AcceptVisitor()) return;
  Init();
  SetupParams();
  const uint64_t start = tiGetTickCount();
  Query().ExecSQL();
  LogQueryTiming(static_cast<int64_t>(tiGetTickCount() - start), 0);
}

}  // namespace kelvado
