// Databases, queries, parameters and metadata: statement kinds, generated SQL, typed parameters, transactions
// of the row operations and what reaches the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

#include "framework/tiCommandLineParams.h"
#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"
#include "tests/framework/tiQueryTestDoubles.h"

using namespace kelvado;
using namespace kvtest;

namespace {

// An object with one published property of each simple kind.
class TPropSource : public TtiObject {
public:
  TI_CLASS(TPropSource)
  std::string name = "Valve";
  int count = 7;
  double weight = 2.5;
  bool flag = true;
  DateTime when{45000.5};
  int stage = 2;
  const std::string& GetName() const { return name; }
  int GetCount() const { return count; }
  double GetWeight() const { return weight; }
  bool GetFlag() const { return flag; }
  DateTime GetWhen() const { return when; }
  int GetStage() const { return stage; }
};

constexpr std::string_view kStageNames[] = {"stNew", "stUsed", "stOld"};

// A non-SQL query: parameters only.
class TListQuery : public TStubQuery<TtiQueryNonSQL> {
public:
  TI_CLASS(TListQuery)
  std::vector<std::string> GetSQL() const override { return {}; }
  void SetSQL(const std::vector<std::string>&) override {}
  void Open() override {}
  void ExecSQL() override {}
  void SelectRow(const std::string&, const TtiQueryParams*) override {}
  void InsertRow(const std::string&, const TtiQueryParams*) override {}
  void DeleteRow(const std::string&, const TtiQueryParams*) override {}
  void UpdateRow(const std::string&, const TtiQueryParams*, const TtiQueryParams*) override {}
};

}  // namespace

const TtiClass& TPropSource::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPropSource, TtiObject>(), "TPropSource", [](TtiPropTableBuilder<TPropSource>& b) {
    b.String("Name", &TPropSource::GetName)
        .Integer("Count", &TPropSource::GetCount)
        .Float("Weight", &TPropSource::GetWeight)
        .Boolean("Flag", &TPropSource::GetFlag)
        .DateTime("When", &TPropSource::GetWhen)
        .Enumeration("Stage", &TPropSource::GetStage, kStageNames);
  });
  return c;
}
const TtiClass& TListQuery::StaticClass() {
  static const TtiClass c(TtiClass::Of<TListQuery, TtiQueryNonSQL>(), "TListQuery");
  return c;
}

TEST(TtiQueryFieldKind, TextsBothWays) {
  EXPECT_STREQ(QueryFieldKindToString(qfkDateTime), "Date");
  EXPECT_STREQ(QueryFieldKindToString(qfkLongString), "Long string");
  for (int k = qfkString; k <= qfkLongString; ++k)
    EXPECT_EQ(StrToQueryFieldKind(QueryFieldKindToString(static_cast<TtiQueryFieldKind>(k))), k);
  EXPECT_EQ(StrToQueryFieldKind("LONG STRING"), qfkLongString);
  ExpectMessage([] { StrToQueryFieldKind("Text"); }, "Invalid TtiQueryFieldKind <Text>");
  EXPECT_THROW(StrToQueryFieldKind("Text"), EtiPerInternalException);
}

TEST(TtiQuery, QueryTypeOfStatements) {
  EXPECT_EQ(tiQueryTypeOfSQL("   SELECT\r\n* from ITEMS"), qtSelect);
  // Line feeds alone (and tabs) between words.
  EXPECT_EQ(tiQueryTypeOfSQL("select\n*\nfrom ITEMS"), qtSelect);
  EXPECT_EQ(tiQueryTypeOfSQL("update\tITEMS set A = 1"), qtUpdate);
  EXPECT_EQ(tiQueryTypeOfSQL("Insert into X values (1)"), qtInsert);
  EXPECT_EQ(tiQueryTypeOfSQL("delete from X"), qtDelete);
  for (const char* ddl : {"create table X (A Integer)", "ALTER table X add B Integer", "drop table X"})
    EXPECT_EQ(tiQueryTypeOfSQL(ddl), qtDDL) << ddl;
  const std::string head = "Can not determine the type of the SQL (SELECT, UPDATE, ALTER, etc)\r\r";
  ExpectMessage([] { tiQueryTypeOfSQL("select"); }, head + "select");
  ExpectMessage([] { tiQueryTypeOfSQL("grant all on X to PUBLIC"); }, head + "grant all on X to PUBLIC");
  ExpectMessage([] { tiQueryTypeOfSQL(""); }, head);
}

