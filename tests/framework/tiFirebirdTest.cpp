#include "framework/tiFirebird.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "framework/tiValue.h"
#include "tests/framework/TempDirTest.h"
#include "tests/support/FirebirdCheck.h"

using namespace kelvado;
namespace fs = std::filesystem;

namespace {

// Each test gets its own folder and database file.
class FirebirdTest : public kelvado::testing::TempDirTest {
protected:
  FirebirdTest() : TempDirTest("kv-fbtest", "test.fdb") {}
  void SetUp() override {
    TempDirTest::SetUp();
    if (HasFatalFailure()) return;
    TtiFBDatabase::CreateDatabase(file_);
    db_ = std::make_unique<TtiFBDatabase>(file_);
    db_->Connect();
  }
  void TearDown() override {
    db_.reset();
    TempDirTest::TearDown();
  }
  void Run(const std::string& script) { tiFBRunScript(*db_, script, "test"); }
  int64_t Count(const std::string& table) {
    TtiFBTransaction tr(*db_);
    tr.Start(true);
    TtiFBStatement q(*db_, tr);
    q.SetSQL("SELECT COUNT(*) FROM " + table);
    q.Open();
    const int64_t n = q.FieldAsInteger(0);
    tr.Commit();
    return n;
  }
  template <typename F>
  std::string ErrorOf(F&& f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.Message();
    }
    return "(no error)";
  }

  std::unique_ptr<TtiFBDatabase> db_;
};

}  // namespace

