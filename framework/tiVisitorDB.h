#pragma once
// Store visitors. A TtiPerObjVisitor gets a query on the database of the current group run and remembers every
// object it accepted; its controller locks one pooled database for the whole run, runs the group inside one
// transaction and, only after the commit, moves every touched object to its final state. A failed run is
// rolled back once, gives its connection back and puts every touched object back into the state it had.
#include <memory>
#include <string>
#include <vector>

#include "framework/tiObject.h"
#include "framework/tiPool.h"
#include "framework/tiVisitor.h"

namespace kelvado {

class TtiDatabase;
class TtiQuery;
class TDBConnectionPools;
class TPooledDB;

class TtiPerObjVisitor;

// Locks a pooled database of the run's layer and database in BeforeExecute and holds it (and its transaction)
// until AfterExecute (commit, final states, give back) or AfterExecuteError (roll back, give back). Before that,
// every new object (posCreate) of the walked graph without an identifier gets one, so that a row that names an
// object written later in the run names it. A run cut short by a shut-down is rolled back too rather than left
// open on a pooled connection. Whatever happens, the connection is given back when the controller goes.
class TtiPerObjVisitorCtrlr : public TtiVisitorCtrlr {
public:
  TI_CLASS(TtiPerObjVisitorCtrlr)
  TtiPerObjVisitorCtrlr() = default;
  ~TtiPerObjVisitorCtrlr() override;

  // Also takes the layer's query class; an unknown layer raises EtiPerInternalException
  // "Unable to find persistence layer <%s>".
  void SetPerLayerName(const std::string& name) override;
  void BeforeExecute(const TtiVisitors& visitors) override;
  void BeforeVisit(TtiVisitor& visitor) override;
  void AfterVisit(TtiVisitor& visitor) override;
  void AfterExecute(const TtiVisitors& visitors) override;
  void AfterExecuteError(const TtiVisitors& visitors) override;

  const TtiClass* GetQueryClass() const { return queryClass_; }
  // The locked database while a run holds one; null otherwise.
  TtiDatabase* GetDatabase() const { return database_; }

private:
  // Ends a run that must leave no trace: queries closed, transaction rolled back (once), connection given
  // back, touched objects in their former states.
  void Abandon(const TtiVisitors& visitors) noexcept;
  // Gives the locked database back to its pool (only errors are logged: it runs on failure paths).
  void ReleaseDatabase() noexcept;
  // Rolls back when this run's transaction is still open; a failing rollback is logged, never raised, so
  // that the failure that caused it is the one reported.
  void RollBackOpenTransaction() noexcept;
  // Detaches the visitors' queries from the database before it goes back to the pool.
  static void DetachQueries(const TtiVisitors& visitors) noexcept;

  const TtiClass* queryClass_ = nullptr;
  TDBConnectionLease lease_;  // the run's connection
  TtiDatabase* database_ = nullptr;
  bool transactionOpen_ = false;
};

class TtiPerObjVisitor : public TtiVisitor {
public:
  TI_CLASS(TtiPerObjVisitor)
  TtiPerObjVisitor();
  ~TtiPerObjVisitor() override;

  // Visited := visited; an accepted object is remembered in Touched.
  void Execute(TtiVisited* visited) override;
  // TtiPerObjVisitorCtrlr.
  const TtiClass& VisitorControllerClass() const override;

  // Typed SetVisited.
  virtual void SetVisitedObject(TtiObject* object) { SetVisited(object); }
  TtiObject* GetVisitedObject() const;
  // Hook: bind the query's parameters from the visited object. Empty in the base.
  virtual void SetupParams() {}
  // State after the group's commit: posDelete becomes posDeleted, posDeleted stays, anything else posClean.
  virtual void Final();

  // The objects accepted in the current run (not owned).
  const std::vector<TtiObject*>& GetTouched() const { return touched_; }
  // Puts every touched object back into the state it had when this visitor accepted it (latest first). A
  // visitor that set a state itself inside a failed run must not leave an object looking saved while its
  // rows were rolled back.
  void RestoreTouchedStates() noexcept;

  // Valid while the visitor runs inside a group. Query() raises EtiPerProgrammerException without a query.
  TtiQuery& Query() const;
  TtiQuery* GetQuery() const { return query_.get(); }
  void SetQuery(std::unique_ptr<TtiQuery> query);
  TtiDatabase* GetDatabase() const { return database_; }
  void SetDatabase(TtiDatabase* database) { database_ = database; }

protected:
  // Writes the timing line at log level Query: class name (20), first time (7), second time (7).
  void LogQueryTiming(int64_t firstMs, int64_t secondMs) const;

private:
  std::vector<TtiObject*> touched_;
  std::vector<TPerObjectState> touchedStates_;  // state of touched_[i] when it was accepted
  TtiDatabase* database_ = nullptr;
  std::unique_ptr<TtiQuery> query_;
};

// Reads rows: Init builds the statement, SetupParams binds it, each row goes to MapRowToObject.
class TVisOwnedQrySelectAbs : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisOwnedQrySelectAbs)
  TVisOwnedQrySelectAbs() = default;

  void Execute(TtiVisited* visited) override;
  // Hook: the statement (SQL text, table name). Empty in the base.
  virtual void Init() {}
  // Creates or fills objects from the current row; may clear the query's ContinueScan to stop reading.
  // Must be overridden: the base raises Exception "MapRowToObject has not been overridden in the concrete: ".
  virtual void MapRowToObject();
  virtual void OpenQuery() = 0;
};

class TVisOwnedQrySelect : public TVisOwnedQrySelectAbs {
public:
  TI_CLASS(TVisOwnedQrySelect)
  TVisOwnedQrySelect() = default;
  // Opens the query unless the framework is terminated.
  void OpenQuery() override;
};

// Runs one changing statement per accepted object.
class TVisOwnedQryUpdate : public TtiPerObjVisitor {
public:
  TI_CLASS(TVisOwnedQryUpdate)
  TVisOwnedQryUpdate() = default;

  void Execute(TtiVisited* visited) override;
  // Hook: the statement. Empty in the base.
  virtual void Init() {}
};

}  // namespace kelvado
