#pragma once
// The IBX layer with its database and query classes wrapped, so that the store conformance suite can count
// and refuse transactions and statements; everything else is the layer's own. Used on local files
// (tests/framework) and on a Firebird server (tests/fbserver).
#include <functional>
#include <map>
#include <string>

#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "tests/framework/StoreConformance.h"

namespace kelvado::test {

struct TIBXJournal {
  int Starts = 0, Commits = 0, RollBacks = 0;
  bool FailCommit = false, FailRollBack = false, FailStart = false;
  std::string FailStatement;
  std::function<void()> OnCommit;
};
inline std::map<std::string, TIBXJournal>& IBXJournals() {
  static std::map<std::string, TIBXJournal> j;
  return j;
}

class TProbedDatabaseIBX : public TtiDatabaseIBX {
public:
  TI_CLASS(TProbedDatabaseIBX)
  TIBXJournal& J() { return IBXJournals()[DatabaseName()]; }
  void StartTransaction() override {
    if (J().FailStart) throw EtiPerDBException(cTIPersistIBX, DatabaseName(), "", "", "Start of transaction refused");
    ++J().Starts;
    TtiDatabaseIBX::StartTransaction();
  }
  void Commit() override {
    if (J().FailCommit) throw EtiPerDBException(cTIPersistIBX, DatabaseName(), "", "", "Commit refused");
    if (J().OnCommit) J().OnCommit();
    TtiDatabaseIBX::Commit();
    ++J().Commits;
  }
  void RollBack() override {
    ++J().RollBacks;
    if (J().FailRollBack) throw EtiPerDBException(cTIPersistIBX, DatabaseName(), "", "", "Rollback refused");
    TtiDatabaseIBX::RollBack();
  }
};

class TProbedQueryIBX : public TtiQueryIBX {
public:
  TI_CLASS(TProbedQueryIBX)
  void InsertRow(const std::string& table, const TtiQueryParams* params) override {
    Check(params);
    TtiQueryIBX::InsertRow(table, params);
  }
  void UpdateRow(const std::string& table, const TtiQueryParams* params, const TtiQueryParams* where) override {
    Check(params);
    TtiQueryIBX::UpdateRow(table, params, where);
  }

private:
  void Check(const TtiQueryParams* params) {
    const std::string& bad = IBXJournals()[Database()->DatabaseName()].FailStatement;
    for (int i = 0; params && i < params->Count(); ++i)
      if (!bad.empty() && params->Items(i)->GetName() + "=" + params->Items(i)->GetValueAsString() == bad)
        throw EtiPerDBException(cTIPersistIBX, Database()->DatabaseName(), "", "", "Statement refused: " + bad);
  }
};

inline const TtiClass& TProbedDatabaseIBX::StaticClass() {
  static const TtiClass c(TtiClass::Of<TProbedDatabaseIBX, TtiDatabaseIBX>(), "TProbedDatabaseIBX");
  return c;
}
inline const TtiClass& TProbedQueryIBX::StaticClass() {
  static const TtiClass c(TtiClass::Of<TProbedQueryIBX, TtiQueryIBX>(), "TProbedQueryIBX");
  return c;
}

// The layer "IBX" with the wrapped classes.
inline void RegisterProbedLayerIBX() {
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(cTIPersistIBX, nullptr, TProbedQueryIBX::StaticClass(),
                                                             TProbedDatabaseIBX::StaticClass());
}

class TIBXProbe : public TStoreProbe {
public:
  explicit TIBXProbe(std::string db) : db_(std::move(db)) {}
  int Starts() override { return J().Starts; }
  int Commits() override { return J().Commits; }
  int RollBacks() override { return J().RollBacks; }
  void FailCommit() override { J().FailCommit = true; }
  void FailRollBack() override { J().FailRollBack = true; }
  void FailStartTransaction() override { J().FailStart = true; }
  void FailStatementContaining(const std::string& text) override { J().FailStatement = text; }
  void OnCommit(std::function<void()> f) override { J().OnCommit = std::move(f); }

private:
  TIBXJournal& J() { return IBXJournals()[db_]; }
  std::string db_;
};

// The table the suite works on, in a new, empty database.
inline void CreateTestItemTable(TtiFBDatabase& db) {
  tiFBRunScript(db, "CREATE TABLE TestItem (OID VARCHAR(36) NOT NULL PRIMARY KEY, Name VARCHAR(100), Amount BIGINT);",
                "conformance");
}

}  // namespace kelvado::test
