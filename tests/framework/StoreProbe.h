#pragma once
// The store conformance suite (StoreConformance.h) on a real layer: its database and query classes wrapped so
// that the suite can count and refuse transactions and statements; everything else is the layer's own.
//   using TProbedDB = TProbedDatabase<TtiDatabaseXML>;  using TProbedQuery = TProbedQuery<TtiQueryXML>;
// register the layer with TProbedDB::StaticClass() and TProbedQuery::StaticClass(), and hand out
// TJournalProbe from the store-under-test type.
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "framework/tiExcept.h"
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

}  // namespace kelvado::test