TEST(tiFirebirdText, Win1252RoundTripAndRefusal) {
  const std::string text = "Prüfung ÄÖÜß €‚ž";
  const std::string bytes = tiUtf8ToWin1252(text);
  EXPECT_EQ(bytes, "Pr\xFC" "fung \xC4\xD6\xDC\xDF \x80\x82\x9E");
  EXPECT_EQ(tiWin1252ToUtf8(bytes), text);
  // Bytes Windows-1252 leaves undefined come back as they were.
  EXPECT_EQ(tiUtf8ToWin1252(tiWin1252ToUtf8("\x81\x8D\x8F\x90\x9D")), "\x81\x8D\x8F\x90\x9D");
  try {
    tiUtf8ToWin1252("ab\xCE\xA9");  // Greek capital omega
    FAIL() << "omega was encoded";
  } catch (const EConvertError& e) {
    EXPECT_NE(e.Message().find("U+03A9"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("position 3"), std::string::npos) << e.Message();
  }
  EXPECT_THROW(tiUtf8ToWin1252("\xC3"), EConvertError);          // truncated
  EXPECT_THROW(tiUtf8ToWin1252("\xC0\xAF"), EConvertError);      // overlong
  EXPECT_THROW(tiUtf8ToWin1252("\xED\xA0\x80"), EConvertError);  // surrogate
  EXPECT_THROW(tiUtf8ToWin1252("\xC2\x80"), EConvertError);      // C1 control without a Windows-1252 byte
}

TEST(tiFirebirdNames, AServerPartMeansWhatItMeansToTheFirebirdClient) {
  for (const char* name : {"server:/data/lib.klb", "server.example.org:/data/lib.klb", "10.0.0.7:/x.klb",
                           "host/3051:/data/lib.klb", "host/gds_db:/lib.klb", "[::1]:/lib.klb", "[::1]/3051:/x",
                           "localhost:lib", "inet://host/data/lib.klb", "INET4://host:3051/x"})
    EXPECT_TRUE(tiFBIsServerName(name)) << name;
  for (const char* name : {"/data/lib.klb", "lib.klb", "./a:b.klb", "/home/x/a:b.klb", "C:\\Libs\\x.klb", "c:/x.klb",
                           ":x", "host/:/x", "[::1", "[zz]:/x", "", "Größe:/x", "host/30 51:/x"})
    EXPECT_FALSE(tiFBIsServerName(name)) << name;
}

TEST_F(FirebirdTest, TypedParametersAndFieldsRoundTrip) {
  Run("CREATE TABLE T (I INTEGER, B BIGINT, D DOUBLE PRECISION, S VARCHAR(40), F SMALLINT, TS TIMESTAMP, "
      "N NUMERIC(9,2), C CHAR(4));");
  TtiFBTransaction tr(*db_);
  tr.Start();
  TtiFBStatement ins(*db_, tr);
  ins.SetSQL("INSERT INTO T (I, B, D, S, F, TS, N, C) VALUES (:i, :b, :d, :s, :f, :ts, :n, :c)");
  EXPECT_EQ(ins.ParamCount(), 8);
  ins.SetParamInteger("I", -42);  // names ignore case
  ins.SetParamInteger("b", 9000000000123LL);
  ins.SetParamDouble("d", 0.99);
  ins.SetParamString("s", "Prüfung ÄÖÜß");
  ins.SetParamBoolean("f", true);
  ins.SetParamDateTime("ts", 45000.75);  // 2023-03-15 18:00
  ins.SetParamDouble("n", 12.5);
  ins.SetParamString("c", "cat");
  ins.Execute();
  EXPECT_EQ(ins.RowsAffected(), 1);
  for (const char* p : {"i", "b", "d", "s", "f", "ts", "n", "c"}) ins.SetParamNull(p);
  ins.Execute();  // a row of NULLs
  tr.Commit();

  tr.Start(true);
  TtiFBStatement q(*db_, tr);
  q.SetSQL("SELECT I, B, D, S, F, TS, N, C FROM T ORDER BY I NULLS LAST");
  q.Open();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldAsInteger("i"), -42);
  EXPECT_EQ(q.FieldAsInteger("B"), 9000000000123LL);
  EXPECT_EQ(q.FieldAsFloat("D"), 0.99);
  EXPECT_EQ(q.FieldAsString("S"), "Prüfung ÄÖÜß");
  EXPECT_TRUE(q.FieldAsBoolean("F"));
  EXPECT_DOUBLE_EQ(q.FieldAsDateTime("TS"), 45000.75);
  EXPECT_EQ(q.FieldAsString("TS"), "2023-03-15 18:00:00");
  EXPECT_EQ(q.FieldAsFloat("N"), 12.5);
  EXPECT_EQ(q.FieldAsString("N"), "12.50");
  EXPECT_EQ(q.FieldAsString("C"), "cat ");  // CHAR keeps its padding
  EXPECT_EQ(q.FieldAsString("D"), "0.99");
  q.Close();
  // Decimal columns read back as the double nearest to their decimal value.
  q.SetSQL("SELECT CAST(0.99 AS NUMERIC(9,2)) AS A, CAST(0.07 AS NUMERIC(4,2)) AS B, "
           "CAST(1.0E-7 AS NUMERIC(18,9)) AS C FROM RDB$DATABASE");
  q.Open();
  EXPECT_EQ(q.FieldAsFloat("A"), 0.99);
  EXPECT_EQ(q.FieldAsFloat("B"), 0.07);
  EXPECT_EQ(q.FieldAsFloat("C"), 1e-7);
  EXPECT_EQ(q.FieldAsString("C"), "0.000000100");
  // Double columns as text: the framework's 15 significant digits, as every other number text.
  q.SetSQL("SELECT CAST(0.1 AS DOUBLE PRECISION) + CAST(0.2 AS DOUBLE PRECISION) AS S, "
           "CAST(1.0E-7 AS DOUBLE PRECISION) AS E FROM RDB$DATABASE");
  q.Open();
  EXPECT_EQ(q.FieldAsString("S"), "0.3");
  EXPECT_EQ(q.FieldAsString("E"), Value::FloatToText(1e-7));
  q.SetSQL("SELECT I, B, D, S, F, TS, N, C FROM T ORDER BY I NULLS LAST");
  q.Open();
  EXPECT_FALSE(q.FieldIsNull("I"));
  EXPECT_EQ(q.FieldIndex("s"), 3);
  EXPECT_EQ(q.FieldIndex("nope"), -1);
  q.Next();
  ASSERT_FALSE(q.Eof());
  for (int k = 0; k < q.FieldCount(); ++k) EXPECT_TRUE(q.FieldIsNull(k)) << q.FieldName(k);
  EXPECT_EQ(q.FieldAsString("S"), "");
  EXPECT_EQ(q.FieldAsInteger("I"), 0);
  q.Next();
  EXPECT_TRUE(q.Eof());
  EXPECT_THROW(q.FieldAsString(0), EtiFBException);  // no current row
  tr.Commit();
}

