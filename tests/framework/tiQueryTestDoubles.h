#pragma once
// Test doubles shared by the query and pool tests: an empty cursor, a SQL query that records statements and
// parameters, a database that counts its transactions, a layer for connection pools, and a log target that
// keeps the lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"

namespace kvtest {
using namespace kelvado;

template <class F>
void ExpectMessage(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
}

inline std::atomic<bool> gFailConnect{false};
inline std::atomic<int> gConnects{0};

// The cursor side of a query, empty: the tests look at statements and parameters only.
template <class Base>
class TStubQuery : public Base {
public:
  bool GetActive() override { return active; }
  void SetActive(bool v) override { active = v; }
  bool Eof() override { return true; }
  std::string FieldAsString(const std::string&) override { return {}; }
  double FieldAsFloat(const std::string&) override { return 0; }
  bool FieldAsBoolean(const std::string&) override { return false; }
  int64_t FieldAsInteger(const std::string&) override { return 0; }
  TDateTime FieldAsDateTime(const std::string&) override { return 0; }
  bool FieldIsNull(const std::string&) override { return true; }
  std::string FieldAsStringByIndex(int) override { return {}; }
  double FieldAsFloatByIndex(int) override { return 0; }
  bool FieldAsBooleanByIndex(int) override { return false; }
  int64_t FieldAsIntegerByIndex(int) override { return 0; }
  TDateTime FieldAsDateTimeByIndex(int) override { return 0; }
  bool FieldIsNullByIndex(int) override { return true; }
  void Close() override {}
  void Next() override {}
  int FieldCount() override { return 0; }
  std::string FieldName(int) override { return {}; }
  int FieldIndex(const std::string&) override { return -1; }
  TtiQueryFieldKind FieldKind(int) override { return qfkString; }
  int FieldSize(int) override { return 0; }
  bool HasNativeLogicalType() override { return false; }
  void AssignFieldAsStream(const std::string&, std::ostream&) override {}
  void AssignFieldAsStreamByIndex(int, std::ostream&) override {}
  void Reset() override {}
  bool active = false;
};

// A SQL query that records what it is asked to do.
class TRecQuery : public TStubQuery<TtiQuerySQL> {
public:
  TI_CLASS(TRecQuery)
  std::vector<std::string> sql;
  std::vector<std::string> calls;  // "Open", "ExecSQL", "name=value" per parameter set
  std::vector<std::string> nulls;
  bool failExec = false;

  std::vector<std::string> GetSQL() const override { return sql; }
  void SetSQL(const std::vector<std::string>& s) override { sql = s; }
  std::string GetParamAsString(const std::string& n) override { return values[n]; }
  void SetParamAsString(const std::string& n, const std::string& v) override { Set(n, v); }
  bool GetParamAsBoolean(const std::string&) override { return false; }
  void SetParamAsBoolean(const std::string& n, bool v) override { Set(n, v ? "T" : "F"); }
  double GetParamAsFloat(const std::string&) override { return 0; }
  void SetParamAsFloat(const std::string& n, double v) override { Set(n, Value::FloatToText(v)); }
  int64_t GetParamAsInteger(const std::string&) override { return 0; }
  void SetParamAsInteger(const std::string& n, int64_t v) override { Set(n, std::to_string(v)); }
  std::string GetParamAsText(const std::string& n) override { return values[n]; }
  void SetParamAsText(const std::string& n, const std::string& v) override { Set(n, v); }
  TDateTime GetParamAsDateTime(const std::string&) override { return 0; }
  void SetParamAsDateTime(const std::string& n, TDateTime v) override { Set(n, tiDateTimeToStr(v)); }
  bool GetParamIsNull(const std::string& n) override {
    return std::find(nulls.begin(), nulls.end(), n) != nulls.end();
  }
  void SetParamIsNull(const std::string& n, bool v) override {
    if (v) nulls.push_back(n);
  }
  void Open() override { calls.push_back("Open"); }
  void ExecSQL() override {
    calls.push_back("ExecSQL");
    if (failExec) throw EtiPerDBException("TEST", "db", "u", "p", "statement failed");
  }
  int ParamCount() override { return static_cast<int>(order.size()); }
  std::string ParamName(int i) override { return order[static_cast<size_t>(i)]; }
  void AssignParamFromStream(const std::string& n, std::istream& s) override { Set(n, tiStreamToString(s)); }
  void AssignParamToStream(const std::string&, std::ostream&) override {}

private:
  void Set(const std::string& n, const std::string& v) {
    calls.push_back(n + "=" + v);
    if (!values.count(n)) order.push_back(n);
    values[n] = v;
  }
  std::map<std::string, std::string> values;
  std::vector<std::string> order;
};

// A SQL database whose transactions are counted and whose queries are TRecQuery.
class TTxDatabase : public TtiDatabaseSQL {
public:
  TI_CLASS(TTxDatabase)
  bool inTx = false, failExec = false, connected = false;
  int starts = 0, commits = 0, rollbacks = 0;

