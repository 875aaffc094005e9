#pragma once
// XML-light documents: the text form of a set of in-memory tables (TtiDataBuffers), written in one fixed layout
// and read back by a scanner that looks for exactly that layout, without an XML parser. It is the file format
// of the "XMLLight" layer and the clipboard payload of the "CB" layer. The element names are those of the XML
// store, so a document is also well-formed XML:
//
//   <?xml version="1.0"?><xmldocdata><tiper version="2.0"/><tables>
//   <table table_name="items"><fields><field field_name="OID" field_kind="string" field_Size="36"/>...</fields>
//   <rows><row oid="..." name="..."/>...</rows></table>...</tables></xmldocdata>
//
// (on one line: nothing is written between the pieces). Table names and the row attributes of field-name
// style "string" are the lower-case table and column names; with style "integer" a row's attributes are named
// "A", "B", ... "Z", "BA" ... after the column's position. String values carry the escapes of the markup table
// ("&amp;" "&lt;" "&gt;" "&quot;" "&apos;" "&lf;" "&cr;").
//
// Reading never trusts the text. Every scan is bounded by the text's end; bytes the layout does not expect
// between its pieces are passed over. Refused with EtiPerDataException "Error parsing XML at position %d",
// followed by what is wrong and where (table, attribute): a text that ends before its tables do; an element
// whose attributes are not name="value" pairs; a table, column or row attribute given twice; a row attribute
// that names no column of its table (or, in style "integer", a position past its last column); a field kind or
// width that is not one; text an XML document cannot carry (invalid UTF-8, control characters); and a document
// that would make more cells than its size could describe (a few bytes of rows times many columns, which would
// otherwise exhaust memory), or tables that would take more memory than the process may still take
// (MemoryAllowance, platform/MemoryLimits.h: its limits, its control group's, the machine's; the refusal names
// the limit). Bytes after the end of the tables are ignored.
//
// Writing refuses (EtiPerDataException naming table and column, before anything is written) what could not be
// read back: a table or column name that cannot be an XML name, two columns of one name, a value with such
// text. Values of number, date and boolean columns are written in the document's own forms ("." floats with
// "INF" for infinity, "dd/mm/yyyy hh:mm:ss:zzz" dates, "T"/"F"); an empty cell stays empty, and a text that is
// no value of its kind is written as it is rather than replaced by a made-up one.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "framework/tiBaseObject.h"
#include "framework/tiQuery.h"
#include "framework/tiUtils.h"
#include "framework/tiXML.h"
#include "platform/MemoryLimits.h"

namespace kelvado {

// How a row names the column of an attribute.
enum TtiXMLFieldNameStyle : uint8_t { xfnsInteger = 0, xfnsString = 1 };
// "integer" or "string"; another value raises Exception "Invalid TtiXMLFieldNameStyle".
std::string tiXMLFieldNameStyleToStr(TtiXMLFieldNameStyle style);
// Compared ignoring case; any other text raises Exception "Invalid TtiXMLFieldNameStyle <%s>".
TtiXMLFieldNameStyle tiStrToXMLFieldNameStyle(const std::string& text);

// The largest document read from a file or taken from the clipboard (and the most a compressed one may
// expand to): 512 MiB.
inline constexpr int64_t tiXMLLightMaxDocumentSize = int64_t(512) << 20;
// The tables read from one document may take (estimated from above) what the process may still take when the
// read begins: a value costs about 90 bytes in a table but only 5 in a document, so the limit on the text alone
// would let a document of empty values (compressed, a few hundred kB) take gigabytes.

// Whether a table or column name can stand in a document and be found again: an XML name (no blank, quote,
// "=" or markup; compared in lower case) of at most 255 characters.
bool tiXMLLightNameFits(const std::string& name);

// Whether the text is an XML-light document of these tags: it begins with the document start and holds the
// document end (both compared ignoring case). `length` receives the length of the document, up to and with
// the first document end; bytes after it (a clipboard block padded to its allocation size) are not part of it.
bool tiIsXMLLightDocument(std::string_view text, const TtiXMLTags& tags, size_t* length = nullptr);

// Writes tables as a document, one call per table, column, row and cell (see the file comment).
class TtiDataBufferToXMLWriter : public TtiBaseObject {
public:
  TI_CLASS(TtiDataBufferToXMLWriter)
  TtiDataBufferToXMLWriter();
  ~TtiDataBufferToXMLWriter() override;

  TtiXMLFieldNameStyle GetXMLFieldNameStyle() const { return style_; }
  void SetXMLFieldNameStyle(TtiXMLFieldNameStyle v) { style_ = v; }
  TtiOptXMLDBSize GetOptXMLDBSize() const { return tags_.GetOptXMLDBSize(); }
  void SetOptXMLDBSize(TtiOptXMLDBSize v) { tags_.SetOptXMLDBSize(v); }

  // Starts a table (closing the one before); a name that cannot be an XML name is refused.
  void AddTable(const std::string& name);
  // A column of the current table; the column name is written as it is, the attribute name per style.
  void AddField(const std::string& name, TtiQueryFieldKind kind, int width);
  // Starts a row of the current table.
  void AddRow();
  // The value of the current row's cell of column `fieldIndex`, converted by the column's kind.
  void AddCell(int fieldIndex, const std::string& cellText);
  // Every table of the buffers, in list order.
  void AddDataBuffers(const TtiDataBuffers& buffers);
  // The document: start, what was written, the closing text of the current state, end.
  std::string AsString();

private:
  struct TColumn {
    std::string Name;
    std::string Attr;  // the row attribute name
    TtiQueryFieldKind Kind;
  };
  void CloseState();
  std::string CellText(const TColumn& column, const std::string& text) const;
  [[noreturn]] void Refuse(const std::string& column, const std::string& why) const;

