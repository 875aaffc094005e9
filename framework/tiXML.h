#pragma once
// Building blocks shared by the XML stores: the names of every element and attribute of the framework's XML
// database documents with the fixed text fragments built from them (TtiXMLTags), the escaping of reserved
// characters (TtiXMLReservedCharsTranslator), the in-memory tables in which the text stores keep a file's
// tables while it is open (TtiDataBuffers and its buffers, rows and cells), and the value texts those stores
// read.
#include <array>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "framework/tiBaseObject.h"
#include "framework/tiQuery.h"
#include "framework/tiUtils.h"

namespace kelvado {

// ---------------------------------------------------------------------------------------------------------
// Tags

enum TtiOptXMLDBSize : uint8_t { optDBSizeOff, optDBSizeOn };

// "<" + name + ">" and "</" + name + ">".
std::string tiXMLStartTag(const std::string& name);
std::string tiXMLEndTag(const std::string& name);

// The names of a framework XML database document, in full (optDBSizeOff) or as one- or two-letter names
// (optDBSizeOn), and the fragments of document text built from them. Setting the option rebuilds everything.
class TtiXMLTags : public TtiBaseObject {
public:
  TI_CLASS(TtiXMLTags)
  TtiXMLTags();

  TtiOptXMLDBSize GetOptXMLDBSize() const { return optXMLDBSize_; }
  // A value other than the two raises Exception "Invalid OptXMLDBSize value".
  void SetOptXMLDBSize(TtiOptXMLDBSize value);
  // "optDBSizeOff" or "optDBSizeOn".
  std::string GetOptXMLDBSizeAsString() const;
  // Compared ignoring case; any other text raises Exception "Invalid OptXMLDBSize value <%s>".
  void SetOptXMLDBSizeAsString(const std::string& text);

  // The declaration <?xml version="1.0"?> and the word "xmlversion".
  const std::string& XMLVersion() const { return xmlVersion_; }
  const std::string& XMLVersionWord() const { return xmlVersionWord_; }

  const std::string& DocData() const { return n_[0]; }
  const std::string& Tables() const { return n_[1]; }
  const std::string& Table() const { return n_[2]; }
  const std::string& TableName() const { return n_[3]; }
  const std::string& Fields() const { return n_[4]; }
  const std::string& Field() const { return n_[5]; }
  const std::string& FieldName() const { return n_[6]; }
  const std::string& FieldKind() const { return n_[7]; }
  // "field_Size", with a capital S.
  const std::string& FieldSize() const { return n_[8]; }
  const std::string& Rows() const { return n_[9]; }
  const std::string& Row() const { return n_[10]; }
  const std::string& Value() const { return n_[11]; }
  const std::string& Query() const { return n_[12]; }
  const std::string& QuerySQL() const { return n_[13]; }
  const std::string& TransactionID() const { return n_[14]; }
  const std::string& CommandType() const { return n_[15]; }
  const std::string& ComputerName() const { return n_[16]; }
  const std::string& UserName() const { return n_[17]; }
  const std::string& QueryParam() const { return n_[18]; }
  // "table_name" in full like TableName, but "t" (not "d") size-optimised.
  const std::string& QueryTableName() const { return n_[19]; }
  const std::string& ParamName() const { return n_[20]; }
  const std::string& ParamKind() const { return n_[21]; }
  const std::string& ParamValue() const { return n_[22]; }
  const std::string& ResultMessage() const { return n_[23]; }
  const std::string& ErrorMessage() const { return n_[24]; }
  const std::string& RowCount() const { return n_[25]; }
  const std::string& TableMetaData() const { return n_[26]; }
  const std::string& MDTableName() const { return n_[27]; }
  const std::string& MDFieldName() const { return n_[28]; }
  const std::string& MDFieldKind() const { return n_[29]; }
  const std::string& MDFieldWidth() const { return n_[30]; }
  const std::string& ResultSet() const { return n_[31]; }
  // "tiper" and its attribute "version" (the same in both forms).
  static constexpr const char* cTiPer = "tiper";
  static constexpr const char* cTiPerVersionAttr = "version";
  static constexpr const char* cTiPerVersion = "2.0";

