#pragma once
// Access to Firebird databases: connections, transactions, statements with named parameters, typed values and
// SQL scripts. The general database, the Firebird store and the library visitors all go through this one layer.
//
// A database name keeps the Firebird client's meaning: a plain path ("/data/lib.klb", "lib.klb") is a local file
// that the embedded engine of this process opens; a name with a server part ("host:/data/lib.klb",
// "host/3051:/data/lib.klb", "inet://host/data/lib.klb") is a file that the Firebird server on that host opens.
// A server is how a team shares one library: it alone touches the file and serializes its clients.
//
// Text boundary: the program works in UTF-8; Firebird text columns hold single-byte Windows-1252 text. Every
// string goes through tiUtf8ToWin1252 / tiWin1252ToUtf8 here, and a character that Windows-1252 cannot hold is
// refused with an error, never replaced.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/tiExcept.h"

namespace kelvado {

// A failure reported by the Firebird engine or by this layer. The message names the database file and what was
// being done; ErrorCode is the engine's first error number (0 when the layer itself refused).
class EtiFBException : public EtiPerException {
public:
  explicit EtiFBException(std::string message, long errorCode = 0)
      : EtiPerException(std::move(message)), errorCode_(errorCode) {}
  const char* ClassName() const noexcept override { return "EtiFBException"; }
  long ErrorCode() const noexcept { return errorCode_; }
  // The attachment is gone (the server went down or was shut down, the network failed): nothing more can be
  // done on it, it must be opened again.
  bool ConnectionLost() const noexcept;

private:
  long errorCode_;
};

// UTF-8 to Windows-1252; raises EConvertError naming the character (as U+XXXX) and its position when it cannot
// be encoded or the input is not valid UTF-8. The five bytes Windows-1252 leaves undefined (0x81, 0x8D, 0x8F,
// 0x90, 0x9D) travel as U+0081 etc., so text read from a file can be written back unchanged.
std::string tiUtf8ToWin1252(std::string_view utf8);
std::string tiWin1252ToUtf8(std::string_view win1252);

// Whether a database name has a server part (see above). A single letter before the colon is a drive
// ("C:\Libs\x.klb", a name from a Windows machine), not a host.
bool tiFBIsServerName(const std::string& databaseName);

// Prepares the process for the embedded engine; called by every entry point below before the first use of the
// client library, and idempotent. Unless the caller set them already, it points FIREBIRD_LOCK at a private
// per-user lock folder and FIREBIRD at a per-user configuration root in which the engine runs in Classic mode,
// so that several processes (parallel tests, a second program instance) can read the same file at once.
void tiFBInitEnvironment();

// Integrity of a database file we ship read-only. Firebird pages carry no checksum: a damaged file answers
// wrong values without any error. The build records the file's SHA-256 digest beside it, in
// "<file>.sha256" (the format of sha256sum), and readers compare before they open it.
std::string tiFBDigestFileName(const std::string& dbFile);
// The SHA-256 digest of a file as 64 lower-case hexadecimal digits; EtiFBException naming the file when it
// cannot be read.
std::string tiFBFileDigest(const std::string& file);
// Writes the digest file of `dbFile` (atomically, beside it).
void tiFBRecordDigest(const std::string& dbFile);
// A shipped file that is not as it was built: no digest is recorded for it, or its content differs from the
// digest. A program can say this in its own words: the remedy is to install the file again.
class EtiFBDamagedFile : public EtiFBException {
public:
  EtiFBDamagedFile(std::string message, long errorCode, std::string digestFile, bool digestMissing)
      : EtiFBException(std::move(message), errorCode),
        digestFile_(std::move(digestFile)),
        digestMissing_(digestMissing) {}
  const char* ClassName() const noexcept override { return "EtiFBDamagedFile"; }
  const std::string& DigestFile() const noexcept { return digestFile_; }
  bool DigestMissing() const noexcept { return digestMissing_; }

private:
  std::string digestFile_;
  bool digestMissing_;
};
// Raises EtiFBDamagedFile naming the file when no digest is recorded for it or its digest differs, and
// EtiFBException when it cannot be read.
void tiFBCheckDigest(const std::string& dbFile);

// The marker of a local database file that a writer has attached to (see TtiFBDatabase): "<folder>/.<name>.writing".
std::string tiFBWriteMarkerName(const std::string& dbFile);
// How often this process has validated a file because its last writer had ended in the middle (for tests).
int64_t tiFBInterruptedWriteRepairs();

// Whether a local database file may not be written: its owner's write bit is clear (the owner's "keep this",
// which binds root too, as for every file the program writes) or this process may not write it. False for a
// name with a server part and for a file that does not exist.
bool tiFBIsReadOnlyFile(const std::string& databaseName);

// Engine type numbers of a column (SQL_VARYING, SQL_DOUBLE ... of the Firebird client, null bit cleared).
struct TtiFBColumn {
  std::string Name;      // column name in the table (empty for expressions)
  std::string Alias;     // name in the result set (what FieldName and FieldIndex use)
  std::string Relation;  // table name, empty for expressions
  unsigned SQLType = 0;
  int SubType = 0;
  int Scale = 0;
  unsigned Length = 0;  // bytes in the message buffer
  unsigned CharSet = 0;
};

class TtiFBTransaction;
class TtiFBStatement;

// One attachment to one database. It must outlive its transactions and statements; destroying it first
// leaves them inert (their destructors stay safe). File names are UTF-8 ("/home/jürgen/Größe.KLB").
//
// One writer per local file: the engine coordinates only the processes that share its lock folder, so two
// processes with different lock folders (two users, another TMPDIR) would both write one file and corrupt it.
// An attachment to a local file therefore holds an advisory lock on it from Connect to Disconnect: exclusive
// for read-write access to a file that may be written, shared for read-only access and for files that nobody
// may write (permission bits). Attachments inside one process share the lock. The kernel drops it when a
// process dies. A database on a server takes no such lock: the server process is the only one that opens its
// file and it coordinates all its clients itself (that is what lets a team write one library together), and
// the file is not on this machine to be locked anyway.
//
// A writer that ends in the middle of a write (killed, crashed) leaves the old content, but also pages its
// transaction had taken and never linked (Firebird's validation warns of them as orphans) and index page splits
// it had not finished. The first read-write attachment of a process to a local file therefore leaves a marker
// beside it (tiFBWriteMarkerName) until the last one detaches cleanly. A writer that finds a marker left over,
// and is then the process's only attachment to the file (the exclusive lock guarantees that no other program
// has it), tidies the file before it attaches: Firebird's validation releases those pages and corrects pointer
// pages, and the file's indices are rebuilt when it finds them amiss, until a pass finds the file clean. A file
// without a marker opens without any of it, and so does every read-only attachment. When the file cannot be
// made clean (damage that validation may not mend, or the engine cannot validate), the attachment is refused
// with an error naming the file, and the marker stays for the next writer. In a folder where the marker cannot
// be made, the file is written all the same, without that tidying after a crash. The writer that tidied the file,
// and one whose write was rolled back (a full disk leaves a page the engine took and never linked), tidy it again
// when they disconnect as the process's only attachment to it; else the marker stays for the next writer.
//
// A local file that may not be written (tiFBIsReadOnlyFile) is only read, and never written: it is attached
// without the exclusive lock and the marker, and with the engine's refusal of every change. The engine opens
// such a file only when it is in read-only mode (as the general database is; it then writes nothing into it);
// any other such file is read from a private copy in read-only mode, made in the temporary folder ($TMPDIR)
// and named there only until the engine has it open. Its errors name the file all the same.
//
// Not thread-safe: one object (with its transactions and statements) is used by one thread at a time.
class TtiFBDatabase {
public:
  TtiFBDatabase();
  explicit TtiFBDatabase(std::string databaseName, std::string userName = "SYSDBA", std::string password = "");
  ~TtiFBDatabase();
  TtiFBDatabase(const TtiFBDatabase&) = delete;
  TtiFBDatabase& operator=(const TtiFBDatabase&) = delete;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(std::string v);
  const std::string& UserName() const { return userName_; }
  void SetUserName(std::string v) { userName_ = std::move(v); }
  const std::string& Password() const { return password_; }
  void SetPassword(std::string v) { password_ = std::move(v); }
  int SQLDialect() const { return 3; }
  // Read-only access: other processes may read the file at the same time, and only read-only transactions
  // start. Default: read-write access. Changing it while connected is an error.
  bool ReadOnlyAccess() const { return readOnlyAccess_; }
  void SetReadOnlyAccess(bool v);