TEST(TtiQuerySQL, RowOperationsWriteTheirSQLAndBindParameters) {
  TtiQueryParams where;
  where.SetValueAsString("OID", "abc");
  where.SetValueAsInteger("Rev", 2);
  TtiQueryParams values;
  values.SetValueAsString("Name", "Valve");
  values.SetValueAsFloat("B10d", 2.5e6);
  TtiQueryParams empty;

  TRecQuery q;
  q.SelectRow("ITEMS", nullptr);
  EXPECT_EQ(q.GetSQLText(), "select * from ITEMS");
  q.SelectRow("ITEMS", &empty);
  EXPECT_EQ(q.GetSQLText(), "select * from ITEMS");
  EXPECT_EQ(q.calls.back(), "Open");

  TRecQuery s;
  s.SelectRow("ITEMS", &where);
  EXPECT_EQ(tiSQLSelectRow("ITEMS", &where), "select * from ITEMS\r\nwhere\r\nOID = :OID and Rev = :Rev\r\n");
  EXPECT_EQ(s.GetSQL(), (std::vector<std::string>{"select * from ITEMS", "where", "OID = :OID and Rev = :Rev"}));
  EXPECT_EQ(s.calls, (std::vector<std::string>{"OID=abc", "Rev=2", "Open"}));
  EXPECT_EQ(s.QueryType(), qtSelect);

  TRecQuery i;
  i.InsertRow("ITEMS", &values);
  EXPECT_EQ(i.GetSQLText(), "insert into ITEMS\r\n(Name,\r\nB10d\r\n)\r\nvalues\r\n(\r\n:Name,\r\n:B10d\r\n)");
  EXPECT_EQ(i.calls, (std::vector<std::string>{"Name=Valve", "B10d=2500000", "ExecSQL"}));
  EXPECT_EQ(i.QueryType(), qtInsert);

  TRecQuery d;
  d.DeleteRow("ITEMS", &where);
  EXPECT_EQ(tiSQLDeleteRow("ITEMS", &where), "delete from ITEMS\r\nwhere\r\nOID = :OID and Rev = :Rev\r\n");
  EXPECT_EQ(d.GetSQLText(), "delete from ITEMS\r\nwhere\r\nOID = :OID and Rev = :Rev");
  TRecQuery d2;
  d2.DeleteRow("ITEMS", nullptr);
  EXPECT_EQ(d2.GetSQLText(), "delete from ITEMS");

  TRecQuery u;
  u.UpdateRow("ITEMS", &values, &where);
  EXPECT_EQ(tiSQLUpdateRow("ITEMS", &values, &where),
            "update ITEMS set \r\nName = :Name,\r\nB10d = :B10d\r\nwhere\r\nOID = :OID and Rev = :Rev\r\n");
  EXPECT_EQ(u.calls, (std::vector<std::string>{"Name=Valve", "B10d=2500000", "OID=abc", "Rev=2", "ExecSQL"}));
  EXPECT_EQ(u.QueryType(), qtUpdate);
}

TEST(TtiQuery, MacroAndParamsText) {
  TRecQuery q;
  q.SetSQLText("select * from &TABLE where A = &TABLE.X");
  q.SetParamAsMacro("TABLE", "ITEMS");
  EXPECT_EQ(q.GetSQLText(), "select * from ITEMS where A = ITEMS.X");

  q.SetParamAsString("Short", "abc");
  q.SetParamAsString("Long", std::string(200, 'x'));
  q.SetParamAsString("Gone", "");
  q.SetParamIsNull("Gone", true);
  EXPECT_EQ(q.ParamsAsString(), "Short := abc\r\nLong := " + std::string(117, 'x') + "...\r\nGone := Null");
}

