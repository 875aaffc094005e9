#pragma once
// The persistence layer "XML": a whole database is one XML file, held in memory as a libxml2 document while it
// is connected. Project files are stores of this layer.
//
//   <?xml version="1.0"?>
//   <xmldocdata><tiper version="2.0"/><tables>
//     <table table_name="items">
//       <fields><field field_name="oid" field_kind="string" field_Size="36"/>...</fields>
//       <rows><row oid="..." name="..."/>...</rows>
//     </table>
//   </tables></xmldocdata>
//
// Table, field and row-attribute names are lower case; every value is text (strings with line breaks written
// as "&lf;" and "&cr;"). The rows are held as the names and texts of their attributes, not as elements of the
// document (which would take twelve to fourteen times the file); the rest of the file is the document. Row
// changes act on the rows; a commit writes the whole document back with them, atomically (byte for byte as
// libxml2 writes it), and only when something changed, so reading a file never writes it. Rows are found by
// comparing each criterion with the row's attribute (all criteria must match); for every attribute used as a
// criterion the table keeps an index from value to rows, built on first use and kept in step with every change,
// so finding a row by its key does not scan the table.
//
// Only element children count: white space, comments and unknown elements in a file edited by hand change
// nothing (a table whose rows element holds such keeps its row elements beside its rows, so that a commit
// writes them back). Of a table, the first "fields" and the first "rows" element are its columns and its rows.
//
// Rows a query has selected stay readable while their document lives, also after another query deleted them;
// once the document is reloaded (rollback) or dropped (disconnect) the query raises instead of reading them.
// A database object may be used from any thread, by one at a time: the layer's pools hold at most one
// connection per file.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiLibXml.h"
#include "framework/tiPool.h"
#include "framework/tiQuery.h"

namespace kelvado {

inline constexpr const char* cTIPersistXML = "XML";

class TtiXMLStore;
struct TtiXMLRow;

class TtiDatabaseXML : public TtiDatabase {
public:
  TI_CLASS(TtiDatabaseXML)
  TtiDatabaseXML();
  ~TtiDatabaseXML() override;

  // true: (re)loads the file; a file that cannot be read raises EtiPerDBExceptionCanNotConnect whose message
  // holds the parser's reason, line and column and names the file, and leaves the database not connected (no
  // part of the file is kept). false: drops the document.
  void SetConnected(bool value) override;
  bool GetConnected() override;
  // True when a file of that name exists.
  bool TestConnectTo(const std::string& dbName, const std::string& userName, const std::string& password,
                     const std::string& params) override;
  // Creates the file's folder (every missing level), then writes the empty document, replacing any file of
  // that name.
  void CreateDatabase(const std::string& dbName, const std::string& userName, const std::string& password) override;

  void StartTransaction() override;
  bool InTransaction() override { return inTransaction_; }
  // Outside a transaction raises EtiPerInternalException "Attempt to commit but not in a transaction.".
  // Writes the document when it has changed; a write that fails raises EtiPerDBException naming the file,
  // leaves the file as it was and the transaction open (to be rolled back).
  void Commit() override;
  // Discards every change since the last commit by reading the file again (nothing to read when nothing
  // changed; a store made anew in memory and never committed becomes the empty store again).
  void RollBack() override;
  bool Test() override { return false; }

  // One table per "table" element, named by its table_name, each posPK; the list becomes posClean.
  void ReadMetaDataTables(TtiDBMetaData& metaData) override;
  // The columns of the table of that name (nothing when there is none); the table becomes posClean.
  void ReadMetaDataFields(TtiDBMetaDataTable& table) override;
  // The store runs no SQL: raises EtiPerProgrammerException.
  void ExecSQL(const std::string& sql, const TtiQueryParams* params = nullptr) override;
  // Removes the table and commits (within an open transaction, the commit is left to its owner); nothing when
  // there is no such table.
  void DropTable(const TtiDBMetaDataTable& table) override;
  // Adds the table with its columns and commits (within an open transaction, the commit is left to its owner).
  // A table of that name already there raises EtiPerInternalException "Attempt to create duplicate table name
  // <...>"; a column name that cannot be an XML attribute name is refused before anything changes.
  void CreateTable(const TtiDBMetaDataTable& table) override;