TEST_F(FirebirdTest, TextIsStoredAsSingleByteWindows1252) {
  Run("CREATE TABLE T (S VARCHAR(20));");
  TtiFBTransaction tr(*db_);
  tr.Start();
  TtiFBStatement st(*db_, tr);
  st.SetSQL("INSERT INTO T (S) VALUES (:S)");
  st.SetParamString("S", "Prüfung ÄÖÜß");
  st.Execute();
  st.SetSQL("SELECT S, OCTET_LENGTH(S) AS L, CAST(S AS VARCHAR(20) CHARACTER SET OCTETS) AS RAW FROM T");
  st.Open();
  EXPECT_EQ(st.FieldAsString("S"), "Prüfung ÄÖÜß");
  EXPECT_EQ(st.FieldAsInteger("L"), 12);
  EXPECT_EQ(st.FieldAsBlob("RAW"), "Pr\xFC" "fung \xC4\xD6\xDC\xDF");
  tr.Commit();

  // A character Windows-1252 cannot hold is refused before anything reaches the file.
  tr.Start();
  TtiFBStatement ins(*db_, tr);
  ins.SetSQL("INSERT INTO T (S) VALUES (:Name)");
  try {
    ins.SetParamString("Name", "Ωmega");
    FAIL() << "omega accepted";
  } catch (const EConvertError& e) {
    EXPECT_NE(e.Message().find("\"Name\""), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("U+03A9"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find(file_), std::string::npos) << e.Message();
  }
  EXPECT_THROW(ins.Execute(), EtiFBException);  // the parameter never got a value
  tr.Commit();
  EXPECT_EQ(Count("T"), 1);
}

TEST_F(FirebirdTest, NamedParametersAreTranslated) {
  TtiFBTransaction tr(*db_);
  tr.Start();
  TtiFBStatement q(*db_, tr);
  // Repeated names bind once; ":x" inside quotes or comments is text.
  q.SetSQL("SELECT ':a' AS T, CAST(:Low AS DOUBLE PRECISION) AS A /* :b */ FROM RDB$DATABASE "
           "WHERE :Low >= 0 AND CAST(:Low AS DOUBLE PRECISION) < :High -- :c");
  EXPECT_EQ(q.ParamCount(), 2);
  EXPECT_EQ(q.ParamName(0), "Low");
  EXPECT_TRUE(q.HasParam("HIGH"));
  EXPECT_EQ(q.EngineSQL().find(":Low"), std::string::npos);
  EXPECT_NE(q.EngineSQL().find("':a'"), std::string::npos);
  q.SetParamDouble("Low", 0.5);
  const std::string missing = ErrorOf([&] { q.Open(); });
  EXPECT_NE(missing.find("\"High\" has no value"), std::string::npos) << missing;
  q.SetParamDouble("High", 1.0);
  q.Open();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldAsString("T"), ":a");
  EXPECT_EQ(q.FieldAsFloat("A"), 0.5);
  // Infinity is a legal argument of a look-up; NaN has no meaning anywhere.
  q.SetParamDouble("High", INFINITY);
  q.Open();
  EXPECT_FALSE(q.Eof());
  EXPECT_THROW(q.SetParamDouble("High", NAN), EtiFBException);
  EXPECT_THROW(q.SetParamInteger("Nope", 1), EtiFBException);
  EXPECT_THROW(q.SetSQL("SELECT 1 FROM RDB$DATABASE WHERE 1 = ?"), EtiFBException);
  tr.Commit();
}