TEST(TtiQueryParams, TypedParameters) {
  TtiQueryParams p;
  TtiQueryParamBoolean b;
  b.SetValueAsString("t");
  EXPECT_TRUE(b.GetValue());
  EXPECT_EQ(b.GetValueAsString(), "TRUE");
  b.SetValueAsString("yes");
  EXPECT_FALSE(b.GetValue());
  EXPECT_EQ(b.GetValueAsString(), "FALSE");
  b.SetValueAsString("1");
  EXPECT_TRUE(b.GetValue());

  TtiQueryParamInteger i;
  EXPECT_TRUE(i.GetIsNull());
  i.SetValueAsString("");
  EXPECT_EQ(i.GetValue(), 0);
  EXPECT_FALSE(i.GetIsNull());
  EXPECT_THROW(i.SetValueAsString("12a"), EConvertError);
  TtiQueryParamFloat f;
  f.SetValueAsString("1.5E-7");
  EXPECT_DOUBLE_EQ(f.GetValue(), 1.5e-7);
  TtiQueryParamDateTime dt;
  dt.SetValueAsString("2024-03-01 12:30:00");
  EXPECT_EQ(dt.GetValueAsString(), "2024-03-01 12:30:00");
  EXPECT_EQ(dt.GetKindAsStr(), "Date");

  // Lookup ignores case; a parameter keeps its class.
  p.SetValueAsString("Name", "a");
  p.SetValueAsString("NAME", "b");
  EXPECT_EQ(p.Count(), 1);
  EXPECT_EQ(p.GetValueAsString("name"), "b");
  EXPECT_THROW(p.SetValueAsInteger("name", 1), EtiPerProgrammerException);
  EXPECT_THROW(p.GetValueAsInteger("name"), EtiPerProgrammerException);
  ExpectMessage([&] { p.GetValueAsString("Missing"); }, "Parameter <Missing> not found");

  EXPECT_TRUE(p.ParamIsNull("Missing"));
  p.SetParamIsNull("Missing", false);  // nothing happens
  EXPECT_EQ(p.FindParamByName("Missing"), nullptr);
  p.SetParamIsNull("Name", true);
  EXPECT_TRUE(p.ParamIsNull("Name"));
  p.SetValueAsString("Name", "c");
  EXPECT_FALSE(p.ParamIsNull("Name"));

  // A stream is copied from its start and its position is put back.
  std::stringstream src("0123456789");
  src.seekg(4);
  p.SetValueAsStream("Blob", src);
  EXPECT_EQ(src.tellg(), 4);
  EXPECT_EQ(p.GetValueAsString("Blob"), "0123456789");
  EXPECT_EQ(p.FindParamByName("Blob")->Kind(), qfkBinary);

  // Parameters hand themselves to a query through the setter of their kind.
  TRecQuery q;
  p.SetValueAsBoolean("Flag", true);
  q.AssignParams(&p, nullptr);
  EXPECT_EQ(q.calls, (std::vector<std::string>{"Name=c", "Blob=0123456789", "Flag=T"}));
}

TEST(TtiQueryParams, ValuesFromPublishedProperties) {
  TPropSource src;
  TtiQueryParams p;
  for (const char* n : {"Name", "Count", "Weight", "Flag", "When", "Stage"})
    p.SetValueFromProp(src, n, std::string("P") + n);
  EXPECT_EQ(p.FindParamByName("PName")->Kind(), qfkString);
  EXPECT_EQ(p.GetValueAsString("PName"), "Valve");
  EXPECT_EQ(p.GetValueAsInteger("PCount"), 7);
  EXPECT_DOUBLE_EQ(p.GetValueAsFloat("PWeight"), 2.5);
  EXPECT_TRUE(p.GetValueAsBoolean("PFlag"));
  EXPECT_DOUBLE_EQ(p.GetValueAsDateTime("PWhen"), 45000.5);
  // An enumeration is bound as its ordinal.
  EXPECT_EQ(p.FindParamByName("PStage")->Kind(), qfkInteger);
  EXPECT_EQ(p.GetValueAsInteger("PStage"), 2);
  EXPECT_THROW(p.SetValueFromProp(src, "Missing", "X"), Exception);
  EXPECT_EQ(p.FindParamByName("X"), nullptr);
}

TEST(TtiQueryNonSQL, ParametersLiveInTheList) {
  TListQuery q;
  q.SetParamAsInteger("Rev", 3);
  q.SetParamAsText("Rev", "4");  // the text of an existing parameter, whatever its kind
  EXPECT_EQ(q.GetParamAsInteger("Rev"), 4);
  q.SetParamAsText("Note", std::string(200, 'n'));
  EXPECT_EQ(q.Params().FindParamByName("Note")->Kind(), qfkString);
  q.SetParamAsBoolean("Flag", false);
  q.SetParamIsNull("Flag", true);
  EXPECT_TRUE(q.GetParamIsNull("Flag"));
  q.SetParamAsMacro("Rev", "x");  // no SQL: nothing happens
  EXPECT_EQ(q.ParamCount(), 3);
  EXPECT_EQ(q.ParamName(1), "Note");
  // No null test and no cutting in this flavour.
  EXPECT_EQ(q.ParamsAsString(), "Rev := 4\r\nNote := " + std::string(200, 'n') + "\r\nFlag := FALSE");
  std::stringstream in("bytes"), out;
  q.AssignParamFromStream("Blob", in);
  q.AssignParamToStream("Blob", out);
  EXPECT_EQ(out.str(), "bytes");
}

