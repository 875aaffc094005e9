#pragma once
// A real persistence layer with its database and query classes wrapped, so that the store conformance suite
// can count and refuse transactions and statements; everything else is the layer's own. Used for the XML store
// and for the Firebird store (on local files and on a server).
//
//   RegisterProbedLayer<TtiDatabaseIBX, TtiQueryIBX>(cTIPersistIBX, nullptr);
//   TStoreProbe* probe = new TLayerProbe(dbName);
#include <functional>
#include <map>
#include <string>

#include "framework/tiPerManager.h"
#include "tests/framework/StoreConformance.h"

namespace kelvado::test {

struct TProbeJournal {
  int Starts = 0, Commits = 0, RollBacks = 0;
  bool FailCommit = false, FailRollBack = false, FailStart = false;
  std::string FailStatement;
  std::function<void()> OnCommit;
};
// By database name; cleared by the store under test when a test ends.
inline std::map<std::string, TProbeJournal>& ProbeJournals() {
  static std::map<std::string, TProbeJournal> j;
  return j;
}

template <class Db>
class TProbedDatabase : public Db {
public:
  static const TtiClass& StaticClass() {
    static const TtiClass c(TtiClass::Of<TProbedDatabase, Db>(), "TProbed" + Db::StaticClass().Name());
    return c;
  }
  const TtiClass& Class() const override { return StaticClass(); }

  void StartTransaction() override {
    if (J().FailStart) Refuse("Start of transaction refused");
    ++J().Starts;
    Db::StartTransaction();
  }
  void Commit() override {
    if (J().FailCommit) Refuse("Commit refused");
    if (J().OnCommit) J().OnCommit();
    Db::Commit();
    ++J().Commits;
  }
  void RollBack() override {
    ++J().RollBacks;
    if (J().FailRollBack) Refuse("Rollback refused");
    Db::RollBack();
  }

private:
  TProbeJournal& J() { return ProbeJournals()[this->DatabaseName()]; }
  [[noreturn]] void Refuse(const std::string& what) {
    throw EtiPerDBException(Db::StaticClass().Name(), this->DatabaseName(), "", "", what);
  }
};

template <class Q>
class TProbedQuery : public Q {
public:
  static const TtiClass& StaticClass() {
    static const TtiClass c(TtiClass::Of<TProbedQuery, Q>(), "TProbed" + Q::StaticClass().Name());
    return c;
  }
  const TtiClass& Class() const override { return StaticClass(); }

  void InsertRow(const std::string& table, const TtiQueryParams* params) override {
    Check(params);
    Q::InsertRow(table, params);
  }
  void UpdateRow(const std::string& table, const TtiQueryParams* params, const TtiQueryParams* where) override {
    Check(params);
    Q::UpdateRow(table, params, where);
  }

private:
  // Refuses a row with the parameter "name=value" the test named.
  void Check(const TtiQueryParams* params) {
    const std::string& bad = ProbeJournals()[this->Database()->DatabaseName()].FailStatement;
    for (int i = 0; params && i < params->Count(); ++i)
      if (!bad.empty() && params->Items(i)->GetName() + "=" + params->Items(i)->GetValueAsString() == bad)
        throw EtiPerDBException(Q::StaticClass().Name(), this->Database()->DatabaseName(), "", "",
                                "Statement refused: " + bad);
  }
};

// Registers the layer `name` with the wrapped classes (poolDataClass as the layer's own registration gives).
template <class Db, class Q>
void RegisterProbedLayer(const std::string& name, const TtiClass* poolDataClass) {
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(name, poolDataClass, TProbedQuery<Q>::StaticClass(),
                                                             TProbedDatabase<Db>::StaticClass());
}

class TLayerProbe : public TStoreProbe {
public:
  explicit TLayerProbe(std::string db) : db_(std::move(db)) {}
  int Starts() override { return J().Starts; }
  int Commits() override { return J().Commits; }
  int RollBacks() override { return J().RollBacks; }
  void FailCommit() override { J().FailCommit = true; }
  void FailRollBack() override { J().FailRollBack = true; }
  void FailStartTransaction() override { J().FailStart = true; }
  void FailStatementContaining(const std::string& text) override { J().FailStatement = text; }
  void OnCommit(std::function<void()> f) override { J().OnCommit = std::move(f); }

private:
  TProbeJournal& J() { return ProbeJournals()[db_]; }
  std::string db_;
};

// What a store under test keeps of the probe: made on first use, dropped with the journals at the end.
struct TProbeHolder {
  TStoreProbe* Probe(const std::string& db) {
    if (!probe_) probe_ = std::make_unique<TLayerProbe>(db);
    return probe_.get();
  }
  void Drop() {
    probe_.reset();
    ProbeJournals().clear();
  }

private:
  std::unique_ptr<TLayerProbe> probe_;
};

}  // namespace kelvado::test