TEST_F(FirebirdTest, TransactionsCommitRollbackAndReadOnly) {
  Run("CREATE TABLE T (I INTEGER NOT NULL PRIMARY KEY);");
  TtiFBTransaction tr(*db_);
  tr.Start();
  EXPECT_THROW(tr.Start(), EtiFBException);
  TtiFBStatement st(*db_, tr);
  st.SetSQL("INSERT INTO T (I) VALUES (:I)");
  st.SetParamInteger("I", 1);
  st.Execute();
  tr.RollBack();
  EXPECT_EQ(Count("T"), 0);

  tr.Start();
  st.Execute();
  tr.Commit();
  EXPECT_THROW(tr.Commit(), EtiFBException);
  EXPECT_EQ(Count("T"), 1);

  // A duplicate key names the file and the statement; the transaction stays usable.
  tr.Start();
  const std::string dup = ErrorOf([&] { st.Execute(); });
  EXPECT_NE(dup.find(file_), std::string::npos) << dup;
  EXPECT_NE(dup.find("PRIMARY"), std::string::npos) << dup;
  EXPECT_NE(dup.find("INSERT INTO T"), std::string::npos) << dup;
  tr.RollBack();

  tr.Start(true);
  EXPECT_THROW(st.Execute(), EtiFBException);  // read-only transaction
  tr.RollBack();

  // An active transaction is rolled back when its object goes away.
  {
    TtiFBTransaction t2(*db_);
    t2.Start();
    TtiFBStatement s2(*db_, t2);
    s2.SetSQL("INSERT INTO T (I) VALUES (2)");
    s2.Execute();
  }
  EXPECT_EQ(Count("T"), 1);
}

// A statement that outlives its transaction holds no handle into it: every later use is a clear error (under
// AddressSanitizer, a statement that kept a reference to the dead transaction fails here).
TEST_F(FirebirdTest, StatementOutlivingItsTransactionRefusesToRun) {
  Run("CREATE TABLE T (I INTEGER NOT NULL PRIMARY KEY);");
  auto tr = std::make_unique<TtiFBTransaction>(*db_);
  tr->Start();
  TtiFBStatement st(*db_, *tr);
  st.SetSQL("SELECT I FROM T");
  st.Open();
  EXPECT_TRUE(st.Active());
  tr.reset();
  EXPECT_FALSE(st.Active());
  EXPECT_FALSE(st.Prepared());
  const std::string why = ErrorOf([&] { st.Open(); });
  EXPECT_NE(why.find("transaction was closed"), std::string::npos) << why;
  st.SetSQL("INSERT INTO T (I) VALUES (1)");
  EXPECT_THROW(st.Execute(), EtiFBException);
  // A new transaction and statement work as before: nothing was left open.
  TtiFBTransaction tr2(*db_);
  tr2.Start();
  TtiFBStatement st2(*db_, tr2);
  st2.SetSQL("INSERT INTO T (I) VALUES (1)");
  st2.Execute();
  tr2.Commit();
  EXPECT_EQ(Count("T"), 1);
}

TEST_F(FirebirdTest, ErrorsNameTheFile) {
  TtiFBTransaction tr(*db_);
  tr.Start();
  TtiFBStatement q(*db_, tr);
  q.SetSQL("SELEC nonsense");
  const std::string syntax = ErrorOf([&] { q.Prepare(); });
  EXPECT_NE(syntax.find("database \"" + file_ + "\""), std::string::npos) << syntax;
  EXPECT_NE(syntax.find("SQL: SELEC nonsense"), std::string::npos) << syntax;
  tr.RollBack();

  TtiFBDatabase missing(dir_ + "/missing.fdb");
  const std::string m = ErrorOf([&] { missing.Connect(); });
  EXPECT_NE(m.find(dir_ + "/missing.fdb"), std::string::npos) << m;
  EXPECT_NE(m.find("does not exist"), std::string::npos) << m;
  EXPECT_FALSE(fs::exists(dir_ + "/missing.fdb"));

  const std::string junk = dir_ + "/junk.fdb";
  std::ofstream(junk) << std::string(8192, 'x');
  TtiFBDatabase bad(junk);
  const std::string b = ErrorOf([&] { bad.Connect(); });
  EXPECT_NE(b.find(junk), std::string::npos) << b;
  EXPECT_FALSE(bad.Connected());

  // Creating never overwrites.
  const auto size = fs::file_size(junk);
  const std::string c = ErrorOf([&] { TtiFBDatabase::CreateDatabase(junk); });
  EXPECT_NE(c.find("exists already"), std::string::npos) << c;
  EXPECT_EQ(fs::file_size(junk), size);
}

