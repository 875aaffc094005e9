#pragma once
// The store conformance suite (StoreConformance.h) on a real layer: its database and query classes wrapped so
// that the suite can count and refuse transactions and statements; everything else is the layer's own.
//   using TProbedDB = TProbedDatabase<TtiDatabaseXML>;  using TProbedQuery = TProbedQuery<TtiQueryXML>;
// register the layer with TProbedDB::StaticClass() and TProbedQuery::StaticClass(), and hand out
// TJournalProbe from the store-under-test type.
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "framework/tiExcept.h"
#include "framework/tiPerManager.h"
#include "framework/tiQuery.h"
#include "tests/framework/StoreConformance.h"

namespace kelvado::test {

struct TStoreJournal {
  int Starts = 0, Commits = 0, RollBacks = 0;
  bool FailCommit = false, FailRollBack = false, FailStart = false;
  std::string FailStatement;
  std::function<void()> OnCommit;
};

// By database name.
inline std::map<std::string, TStoreJournal>& StoreJournals() {
  static std::map<std::string, TStoreJournal> j;
  return j;
}

template <class Db>
class TProbedDatabase : public Db {
public:
  TI_CLASS(TProbedDatabase)
  TStoreJournal& J() { return StoreJournals()[this->DatabaseName()]; }
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
  [[noreturn]] void Refuse(const std::string& why) { throw EtiPerDBException("probe", this->DatabaseName(), "", "", why); }
};

template <class Query>
class TProbedQuery : public Query {
public:
  TI_CLASS(TProbedQuery)
  void InsertRow(const std::string& table, const TtiQueryParams* params) override {
    Check(params);
    Query::InsertRow(table, params);
  }
  void UpdateRow(const std::string& table, const TtiQueryParams* params, const TtiQueryParams* where) override {
    Check(params);
    Query::UpdateRow(table, params, where);
  }

private:
  void Check(const TtiQueryParams* params) {
    const std::string& bad = StoreJournals()[this->Database()->DatabaseName()].FailStatement;
    for (int i = 0; params && i < params->Count(); ++i)
      if (!bad.empty() && params->Items(i)->GetName() + "=" + params->Items(i)->GetValueAsString() == bad)
        throw EtiPerDBException("probe", this->Database()->DatabaseName(), "", "", "Statement refused: " + bad);
  }
};

template <class Db>
const TtiClass& TProbedDatabase<Db>::StaticClass() {
  static const std::string name = "TProbed" + Db::StaticClass().Name();
  static const TtiClass c(TtiClass::Of<TProbedDatabase<Db>, Db>(), name);
  return c;
}

template <class Query>
const TtiClass& TProbedQuery<Query>::StaticClass() {
  static const std::string name = "TProbed" + Query::StaticClass().Name();
  static const TtiClass c(TtiClass::Of<TProbedQuery<Query>, Query>(), name);
  return c;
}

class TJournalProbe : public TStoreProbe {
public:
  explicit TJournalProbe(std::string db) : db_(std::move(db)) {}
  int Starts() override { return J().Starts; }
  int Commits() override { return J().Commits; }
  int RollBacks() override { return J().RollBacks; }
  void FailCommit() override { J().FailCommit = true; }
  void FailRollBack() override { J().FailRollBack = true; }
  void FailStartTransaction() override { J().FailStart = true; }
  void FailStatementContaining(const std::string& text) override { J().FailStatement = text; }
  void OnCommit(std::function<void()> f) override { J().OnCommit = std::move(f); }

private:
  TStoreJournal& J() { return StoreJournals()[db_]; }
  std::string db_;
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

// The store-under-test type of a layer whose databases are files (see StoreConformance.h), on the probed
// classes: Db is the layer's database class, Query its query class, Layer its name, PoolData its pool data.
template <class Db, class Query, const char* const* Layer, const TtiClass& (*PoolData)()>
struct TFileStoreUnderTest {
  static std::string LayerName() { return *Layer; }
  void RegisterLayer() {
    tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(*Layer, &PoolData(),
                                                               TProbedQuery<Query>::StaticClass(),
                                                               TProbedDatabase<Db>::StaticClass());
  }
  std::string NewDatabase() {
    std::string tmpl = "/tmp/kelvado-conformance-XXXXXX";
    dir_ = ::mkdtemp(tmpl.data());
    const std::string name = dir_ + "/conformance.store";
    Db db;
    NewTestItemStore(db, name);
    return name;
  }
  std::string UserName() { return "tester"; }
  std::string Password() { return ""; }
  std::string ConnectParams() { return {}; }
  void TearDown() {
    probe_.reset();
    StoreJournals().clear();
    std::filesystem::remove_all(dir_);
  }
  TStoreProbe* Probe(const std::string& db) {
    if (!probe_) probe_ = std::make_unique<TJournalProbe>(db);
    return probe_.get();
  }
  std::string dir_;
  std::unique_ptr<TJournalProbe> probe_;
};

}  // namespace kelvado::test