  // Whether the document holds changes no commit has written yet.
  bool Modified() const;
  // Inside an open transaction, for a caller that writes a file anew: the document becomes exactly these
  // tables, in this order, with their columns and no rows. Nothing is written before the commit; a rollback
  // reads the file again; rows a query selected before are no longer readable. Outside a transaction raises
  // EtiPerInternalException; not connected raises as Store() does.
  void ResetTables(const std::vector<const TtiDBMetaDataTable*>& tables);
  // For a reader of a store's file that offers the document (TtiXMLDocumentOffer): hand it to the read
  // (tiXMLReadCheckedFile), so that the rows are kept as the store keeps them and never built as elements.
  static std::unique_ptr<TtiXMLElementTaker> NewRowTaker();

  // A row attribute that is no declared column of its table: the table's name, the row's number in the table
  // (from 1), the attribute's name (with its prefix, if any) and the row's line in the file. Such a value is
  // invisible to queries, and a row written anew would drop it.
  struct TUndeclaredAttribute {
    std::string Table;
    int Row = 0;
    std::string Attribute;
    int Line = 0;
  };
  // The first such attribute in file order; false when every attribute of every row is declared.
  bool FindUndeclaredAttribute(TUndeclaredAttribute& found);

  // Calls `visit` for every row of the table (named ignoring case), in file order, with the texts of the named
  // attributes (lower case) as the file holds them (line breaks still escaped; empty when the row lacks one).
  // The texts stay valid as long as the document is not changed. No rows when there is no such table.
  void ScanRows(const std::string& table, const std::vector<std::string>& attributes,
                const std::function<void(const std::vector<std::string_view>& values)>& visit);
  // The document and its tables; raises EtiPerDBException when not connected.
  TtiXMLStore& Store();
  TtiXMLStore* StoreOrNull() const { return store_.get(); }

private:
  [[noreturn]] void CanNotConnect(const std::string& reason, int line, int column, const std::string& details);

  std::unique_ptr<TtiXMLStore> store_;
  bool inTransaction_ = false;
  // The store was made anew in memory (TtiXMLDocumentOffer for any file) and not committed since: a rollback
  // goes back to the empty store, never to what the file holds.
  bool anew_ = false;
};

class TtiQueryXML : public TtiQueryNonSQL {
public:
  TI_CLASS(TtiQueryXML)
  TtiQueryXML();
  ~TtiQueryXML() override;

  // The SQL text is kept but never run.
  std::vector<std::string> GetSQL() const override { return sql_; }
  void SetSQL(const std::vector<std::string>& sql) override { sql_ = sql; }
  bool GetActive() override { return active_; }
  // Going inactive releases the selected rows.
  void SetActive(bool value) override;
  bool Eof() override;

  // Fields of the current row by the column's name (the attribute of that name in lower case; a missing
  // attribute reads as the empty text, which is null). Conversions: strings with "&lf;"/"&cr;" turned back
  // into line breaks; integers as 64-bit decimals; floats with "." (or a "," in its place); dates as
  // "dd/mm/yyyy hh:mm:ss:zzz"; booleans true for "T", "TRUE", "Y", "YES", "1" in any case. An empty text reads
  // as 0, 0.0, the zero date and false. A text that does not convert raises EtiPerDataException naming the
  // field, the row, the table and the row's XML.
  std::string FieldAsString(const std::string& name) override;
  double FieldAsFloat(const std::string& name) override;
  bool FieldAsBoolean(const std::string& name) override;
  int64_t FieldAsInteger(const std::string& name) override;
  TDateTime FieldAsDateTime(const std::string& name) override;
  bool FieldIsNull(const std::string& name) override;
  // By the position of the column in the table's declared columns (whatever the order of the attributes in
  // the row).
  std::string FieldAsStringByIndex(int index) override;
  double FieldAsFloatByIndex(int index) override;
  bool FieldAsBooleanByIndex(int index) override;
  int64_t FieldAsIntegerByIndex(int index) override;
  TDateTime FieldAsDateTimeByIndex(int index) override;
  bool FieldIsNullByIndex(int index) override;