  // Opens the database. A missing file, a file that is no database, a file another process holds ("... is in
  // use by another program") and a Firebird lock folder without room for the engine's lock tables (which it
  // maps into memory: a full folder would otherwise end the process with SIGBUS) raise EtiFBException naming
  // the file or the folder. A name with a server part goes to that server (an unreachable server, a refused
  // login or a file the server may not open raise EtiFBException naming the database).
  void Connect();
  // Closes the attachment; open transactions are rolled back first.
  void Disconnect();
  bool Connected() const;

  // Creates a new, empty database file (Windows-1252 default character set, SQL dialect 3) and leaves it
  // closed. An existing file is never overwritten: that is an error. A local file is made under a temporary
  // name in the same folder and moved into place when complete, so a failure (a full disk) leaves no file
  // behind; a file on a server is made by the server under its own name.
  static void CreateDatabase(const std::string& fileName, const std::string& userName = "SYSDBA",
                             const std::string& password = "", int pageSize = 4096);
  // The first half of CreateDatabase for a local file that is to be filled before anyone may see it: a new,
  // empty database under a temporary name beside `fileName` (which must not exist), whose name it gives. Until
  // it is published the engine writes it without waiting for the disk. The caller fills it, closes it and gives
  // it its name with PublishDatabase, or removes it.
  static std::string CreateDatabaseBeside(const std::string& fileName, const std::string& userName = "SYSDBA",
                                          const std::string& password = "", int pageSize = 4096);
  // Puts a closed database made by CreateDatabaseBeside on the disk, has the engine wait for the disk again from
  // now on, and gives it its name, never over an existing file (an error, and `temporary` stays).
  static void PublishDatabase(const std::string& temporary, const std::string& fileName,
                              const std::string& userName = "SYSDBA", const std::string& password = "");
  // Switches a closed database file between read-only and read-write mode (needs the only attachment; the file
  // must not be in use by another process).
  static void SetReadOnlyMode(const std::string& fileName, bool readOnly, const std::string& userName = "SYSDBA",
                              const std::string& password = "");
  // Deletes the connected database file and disconnects.
  void DropDatabase();