  // Prepared fragments.
  const std::string& StartTables() const { return startTables_; }
  const std::string& EndTables() const { return endTables_; }
  const std::string& StartTable() const { return startTable_; }  // "<table "
  const std::string& EndTable() const { return endTable_; }
  const std::string& StartFields() const { return startFields_; }
  const std::string& EndFields() const { return endFields_; }
  const std::string& StartField() const { return startField_; }  // "<field "
  const std::string& EndField() const { return endField_; }      // "/>"
  const std::string& StartRows() const { return startRows_; }
  const std::string& EndRows() const { return endRows_; }
  const std::string& EmptyRows() const { return emptyRows_; }  // "<rows/>"
  const std::string& StartRow() const { return startRow_; }    // "<row "
  const std::string& EndRow() const { return endRow_; }        // "/>"
  const std::string& TiPerElement() const { return tiperElement_; }  // <tiper version="2.0"/>
  // Declaration, root start tag, tiper element, tables start tag; and the two end tags.
  const std::string& DocumentStart() const { return documentStart_; }
  const std::string& DocumentEnd() const { return documentEnd_; }
  // The two connection-test documents (status "passed" and "failed").
  const std::string& ProxyTestPassed() const { return proxyTestPassed_; }
  const std::string& ProxyTestFailed() const { return proxyTestFailed_; }

private:
  void Build();

  TtiOptXMLDBSize optXMLDBSize_ = optDBSizeOff;
  std::string xmlVersion_;
  std::string xmlVersionWord_;
  std::array<std::string, 32> n_;
  std::string startTables_, endTables_, startTable_, endTable_, startFields_, endFields_, startField_, endField_,
      startRows_, endRows_, emptyRows_, startRow_, endRow_, tiperElement_, documentStart_, documentEnd_,
      proxyTestPassed_, proxyTestFailed_;
};

// The shared tag object, in full names; it never switches (stores that want the short names make their own).
const TtiXMLTags& tiXMLTags();

// ---------------------------------------------------------------------------------------------------------
// Reserved characters

// Which characters are escaped:
//  1: & < > " ' LF CR   as &amp; &lt; &gt; &quot; &apos; &lf; &cr;
//  2: LF CR             as &lf; &cr;
//  3: LF CR ,           as &lf; &cr; &com;
//  4: LF CR TAB         as &lf; &cr; &tab;
// (&lf; &cr; &com; &tab; are this system's own escapes, not XML entities.)
enum TtiXMLCharKind : int {
  xckMarkup = 1,
  xckLineBreaks = 2,
  xckLineBreaksAndComma = 3,
  xckLineBreaksAndTab = 4
};

class TtiXMLReservedCharsTranslator {
public:
  TtiXMLReservedCharsTranslator();
  // Every character of the kind's table replaced by its escape; a kind outside 1..4 raises Exception
  // "Invalid ACharKind".
  std::string InsertReservedChars(TtiXMLCharKind kind, std::string_view text) const;
  // For each escape of the kind's table, from the last to the first, every occurrence replaced by its
  // character (so for kind 1 "&amp;" is restored last: "&amp;lt;" gives "&lt;").
  std::string RemoveReservedChars(TtiXMLCharKind kind, std::string_view text) const;

private:
  struct Entry {
    char Char;
    const char* Escape;
  };
  const std::vector<Entry>& Table(TtiXMLCharKind kind) const;
  std::array<std::vector<Entry>, 4> tables_;
  // Per kind, per byte: the escape, or null.
  std::array<std::array<const char*, 256>, 4> lookup_{};
  std::array<size_t, 4> longest_{};
};

// ---------------------------------------------------------------------------------------------------------
// Value texts of the XML stores

// A float text: "." as decimal separator always; a text that is a plain number with a "," in place of the
// point (as files written under a German locale hold, "12,5") is read too. Anything else raises EConvertError
// naming the text.
double tiXMLStrToFloat(std::string_view text);

// The date text of data-buffer cells: empty gives 0. Day first ("dd/mm/yyyy ...") when the third character is
// "/" or the text is shorter than 4 characters, else year first ("yyyy-mm-dd ..."); then hours at 12-13 (must
// be a number), minutes 15-16, seconds 18-19, milliseconds 21-23 (0 where not a number). Unreadable text
// raises Exception "Data conversion error. Can not convert <%s> to a TDateTime".
TDateTime tiXMLCellTextToDateTime(const std::string& text);

// ---------------------------------------------------------------------------------------------------------
// Data buffers

class TtiDataBuffer;
class TtiDataBufferRow;

// One value, held as text.
class TtiDataBufferCell : public TtiBaseObject {
public:
  TI_CLASS(TtiDataBufferCell)
  explicit TtiDataBufferCell(TtiDataBufferRow* owner = nullptr) : owner_(owner) {}