TEST(TtiDatabase, RowOperationsRunInTheirOwnTransaction) {
  TTxDatabase db;
  TtiQueryParams where;
  where.SetValueAsString("OID", "x");
  db.DeleteRow("ITEMS", &where);
  EXPECT_EQ(db.starts, 1);
  EXPECT_EQ(db.commits, 1);

  // Inside an open transaction nothing is committed.
  db.StartTransaction();
  db.ExecSQL("delete from ITEMS");
  EXPECT_EQ(db.commits, 1);
  EXPECT_TRUE(db.InTransaction());
  db.Commit();

  // A failure rolls back the transaction the operation opened, so the connection goes back clean.
  db.failExec = true;
  EXPECT_THROW(db.InsertRow("ITEMS", &where), EtiPerDBException);
  EXPECT_FALSE(db.InTransaction());
  EXPECT_EQ(db.rollbacks, 1);
  // ...but leaves a caller's own transaction to the caller.
  db.StartTransaction();
  EXPECT_THROW(db.UpdateRow("ITEMS", &where, &where), EtiPerDBException);
  EXPECT_TRUE(db.InTransaction());
  EXPECT_EQ(db.rollbacks, 1);
}

TEST(TtiOwnTransaction, AFailedCommitIsRolledBackAndAFailedRollbackDoesNotHideTheFailure) {
  struct TFailingDatabase : TTxDatabase {
    bool failCommit = false, failRollBack = false;
    void Commit() override {
      if (failCommit) throw EtiPerDBException("TEST", "db", "u", "p", "commit refused");
      TTxDatabase::Commit();
    }
    void RollBack() override {
      TTxDatabase::RollBack();
      if (failRollBack) throw EtiPerDBException("TEST", "db", "u", "p", "rollback refused");
    }
  } db;
  db.failCommit = true;
  EXPECT_THROW(
      {
        TtiOwnTransaction t(db);
        t.Commit();
      },
      EtiPerDBException);
  EXPECT_EQ(db.rollbacks, 1);
  EXPECT_FALSE(db.InTransaction());

  LogCapture log;
  db.failRollBack = true;
  try {
    TtiOwnTransaction t(db);
    throw Exception("the work failed");
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "the work failed");
  }
  EXPECT_EQ(db.rollbacks, 2);
  EXPECT_TRUE(log.Has("rollback refused")) << log.Text();
}

TEST(TtiDatabaseSQL, CreateAndDropTable) {
  // The texts are checked through a query factory that keeps the last statement.
  class TSqlLog : public TTxDatabase {
  public:
    std::vector<std::string> texts;
    std::unique_ptr<TtiQuery> CreateTIQuery() override {
      struct Q : TRecQuery {
        std::vector<std::string>* out;
        void ExecSQL() override { out->push_back(GetSQLText()); }
      };
      auto q = std::make_unique<Q>();
      q->out = &texts;
      return q;
    }
  } db;
  TtiDBMetaDataTable t;
  t.SetName("ITEMS");
  t.AddField("OID", qfkString, 36);
  t.AddField("Rev", qfkInteger);
  EXPECT_EQ(t.Items(0)->GetObjectState(), posClean);
  db.CreateTable(t);
  db.DropTable(t);
  ASSERT_EQ(db.texts.size(), 2u);
  EXPECT_EQ(db.texts[0], "create table ITEMS\r\n(\r\nOID VarChar( 36 ),\r\nRev Integer\r\n)");
  EXPECT_EQ(db.texts[1], "drop table ITEMS");
}