  TtiXMLTags tags_;
  TtiXMLReservedCharsTranslator translator_;
  TtiPreSizedStream stream_;
  TtiXMLFieldNameStyle style_ = xfnsString;
  // 0 nothing written, 1 table and columns written, 2 rows open, 3 a row pending
  int state_ = 0;
  std::string table_;
  std::vector<TColumn> columns_;
  std::string row_;  // the pending row
  int attributes_ = 0;
};

// Reads a document into tables (see the file comment). The callbacks may be overridden to read into something
// else.
class TXMLToDataSetReader : public TtiBaseObject {
public:
  TI_CLASS(TXMLToDataSetReader)
  TXMLToDataSetReader();
  ~TXMLToDataSetReader() override;

  TtiXMLFieldNameStyle GetXMLFieldNameStyle() const { return style_; }
  void SetXMLFieldNameStyle(TtiXMLFieldNameStyle v) { style_ = v; }
  TtiOptXMLDBSize GetOptXMLDBSize() const { return tags_.GetOptXMLDBSize(); }
  void SetOptXMLDBSize(TtiOptXMLDBSize v) { tags_.SetOptXMLDBSize(v); }
  TtiDataBuffers* GetDataSets() const { return dataSets_; }
  void SetDataSets(TtiDataBuffers* v) { dataSets_ = v; }

  // Reads the text's tables into the buffers (appended to those already there). On a refusal the buffers hold
  // what was read before it.
  void Execute(std::string_view text);
  const TtiXMLTags& Tags() const { return tags_; }

protected:
  virtual void AddTable(const std::string& name);
  virtual void AddField(const std::string& name, const std::string& kindText, const std::string& sizeText);
  virtual void AddRow();
  virtual void AddCellValue(const std::string& name, const std::string& value);
  // One step of the scanner.
  virtual void ReadNextToken();

  // Refuses at the current position (1-based in the message).
  [[noreturn]] void Fail(const std::string& why) const;
  const std::string& CurrentTable() const { return tableName_; }

private:
  bool At(const std::string& token) const;
  void SkipBlanks();
  // The attributes of the element whose name ends at the current position, up to its ">" or "/>" (past which
  // the position then stands); returns whether it ended with "/>".
  bool ReadAttributes(std::vector<std::pair<std::string, std::string>>& attrs);
  // The same with each name and value handed to `each`; `where` starts every refusal.
  template <class F>
  bool ScanAttributes(const std::string& where, F&& each);
  void ReadRowAttributes();
  std::string RequiredAttr(const std::vector<std::pair<std::string, std::string>>& attrs, const std::string& name,
                           const char* element) const;
  void CountCells(size_t n);
  // Adds to the memory the tables read so far take; refuses beyond what the process could take at the start.
  void CountBytes(size_t n);

  TtiXMLTags tags_;
  TtiXMLReservedCharsTranslator translator_;
  TtiXMLFieldNameStyle style_ = xfnsString;
  TtiDataBuffers* dataSets_ = nullptr;
  std::string_view text_;
  size_t pos_ = 0;
  int state_ = 0;
  TtiDataBuffer* buffer_ = nullptr;
  TtiDataBufferRow* row_ = nullptr;
  std::string tableName_;
  std::unordered_map<std::string, int> columnIndex_;  // lower-case name -> column (style "string")
  std::vector<uint8_t> seen_;                          // attributes of the current row
  size_t cells_ = 0;
  size_t maxCells_ = 0;
  size_t bytes_ = 0;
  size_t maxBytes_ = 0;
  TMemoryBound bound_ = TMemoryBound::Machine;
};

// Reads and writes a set of tables as a document, with a field-name style, the tag size option and a
// compressor (by name, "No compression" by default).
class TtiXMLToDataSetReadWriter : public TtiBaseObject {
public:
  TI_CLASS(TtiXMLToDataSetReadWriter)
  TtiXMLToDataSetReadWriter() = default;

  TtiDataBuffers* GetDataSets() const { return dataSets_; }
  void SetDataSets(TtiDataBuffers* v) { dataSets_ = v; }
  TtiXMLFieldNameStyle GetXMLFieldNameStyle() const { return style_; }
  void SetXMLFieldNameStyle(TtiXMLFieldNameStyle v) { style_ = v; }
  TtiOptXMLDBSize GetOptXMLDBSize() const { return optXMLDBSize_; }
  void SetOptXMLDBSize(TtiOptXMLDBSize v) { optXMLDBSize_ = v; }
  const std::string& GetCompressName() const { return compressName_; }
  void SetCompressName(const std::string& v) { compressName_ = v; }

  // The document of every buffer, compressed when a compressor is named.
  std::string GetAsString() const;
  // Empties the buffers, then reads the document (decompressed first when a compressor is named and the text
  // is not a plain document).
  void SetAsString(const std::string& text);
  // Reads the file whole (never writing it) and reads it as above; a file that cannot be read, or is larger
  // than tiXMLLightMaxDocumentSize, raises Exception naming it. The file is opened for reading only whatever
  // `readOnly` says: the store writes by replacing the file, never through this handle.
  void LoadFromFile(const std::string& fileName, bool readOnly);
  // Writes the document atomically: a failed write leaves the old file byte for byte.
  void SaveToFile(const std::string& fileName) const;

private:
  TtiDataBuffers& Buffers() const;

  TtiDataBuffers* dataSets_ = nullptr;
  TtiXMLFieldNameStyle style_ = xfnsString;
  TtiOptXMLDBSize optXMLDBSize_ = optDBSizeOff;
  std::string compressName_ = "No compression";
};

}  // namespace kelvado