  // Runs one statement without parameters and without result in the given transaction.
  void ExecuteImmediate(TtiFBTransaction& tr, const std::string& sql);

  // For error texts: "database "<file>"".
  std::string Describe() const;

private:
  friend class TtiFBTransaction;
  friend class TtiFBStatement;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string databaseName_;
  std::string userName_;
  std::string password_;
  bool readOnlyAccess_ = false;
};

// A transaction on one database. Destroying an active transaction rolls it back.
class TtiFBTransaction {
public:
  explicit TtiFBTransaction(TtiFBDatabase& db);
  ~TtiFBTransaction();
  TtiFBTransaction(const TtiFBTransaction&) = delete;
  TtiFBTransaction& operator=(const TtiFBTransaction&) = delete;

  // Snapshot isolation, waiting on locks; readOnly starts a read-only transaction, in which every change is
  // refused. Starting an active transaction is an error, and so is a read-write one on a database opened for
  // read-only access.
  void Start(bool readOnly = false);
  bool Active() const;
  bool ReadOnly() const { return readOnly_; }
  // Committing or rolling back a transaction that is not active is an error.
  void Commit();
  void CommitRetaining();
  void RollBack();

  TtiFBDatabase& Database() const { return db_; }

private:
  friend class TtiFBDatabase;
  friend class TtiFBStatement;
  void Detach();  // the engine handle is gone: forget it
  // The shared frame of Commit, CommitRetaining and RollBack.
  template <class End>
  void Finish(const char* verb, bool closeStatements, End&& end);
  TtiFBDatabase& db_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool readOnly_ = false;
  bool orphaned_ = false;  // the database object was destroyed first
};

// One SQL statement on a transaction. It may outlive its transaction: destroying the transaction drops the
// statement's handles, and every later use raises EtiFBException. Parameters are written ":Name" in the SQL text (letters, digits, "_" and "$"; compared
// ignoring case); a name may appear several times. Every parameter must be given a value (NULL included)
// before Execute or Open; values stay set for the next run.
class TtiFBStatement {
public:
  TtiFBStatement(TtiFBDatabase& db, TtiFBTransaction& tr);
  ~TtiFBStatement();
  TtiFBStatement(const TtiFBStatement&) = delete;
  TtiFBStatement& operator=(const TtiFBStatement&) = delete;