TEST(TtiDatabase, ConnectKeepsThePasswordOutOfTheLog) {
  struct VerboseCommandLine {
    VerboseCommandLine() {
      tiResetCommandLine();
      const char* argv[] = {"test", "-VerboseDBConnection"};
      tiSetCommandLine(2, argv);
    }
    ~VerboseCommandLine() { tiResetCommandLine(); }
  } verboseLine;
  ASSERT_TRUE(gCommandLineParams().IsParam("VerboseDBConnection"));
  LogCapture capture;
  const TtiSevToLog oldSev = GLog().SevToLog();
  GLog().SetSevToLog(0x3FF);

  TTxDatabase db;
  db.Connect("lib.fdb", "SYSDBA", "Geheim42", "user_name=SYSDBA,password=Geheim42,role=R");
  db.Connect("lib.fdb", "SYSDBA", "Geheim42", "PassWord=Geheim42,PASSWORD=Geheim42");  // any spelling of the key
  db.Connect("lib.fdb", "SYSDBA", "Geheim42", "role=R");

  GLog().SetSevToLog(oldSev);
  const std::string text = capture.Text();
  EXPECT_TRUE(db.connected);
  EXPECT_EQ(db.Params(), std::vector<std::string>{"role=R"});  // a reconnect replaces the parameters
  EXPECT_EQ(db.ParamValue("ROLE"), "R");
  EXPECT_NE(text.find("Attempting to connect to: lib.fdb"), std::string::npos);
  EXPECT_NE(text.find("Password: XXXXXXXX"), std::string::npos);
  EXPECT_NE(text.find("password=XXXXXXXX,role=R"), std::string::npos);
  EXPECT_NE(text.find("Connect to lib.fdb successful."), std::string::npos);
  EXPECT_EQ(text.find("Geheim42"), std::string::npos) << text;
}

TEST(TtiDatabase, ClassOperations) {
  EXPECT_TRUE(TtiDatabase::CanConnect(TTxDatabase::StaticClass(), "a", "u", "p", ""));
  EXPECT_THROW(TtiDatabase::CreateInstance(TRecQuery::StaticClass()), EtiPerProgrammerException);
  // Without a persistence layer for the class, no query can be made for the row operations.
  class TNoQuery : public TTxDatabase {
  public:
    std::unique_ptr<TtiQuery> CreateTIQuery() override { return TtiDatabase::CreateTIQuery(); }
  } db;
  tiSetQueryFactory(nullptr);
  EXPECT_THROW(db.DeleteRow("ITEMS", nullptr), Exception);
  EXPECT_EQ(db.starts, 0);
}

TEST(TtiDBMetaData, ReadThroughThePoolAndFindIgnoringCase) {
  TTestPoolLayer layer(TTxDatabase::StaticClass(), nullptr, "TEST");
  TDBConnectionPools pools(&layer, nullptr);
  TDBConnectionPool* pool = pools.AddConnectionPool("lib.fdb", "u", "p", "");
  TtiDBMetaData md;
  md.SetPool(pool);
  EXPECT_EQ(md.GetCaption(), "lib.fdb");
  md.Read();
  ASSERT_EQ(md.Count(), 1);
  TtiDBMetaDataTable* t = md.FindByTableName("items");
  ASSERT_NE(t, nullptr);
  t->Read();
  EXPECT_NE(t->FindByFieldName("oid"), nullptr);
  EXPECT_EQ(t->FindByFieldName("none"), nullptr);
  EXPECT_EQ(md.FindByTableName("none"), nullptr);
  // Read again only after Clear.
  md.Read();
  EXPECT_EQ(md.Count(), 1);
  md.Clear();
  EXPECT_EQ(md.GetObjectState(), posEmpty);
  md.Read();
  EXPECT_EQ(md.Count(), 1);
  EXPECT_EQ(pool->LockedCount(), 0);
}

// The metadata holds its pool weakly: once the pool is disconnected and freed, reading is a clear error (under
// AddressSanitizer, a kept pointer to the freed pool fails here), and a read that runs while the pool is
// disconnected gives its connection back to the pool it came from.
TEST(TtiDBMetaData, ReadAfterThePoolWasDisconnectedIsAnError) {
  TTestPoolLayer layer(TTxDatabase::StaticClass(), nullptr, "TEST");
  TDBConnectionPools pools(&layer, nullptr);
  TtiDBMetaData md;
  md.SetPool(pools.AddConnectionPool("lib.fdb", "u", "p", ""));
  pools.Disconnect("lib.fdb");
  EXPECT_EQ(md.GetCaption(), "");
  EXPECT_THROW(md.Read(), EtiPerInternalException);

  TtiDBMetaData md2;
  TDBConnectionPool* pool = pools.AddConnectionPool("lib.fdb", "u", "p", "");
  md2.SetPool(pool);
  TDBConnectionLease held = pools.Lease("lib.fdb");  // keeps the pool alive across the disconnect
  pools.Disconnect("lib.fdb");
  EXPECT_THROW(md2.Read(), EtiPerInternalException);  // the disconnected pool hands out nothing
  EXPECT_EQ(pool->LockedCount(), 1);
  EXPECT_EQ(md2.GetCaption(), "lib.fdb");
  held.Release();
  EXPECT_THROW(md2.Read(), EtiPerInternalException);
}
