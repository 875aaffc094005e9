#pragma once
// A real persistence layer with its database and query classes wrapped, so that the store conformance suite
// can count and refuse transactions and statements; everything else is the layer's own. Used for the XML and
// XMLLight stores (TFileStoreUnderTest) and for the Firebird store (on local files and on a server).
//
//   RegisterProbedLayer<TtiDatabaseIBX, TtiQueryIBX>(cTIPersistIBX, nullptr);
//   TStoreProbe* probe = new TLayerProbe(dbName);
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
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

// A new file holding table TestItem (OID, Name, Amount) of the store conformance model, connected to `db`.
inline void NewTestItemStore(TtiDatabase& db, const std::string& file) {
  db.CreateDatabase(file, "", "");
  db.Connect(file, "", "", "");
  TtiDBMetaDataTable t;
  t.SetName(cTestTable);
  t.AddField("OID", qfkString, 36);
  t.AddField("Name", qfkString, 100);
  t.AddField("Amount", qfkInteger);
  db.CreateTable(t);
}

// The store under test of a layer whose databases are files (Db its database class): each test gets a new file
// in a folder of its own. The derived type names the layer (LayerName, RegisterLayer with RegisterProbedLayer).
template <class Db>
struct TFileStoreUnderTest : TProbeHolder {
  std::string NewDatabase() {
    std::string tmpl = "/tmp/kelvado-conformance-XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("can not make a folder " + tmpl);
    dir_ = tmpl;
    const std::string name = dir_ + "/conformance.store";
    Db db;
    NewTestItemStore(db, name);
    return name;
  }
  std::string UserName() { return "tester"; }
  std::string Password() { return ""; }
  std::string ConnectParams() { return {}; }
  void TearDown() {
    Drop();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

}  // namespace kelvado::test