  // Refuses to connect when its name is "fail" or while gFailConnect is set.
  void SetConnected(bool v) override {
    if (v && (gFailConnect || DatabaseName() == "fail"))
      throw EtiPerDBExceptionCanNotConnect("TEST", DatabaseName(), UserName(), Password(), "refused");
    if (v) ++gConnects;
    connected = v;
  }
  bool GetConnected() override { return connected; }
  bool TestConnectTo(const std::string&, const std::string&, const std::string&, const std::string&) override {
    return true;
  }
  void CreateDatabase(const std::string&, const std::string&, const std::string&) override {}
  void StartTransaction() override {
    inTx = true;
    ++starts;
  }
  bool InTransaction() override { return inTx; }
  void Commit() override {
    inTx = false;
    ++commits;
  }
  void RollBack() override {
    inTx = false;
    ++rollbacks;
  }
  bool Test() override { return false; }
  void ReadMetaDataTables(TtiDBMetaData& md) override {
    auto t = std::make_unique<TtiDBMetaDataTable>();
    t->SetName("ITEMS");
    t->SetObjectState(posPK);
    md.Add(std::move(t));
    md.SetObjectState(posClean);
  }
  void ReadMetaDataFields(TtiDBMetaDataTable& table) override {
    table.AddField("OID", qfkString, 36);
    table.SetObjectState(posClean);
  }
  std::string FieldMetaDataToSQLCreate(const TtiDBMetaDataField& f) override {
    return f.GetKind() == qfkString ? "VarChar( " + std::to_string(f.GetWidth()) + " )" : "Integer";
  }
  std::unique_ptr<TtiQuery> CreateTIQuery() override {
    auto q = std::make_unique<TRecQuery>();
    q->failExec = failExec;
    return q;
  }
};

// A persistence layer as its connection pools see it: the databases it connects and its pool data (nullptr:
// the base, which leaves the pool's sizes as they are).
class TTestPoolLayer : public ItiDBConnectionPoolLayer {
public:
  TTestPoolLayer(const TtiClass& database, const TtiClass* poolData, std::string name)
      : database_(database), poolData_(poolData), name_(std::move(name)) {}
  const TtiClass* PoolDatabaseClass() const override { return &database_; }
  const TtiClass* PoolDataClass() const override { return poolData_; }
  std::string PoolLayerName() const override { return name_; }

private:
  const TtiClass& database_;
  const TtiClass* poolData_;
  std::string name_;
};

// Keeps the log lines while it lives.
class LogCapture {
public:
  struct Target : TtiLogToAbs {
    void Log(const std::string&, const std::string&, const std::string& message, TtiLogSeverity) override {
      std::lock_guard<std::mutex> l(mutex);
      text += message + "\n";
    }
    std::mutex mutex;
    std::string text;
  };
  LogCapture() {
    auto t = std::make_unique<Target>();
    target_ = t.get();
    GLog().RegisterLog(std::move(t));
  }
  ~LogCapture() { GLog().UnRegisterLog(target_); }
  std::string Text() {
    std::lock_guard<std::mutex> l(target_->mutex);
    return target_->text;
  }
  bool Has(const std::string& part) { return Text().find(part) != std::string::npos; }

private:
  Target* target_;
};

inline const TtiClass& TRecQuery::StaticClass() {
  static const TtiClass c(TtiClass::Of<TRecQuery, TtiQuerySQL>(), "TRecQuery");
  return c;
}
inline const TtiClass& TTxDatabase::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTxDatabase, TtiDatabaseSQL>(), "TTxDatabase");
  return c;
}

}  // namespace kvtest