  // Sets a new text: closes and unprepares, forgets the parameter values.
  void SetSQL(const std::string& sql);
  const std::string& SQL() const { return sql_; }
  // The text as sent to the engine (":Name" replaced by "?").
  const std::string& EngineSQL() const { return engineSql_; }

  int ParamCount() const { return static_cast<int>(paramNames_.size()); }
  const std::string& ParamName(int index) const;
  bool HasParam(const std::string& name) const;

  void SetParamString(const std::string& name, const std::string& utf8);
  void SetParamInteger(const std::string& name, int64_t v);
  void SetParamDouble(const std::string& name, double v);
  // Stored as SMALLINT 0 or 1 (the schema's boolean columns).
  void SetParamBoolean(const std::string& name, bool v);
  // A date-time as days since 1899-12-30 with the time as fraction of a day.
  void SetParamDateTime(const std::string& name, double dateTime);
  // Raw bytes into a BLOB column.
  void SetParamBlob(const std::string& name, const std::string& bytes);
  void SetParamNull(const std::string& name);
  bool ParamIsNull(const std::string& name) const;
  // The value given to a parameter: its kind (Unset before any) and the value of that kind (Text is UTF-8 for
  // strings, the raw bytes for blobs; Integer also holds a boolean as 0/1, Number a double or a date-time).
  enum class TParamKind { Unset, Null, String, Integer, Double, Boolean, DateTime, Blob };
  struct TParamValue {
    TParamKind Kind = TParamKind::Unset;
    std::string Text;
    int64_t Integer = 0;
    double Number = 0.0;
  };
  TParamValue ParamValue(const std::string& name) const;
  // Forgets every parameter value and closes the statement, but keeps it prepared: running one text with new
  // values again and again prepares it once.
  void ClearParams();

  void Prepare();
  bool Prepared() const;
  // Whether the statement returns rows through a cursor (a SELECT): run it with Open, anything else with
  // Execute. Prepares it first.
  bool IsSelect();
  // Runs a statement that returns no rows (or returns one row of a RETURNING clause, which is discarded).
  void Execute();
  // Runs a SELECT and positions on the first row (Eof when there is none).
  void Open();
  bool Active() const;
  bool Eof() const;
  void Next();
  void Close();
  // Rows changed by the last Execute.
  int64_t RowsAffected() const;

  int FieldCount() const;
  const TtiFBColumn& Column(int index) const;
  const std::string& FieldName(int index) const;
  // Position of the column of that name (ignoring case), -1 when none.
  int FieldIndex(const std::string& name) const;