TEST_F(FirebirdTest, ScriptsWithTerminatorsCommentsAndCommits) {
  Run(R"(/* a comment; with a terminator inside */
CREATE TABLE T (I INTEGER, S VARCHAR(30)); -- trailing comment;
INSERT INTO T VALUES (1, 'a;b ''quoted'' -- not a comment');
COMMIT WORK;
SET TERM ^ ;
CREATE TRIGGER T_BI FOR T BEFORE INSERT AS
BEGIN
  IF (NEW.I IS NULL) THEN NEW.I = 99;
END^
SET TERM ; ^
INSERT INTO T (S) VALUES ('Grüße');
/*COMMIT;*/
)");
  TtiFBTransaction tr(*db_);
  tr.Start(true);
  TtiFBStatement q(*db_, tr);
  q.SetSQL("SELECT I, S FROM T ORDER BY I");
  q.Open();
  EXPECT_EQ(q.FieldAsString("S"), "a;b 'quoted' -- not a comment");
  q.Next();
  EXPECT_EQ(q.FieldAsInteger("I"), 99);  // the trigger ran
  EXPECT_EQ(q.FieldAsString("S"), "Grüße");
  tr.Commit();

  // A failing statement names script and line and rolls back what the script had not committed.
  const std::string e = ErrorOf([&] {
    tiFBRunScript(*db_, "INSERT INTO T VALUES (5, 'x');\nCOMMIT;\nINSERT INTO T VALUES (6, 'y');\n\nINSERT INTO Nope VALUES (1);",
                  "broken.sql");
  });
  EXPECT_NE(e.find("Script \"broken.sql\", line 5"), std::string::npos) << e;
  EXPECT_NE(e.find(file_), std::string::npos) << e;
  EXPECT_NE(e.find("NOPE"), std::string::npos) << e;
  EXPECT_EQ(Count("T"), 3);  // 5 committed, 6 rolled back

  EXPECT_NE(ErrorOf([&] { Run("CREATE DATABASE '/tmp/x.fdb';"); }).find("cannot create"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { Run("SELECT 1 FROM RDB$DATABASE"); }).find("no terminator"), std::string::npos);
  EXPECT_NE(ErrorOf([&] { Run("/* open"); }).find("unterminated comment"), std::string::npos);
  const auto parts = tiFBSplitScript("SET TERM !! ;\nA;B!!\n\n  C !!\nSET TERM ; !!\nD;", "s");
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].Text, "A;B");
  EXPECT_EQ(parts[1].Text, "C");
  EXPECT_EQ(parts[1].Line, 4);
  EXPECT_EQ(parts[2].Text, "D");
}

TEST_F(FirebirdTest, ReadOnlyDatabaseAndSharedAccess) {
  Run("CREATE TABLE T (I INTEGER); INSERT INTO T VALUES (7);");
  // Another process opens the same file while this one holds it.
  const std::string cmd = "echo 'SELECT I FROM T;' | isql-fb -q -user SYSDBA '" + file_ + "' 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(::pclose(p), 0) << out;
  EXPECT_NE(out.find("7"), std::string::npos) << out;

  db_->Disconnect();
  TtiFBDatabase::SetReadOnlyMode(file_, true);
  db_->Connect();
  TtiFBTransaction tr(*db_);
  tr.Start(true);
  TtiFBStatement q(*db_, tr);
  q.SetSQL("SELECT I FROM T");
  q.Open();
  EXPECT_EQ(q.FieldAsInteger(0), 7);
  tr.Commit();
  const std::string e = ErrorOf([&] { tiFBRunScript(*db_, "INSERT INTO T VALUES (8);", "w"); });
  EXPECT_NE(e.find(file_), std::string::npos) << e;
  EXPECT_EQ(Count("T"), 1);
}