  void Open() override { SetActive(true); }
  void Close() override { SetActive(false); }
  // Nothing: there is no SQL to run.
  void ExecSQL() override {}
  // The rows of the table (rows in file order) that match every criterion; a missing table raises
  // EtiPerInternalException "Can not find table <name> in <database>".
  void SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  // A row with one attribute per declared column: the parameter of that name, or empty. A value an XML file
  // cannot carry (a control character, invalid UTF-8, NaN) is refused with EtiPerDataException naming table
  // and column, before anything changes.
  void InsertRow(const std::string& tableName, const TtiQueryParams* params) override;
  // Removes the matching rows; nothing when the table does not exist.
  void DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) override;
  // Sets the attributes named by the parameters in every matching row; nothing when the table does not exist.
  void UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                 const TtiQueryParams* whereParams) override;
  void Next() override;

  // The table's declared columns.
  int FieldCount() override;
  std::string FieldName(int index) override;
  // Position of the first declared column of that name (ignoring case); -1 when none.
  int FieldIndex(const std::string& name) override;
  TtiQueryFieldKind FieldKind(int index) override;
  int FieldSize(int index) override;
  bool HasNativeLogicalType() override { return true; }

  // The field's text decoded from MIME base64 (binary values are written that way).
  void AssignFieldAsStream(const std::string& name, std::ostream& stream) override;
  void AssignFieldAsStreamByIndex(int index, std::ostream& stream) override;

  void AttachDatabase(TtiDatabase* database) override;
  void Reset() override;

private:
  TtiDatabaseXML& Db() const;
  // Which field a read asks for, named in its error; the text is made only when there is an error.
  struct TFieldLabel {
    const std::string* Name;  // read by name, or
    int Index;                // by position
    std::string Text() const;
  };
  static TFieldLabel NameLabel(const std::string& name) { return {&name, -1}; }
  // The raw attribute text of the current row (escapes still in); raises when there is no current row.
  std::string RawField(const std::string& name, const TFieldLabel& label);
  std::string ColumnName(int index);
  static TFieldLabel IndexLabel(int index) { return {nullptr, index}; }
  template <class F>
  auto Read(const std::string& name, const TFieldLabel& label, F convert);
  [[noreturn]] void ReadError(const TFieldLabel& label, const std::string& message);

  std::vector<std::string> sql_;
  bool active_ = false;
  TtiDatabaseXML* db_ = nullptr;
  std::string tableName_;
  std::vector<TtiXMLRow*> rows_;
  uint64_t storeId_ = 0;  // the document the rows belong to
  size_t index_ = 0;
  std::string lowerName_;  // reused buffer
  // The attribute read last, and its row (where the next search starts).
  const TtiXMLRow* lastRow_ = nullptr;
  int lastSlot_ = -1;
};

// Pools of this layer hold at most one database per file (minimum 0, maximum 1).
class TtiDBConnectionPoolDataXML : public TtiDBConnectionPoolDataAbs {
public:
  TI_CLASS(TtiDBConnectionPoolDataXML)
  TtiDBConnectionPoolDataXML() = default;
  void InitDBConnectionPool() override;
};

// A document read (and checked) from a file elsewhere in the program, offered to the next connect of that file
// on this thread, which takes it instead of reading the file again: the file is read once for both. Only while
// the file is still the one read (same device, inode, size, modification and change time); otherwise the
// connect reads the file. The offer ends with the object, which frees a document not taken.
class TtiXMLDocumentOffer {
public:
  TtiXMLDocumentOffer(std::string fileName, TtiXMLParseResult&& read);
  // An empty store (the document CreateDatabase writes) made in memory for a file that is to be written anew:
  // taken by the next connect of that file whatever the file holds, also when there is none. Nothing of the
  // file is read; the first commit writes it.
  explicit TtiXMLDocumentOffer(std::string fileName);
  ~TtiXMLDocumentOffer();
  TtiXMLDocumentOffer(const TtiXMLDocumentOffer&) = delete;
  TtiXMLDocumentOffer& operator=(const TtiXMLDocumentOffer&) = delete;

  bool Taken() const { return !read_.Doc; }
  // The document, when this thread's offer holds one for that file and the file is unchanged; null otherwise.
  static TtiXMLParseResult TakeFor(const std::string& fileName);

private:
  std::string fileName_;
  TtiXMLParseResult read_;
  bool anyFile_ = false;
  TtiXMLDocumentOffer* outer_;
};

// Registers the layer "XML" with the persistence manager (a second call changes nothing).
void RegisterPersistenceLayerXML();
// Removes it again, unless the persistence manager is gone already.
void UnRegisterPersistenceLayerXML();

}  // namespace kelvado