  bool FieldIsNull(int index) const;
  // Text of any column: strings decoded from Windows-1252 (CHAR columns keep their trailing blanks), numbers
  // as text with "." as decimal separator (doubles as Value::FloatToText gives them: 15 significant digits),
  // booleans "1"/"0"; NULL gives "".
  std::string FieldAsString(int index) const;
  // Integers from integer columns, from integral doubles and from integer texts; anything else is an error.
  int64_t FieldAsInteger(int index) const;
  double FieldAsFloat(int index) const;
  // Non-zero numbers and the texts "T", "TRUE", "Y", "YES", "1" (trimmed, any case) are true.
  bool FieldAsBoolean(int index) const;
  double FieldAsDateTime(int index) const;
  std::string FieldAsBlob(int index) const;  // raw bytes of a BLOB (or of any string column)

  bool FieldIsNull(const std::string& name) const { return FieldIsNull(RequireField(name)); }
  std::string FieldAsString(const std::string& name) const { return FieldAsString(RequireField(name)); }
  int64_t FieldAsInteger(const std::string& name) const { return FieldAsInteger(RequireField(name)); }
  double FieldAsFloat(const std::string& name) const { return FieldAsFloat(RequireField(name)); }
  bool FieldAsBoolean(const std::string& name) const { return FieldAsBoolean(RequireField(name)); }
  double FieldAsDateTime(const std::string& name) const { return FieldAsDateTime(RequireField(name)); }
  std::string FieldAsBlob(const std::string& name) const { return FieldAsBlob(RequireField(name)); }

private:
  struct Param;
  struct Impl;
  friend struct TtiFBStatementInput;
  // The transaction, or a failure "<what>: its transaction was closed" when it went first.
  TtiFBTransaction& Tr(const char* what) const;
  int RequireField(const std::string& name) const;
  Param& RequireParam(const std::string& name);
  const Param& RequireParam(const std::string& name) const;
  void CheckRow(int index) const;
  std::string Where() const;  // "database "<file>"" for messages
  [[noreturn]] void Fail(const std::string& what, const std::string& detail, long code = 0) const;
  void BuildInput();
  void ReleaseHandles();  // the database closes: drop cursor and prepared statement
  std::string RawText(int index) const;
  friend class TtiFBDatabase;
  friend class TtiFBTransaction;

  TtiFBDatabase& db_;
  TtiFBTransaction* tr_;  // null once the transaction is destroyed
  std::string sql_;
  std::string engineSql_;
  std::vector<std::string> paramNames_;  // distinct names in order of first use
  std::vector<int> positions_;           // for each "?" the index into paramNames_
  std::vector<Param> params_;
  std::unique_ptr<Impl> impl_;
  bool orphaned_ = false;  // the database object was destroyed first
};

// Script running. A script is SQL text as isql reads it: statements end with the current terminator (";"
// until "SET TERM" changes it, so procedure and trigger bodies can hold ";"), "--" and "/* */" comments and
// quoted texts are respected. "COMMIT [WORK]" and "ROLLBACK [WORK]" end the running transaction and start a
// new one; "SET SQL DIALECT 3" and "SET AUTODDL ON|OFF" are understood; with AUTODDL on (the default, as in
// isql) every schema statement is committed at once so that later statements see its objects. Statements
// that open or create another database ("CREATE DATABASE", "CONNECT") and other isql commands are refused.
// Whatever the script leaves open is committed at its end; on an error the running transaction is rolled back
// and EtiFBException names the script, the line and the statement.
struct TtiFBScriptStatement {
  std::string Text;  // without the terminator
  int Line = 0;      // 1-based line where the statement starts
};
std::vector<TtiFBScriptStatement> tiFBSplitScript(const std::string& script, const std::string& scriptName);
void tiFBRunScript(TtiFBDatabase& db, const std::string& script, const std::string& scriptName);

}  // namespace kelvado