  TtiDataBufferRow* Owner() const { return owner_; }
  const std::string& GetValueAsString() const { return value_; }
  void SetValueAsString(const std::string& v) { value_ = v; }
  // 0 when the text is no integer.
  int64_t ValueAsInteger() const;
  // 0.0 when the text is no number (see tiXMLStrToFloat).
  double ValueAsFloat() const;
  // True for "TRUE", "T", "YES", "Y" or "1" in any case.
  bool ValueAsBoolean() const;
  // tiXMLCellTextToDateTime.
  TDateTime ValueAsDateTime() const;
  // The text decoded from MIME base64 replaces the stream's content.
  void ValueAsStream(std::stringstream& stream) const;
  // Position in the row.
  int Index() const;
  // The column at the cell's position; when the row's cell count differs from the column count it raises
  // Exception "tiPer Internal Error: tiDataSet metadata and data are out of sync".
  TtiDBMetaDataField& FieldMetaData() const;

private:
  TtiDataBufferRow* owner_;
  std::string value_;
};

class TtiDataBufferRow : public TtiBaseObject {
public:
  TI_CLASS(TtiDataBufferRow)
  explicit TtiDataBufferRow(TtiDataBuffer* owner = nullptr) : owner_(owner) {}
  ~TtiDataBufferRow() override;

  TtiDataBuffer* Owner() const { return owner_; }
  // A new empty cell. When the buffer declares columns and the row holds as many cells already, raises
  // EtiPerProgrammerException "Mismatch between data and metadata".
  TtiDataBufferCell& AddInstance();
  int Count() const { return static_cast<int>(cells_.size()); }
  // Index checked (EtiPerProgrammerException "List index out of bounds (%d)").
  TtiDataBufferCell& Items(int index) const;
  // The cell at the position of the column of that name (ignoring case, at most 255 characters compared);
  // null when there is no such column or the row has no cell there.
  TtiDataBufferCell* FindByFieldName(const std::string& name) const;
  // Position in the buffer.
  int Index() const;
  int IndexOf(const TtiDataBufferCell* cell) const;

private:
  TtiDataBuffer* owner_;
  std::vector<std::unique_ptr<TtiDataBufferCell>> cells_;
};

// One table: its name, its columns and its rows.
class TtiDataBuffer : public TtiBaseObject {
public:
  TI_CLASS(TtiDataBuffer)
  TtiDataBuffer();
  ~TtiDataBuffer() override;

  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  TtiDBMetaDataTable& Fields() const { return *fields_; }
  // A new row with one empty cell per column.
  TtiDataBufferRow& AddInstance();
  int Count() const { return static_cast<int>(rows_.size()); }
  TtiDataBufferRow& Items(int index) const;
  int IndexOf(const TtiDataBufferRow* row) const;
  // Frees the row; nothing when it is not one of this buffer's.
  void Remove(TtiDataBufferRow* row);
  // Takes the rows out of the buffer without freeing them (the others keep their order) and hands them back;
  // rows that are not this buffer's are left alone.
  std::vector<std::unique_ptr<TtiDataBufferRow>> ExtractRows(const std::vector<TtiDataBufferRow*>& rows);

private:
  std::string name_;
  std::unique_ptr<TtiDBMetaDataTable> fields_;
  std::vector<std::unique_ptr<TtiDataBufferRow>> rows_;
};

class TtiDataBuffers : public TtiBaseObject {
public:
  TI_CLASS(TtiDataBuffers)
  TtiDataBuffers() = default;
  ~TtiDataBuffers() override;

  // A new buffer of that name, appended.
  TtiDataBuffer& AddInstance(const std::string& name);
  int Count() const { return static_cast<int>(buffers_.size()); }
  TtiDataBuffer& Items(int index) const;
  // The first buffer whose name equals ignoring case; null when none.
  TtiDataBuffer* FindByName(const std::string& name) const;
  // Frees the buffer; nothing when it is not one of these.
  void Remove(TtiDataBuffer* buffer);
  void Clear() { buffers_.clear(); }

private:
  std::vector<std::unique_ptr<TtiDataBuffer>> buffers_;
};

}  // namespace kelvado