TEST_F(FirebirdTest, AWriterHasAPageCacheForLargeLibraries) {
  // With the engine's 256 pages a writer of a large library evicted and wrote its index pages on every insert.
  auto pageBuffers = [&](TtiFBDatabase& db) {
    TtiFBTransaction tr(db);
    tr.Start(true);
    TtiFBStatement q(db, tr);
    q.SetSQL("SELECT MON$PAGE_BUFFERS FROM MON$DATABASE");
    q.Open();
    const int64_t n = q.FieldAsInteger(0);
    tr.Commit();
    return n;
  };
  EXPECT_GE(pageBuffers(*db_), 8192);
}

TEST_F(FirebirdTest, DropDatabaseRemovesTheFile) {
  TtiFBTransaction tr(*db_);
  tr.Start();
  db_->DropDatabase();
  EXPECT_FALSE(tr.Active());
  EXPECT_FALSE(db_->Connected());
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(FirebirdTest, ObjectsOutlivingTheirDatabaseStayInert) {
  auto tr = std::make_unique<TtiFBTransaction>(*db_);
  tr->Start();
  auto st = std::make_unique<TtiFBStatement>(*db_, *tr);
  st->SetSQL("SELECT 1 FROM RDB$DATABASE");
  st->Open();
  db_.reset();  // closes the attachment and rolls back
  EXPECT_FALSE(tr->Active());
  EXPECT_THROW(st->Next(), EtiFBException);
  EXPECT_THROW(st->Open(), EtiFBException);
  EXPECT_THROW(tr->Start(), EtiFBException);
  st.reset();
  tr.reset();
}

TEST_F(FirebirdTest, NonAsciiPathsWorkForEveryOperation) {
  // The test program never calls setlocale: it runs in the "C" locale, as a program without a GUI may.
  const std::string folder = dir_ + "/jürgen/Größe €uro";
  fs::create_directories(folder);
  const std::string file = folder + "/Prüfung.fdb";
  TtiFBDatabase::CreateDatabase(file);
  {
    TtiFBDatabase db(file);
    db.Connect();
    tiFBRunScript(db, "CREATE TABLE T (S VARCHAR(10)); INSERT INTO T VALUES ('Maß');", "utf8");
    db.Disconnect();
  }
  TtiFBDatabase::SetReadOnlyMode(file, true);
  tiFBRecordDigest(file);
  EXPECT_NO_THROW(tiFBCheckDigest(file));
  {
    TtiFBDatabase db(file);
    db.SetReadOnlyAccess(true);
    db.Connect();
    TtiFBTransaction tr(db);
    tr.Start(true);
    TtiFBStatement q(db, tr);
    q.SetSQL("SELECT S FROM T");
    q.Open();
    EXPECT_EQ(q.FieldAsString(0), "Maß");
  }
  TtiFBDatabase::SetReadOnlyMode(file, false);
  {
    TtiFBDatabase db(file);
    db.Connect();
    db.DropDatabase();
  }
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(fs::remove(tiFBDigestFileName(file)));
  EXPECT_TRUE(fs::is_empty(folder)) << "left behind in " << folder;

  // Errors name such files as they are called.
  const std::string junk = folder + "/Müll.fdb";
  std::ofstream(junk) << std::string(8192, 'x');
  TtiFBDatabase bad(junk);
  const std::string e = ErrorOf([&] { bad.Connect(); });
  EXPECT_NE(e.find(junk), std::string::npos) << e;
  EXPECT_EQ(e.find("Cannot transliterate"), std::string::npos) << e;
}

TEST_F(FirebirdTest, DigestCatchesEveryChangedByte) {
  const std::string abc = dir_ + "/abc";
  std::ofstream(abc) << "abc";
  EXPECT_EQ(tiFBFileDigest(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  db_->Disconnect();
  const std::string missing = ErrorOf([&] { tiFBCheckDigest(file_); });
  EXPECT_NE(missing.find(file_ + ".sha256"), std::string::npos) << missing;
  tiFBRecordDigest(file_);
  std::ifstream recorded(tiFBDigestFileName(file_));
  std::string line;
  std::getline(recorded, line);
  EXPECT_EQ(line, tiFBFileDigest(file_) + "  test.fdb");  // as sha256sum writes it
  EXPECT_NO_THROW(tiFBCheckDigest(file_));

  const auto middle = static_cast<std::streamoff>(fs::file_size(file_) / 2);
  auto flip = [&] {
    std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(middle);
    const char c = static_cast<char>(f.get() ^ 0x10);
    f.seekp(middle);
    f.put(c);
  };
  flip();
  const std::string damaged = ErrorOf([&] { tiFBCheckDigest(file_); });
  EXPECT_NE(damaged.find("\"" + file_ + "\" is damaged"), std::string::npos) << damaged;
  flip();
  EXPECT_NO_THROW(tiFBCheckDigest(file_));
}

// A digest file or database name that is a FIFO or leads to a device is refused at once: read in a child
// that an alarm ends, so a hang fails the test instead of blocking it.
TEST_F(FirebirdTest, DigestsOfFIFOsAndDevicesAreRefusedAtOnce) {
  db_->Disconnect();
  tiFBRecordDigest(file_);
  const std::string digest = tiFBDigestFileName(file_);
  const std::string fifo = dir_ + "/fifo.fdb";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto refusedInChild = [](const std::function<void()>& check) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::alarm(10);
      try {
        check();
      } catch (const EtiFBException&) {
        ::_exit(0);
      }
      ::_exit(1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_TRUE(refusedInChild([&] { tiFBFileDigest(fifo); }));
  EXPECT_TRUE(refusedInChild([&] { tiFBFileDigest("/dev/zero"); }));
  for (const char* special : {"fifo", "/dev/zero"}) {
    SCOPED_TRACE(special);
    fs::remove(digest);
    if (std::string(special) == "fifo") ASSERT_EQ(::mkfifo(digest.c_str(), 0600), 0);
    else ASSERT_EQ(::symlink(special, digest.c_str()), 0);
    EXPECT_TRUE(refusedInChild([&] { tiFBCheckDigest(file_); }));
  }
}

// The marker of a writer: made by the first read-write attachment of the process, beside the file (also when a
// link leads to it), removed by the last clean close; readers make none, and a clean file opens without
// validation.
TEST_F(FirebirdTest, AWriterKeepsItsMarkerUntilItsCleanClose) {
  const std::string marker = tiFBWriteMarkerName(file_);
  EXPECT_EQ(marker, dir_ + "/.test.fdb.writing");
  EXPECT_TRUE(fs::exists(marker));
  {
    TtiFBDatabase second(file_);
    second.Connect();
  }
  EXPECT_TRUE(fs::exists(marker));
  db_->Disconnect();
  EXPECT_FALSE(fs::exists(marker));

  const int64_t repairs = tiFBInterruptedWriteRepairs();
  TtiFBDatabase reader(file_);
  reader.SetReadOnlyAccess(true);
  reader.Connect();
  EXPECT_FALSE(fs::exists(marker));
  reader.Disconnect();
  fs::create_symlink(file_, dir_ + "/link.fdb");
  EXPECT_EQ(tiFBWriteMarkerName(dir_ + "/link.fdb"), marker);
  TtiFBDatabase viaLink(dir_ + "/link.fdb");
  viaLink.Connect();
  EXPECT_TRUE(fs::exists(marker));
  viaLink.Disconnect();
  db_->Connect();
  db_->Disconnect();
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs);
}

// A marker left by a writer that died: readers never validate, nor does a writer while a reader of this process
// holds the file (validation needs the file alone) - the marker then stays; the next writer alone validates
// once and removes the marker at its clean close.
TEST_F(FirebirdTest, AMarkerLeftOverIsValidatedByTheNextWriterAlone) {
  Run("CREATE TABLE T (I INTEGER); INSERT INTO T VALUES (1);");
  db_->Disconnect();
  const std::string marker = tiFBWriteMarkerName(file_);
  std::ofstream(marker) << "left by a writer that died";
  const int64_t repairs = tiFBInterruptedWriteRepairs();

  TtiFBDatabase reader(file_);
  reader.SetReadOnlyAccess(true);
  reader.Connect();
  db_->Connect();
  EXPECT_EQ(Count("T"), 1);
  db_->Disconnect();
  reader.Disconnect();
  EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs);
  EXPECT_TRUE(fs::exists(marker));

  db_->Connect();
  EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs + 1);
  EXPECT_TRUE(fs::exists(marker));  // it is being written again
  EXPECT_EQ(Count("T"), 1);
  db_->Disconnect();
  EXPECT_FALSE(fs::exists(marker));
  db_->Connect();
  EXPECT_EQ(tiFBInterruptedWriteRepairs(), repairs + 1);
}

// A file whose validation finds damage it may not mend: the writer is refused with an error naming the file,
// the marker stays for the next one, and the file reads as before.
TEST_F(FirebirdTest, AFileValidationCannotMendIsRefusedNamingIt) {
  Run("CREATE TABLE T (I INTEGER, S VARCHAR(200));\n"
      "SET TERM ^;\n"
      "EXECUTE BLOCK AS DECLARE I INTEGER = 0; BEGIN WHILE (I < 3000) DO BEGIN\n"
      "  INSERT INTO T VALUES (:I, 'a row long enough to fill some pages of table T with text'); I = I + 1;\n"
      "END END^\n"
      "SET TERM ;^");
  int64_t relation = 0;
  {
    TtiFBTransaction tr(*db_);
    tr.Start(true);
    TtiFBStatement q(*db_, tr);
    q.SetSQL("SELECT RDB$RELATION_ID FROM RDB$RELATIONS WHERE RDB$RELATION_NAME = 'T'");
    q.Open();
    relation = q.FieldAsInteger(0);
  }
  db_->Disconnect();
  // Overwrite the rows of T's first data page (page type 5, the relation number at byte 20 and the row count at
  // byte 22; 4 KB pages).
  {
    std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
    const auto pages = static_cast<std::streamoff>(fs::file_size(file_) / 4096);
    std::streamoff victim = -1;
    for (std::streamoff p = 0; p < pages; ++p) {
      unsigned char head[24];
      f.seekg(p * 4096);
      f.read(reinterpret_cast<char*>(head), sizeof head);
      if (head[0] == 5 && head[20] + 256 * head[21] == relation && head[22] + 256 * head[23] > 0 && victim < 0)
        victim = p;
    }
    ASSERT_GE(victim, 0);
    f.seekp(victim * 4096 + 40);
    const std::string garbage(200, '\xFF');
    f.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  auto readable = [&] {
    TtiFBDatabase reader(file_);
    reader.SetReadOnlyAccess(true);
    reader.Connect();
    return kelvado::testing::CountRowsOfT(reader);
  };
  const int64_t before = readable();
  const std::string marker = tiFBWriteMarkerName(file_);
  std::ofstream(marker) << "left by a writer that died";

  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::string e = ErrorOf([&] { db_->Connect(); });
    EXPECT_NE(e.find("\"" + file_ + "\""), std::string::npos) << e;
    EXPECT_NE(e.find("validation"), std::string::npos) << e;
    EXPECT_FALSE(db_->Connected());
    EXPECT_TRUE(fs::exists(marker));
  }
  EXPECT_EQ(readable(), before);  // and the lock of the refused writer is gone
}
