#include "framework/tiXMLLight.h"

#include <cmath>

#include "framework/tiCompress.h"
#include "framework/tiExcept.h"
#include "framework/tiLibXml.h"
#include "framework/tiValue.h"
#include "platform/TextCase.h"

namespace kelvado {

const TtiClass& TtiDataBufferToXMLWriter::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDataBufferToXMLWriter, TtiBaseObject>(), "TtiDataBufferToXMLWriter");
  return c;
}
const TtiClass& TXMLToDataSetReader::StaticClass() {
  static const TtiClass c(TtiClass::Of<TXMLToDataSetReader, TtiBaseObject>(), "TXMLToDataSetReader");
  return c;
}
const TtiClass& TtiXMLToDataSetReadWriter::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiXMLToDataSetReadWriter, TtiBaseObject>(), "TtiXMLToDataSetReadWriter");
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// Field-name style

std::string tiXMLFieldNameStyleToStr(TtiXMLFieldNameStyle style) {
  switch (style) {
    case xfnsInteger:
      return "integer";
    case xfnsString:
      return "string";
  }
  throw Exception("Invalid TtiXMLFieldNameStyle");
}

TtiXMLFieldNameStyle tiStrToXMLFieldNameStyle(const std::string& text) {
  if (SameTextAscii(text, "integer")) return xfnsInteger;
  if (SameTextAscii(text, "string")) return xfnsString;
  throw Exception("Invalid TtiXMLFieldNameStyle <%s>", {text});
}

// ---------------------------------------------------------------------------------------------------------
// Recognising a document

namespace {

bool SameAt(std::string_view text, size_t pos, std::string_view token) {
  return pos <= text.size() && text.size() - pos >= token.size() && SameTextAscii(text.substr(pos, token.size()), token);
}

}  // namespace

bool tiIsXMLLightDocument(std::string_view text, const TtiXMLTags& tags, size_t* length) {
  if (!SameAt(text, 0, tags.DocumentStart())) return false;
  const std::string& end = tags.DocumentEnd();
  for (size_t i = text.find('<', tags.DocumentStart().size()); i != std::string_view::npos; i = text.find('<', i + 1))
    if (SameAt(text, i, end)) {
      if (length) *length = i + end.size();
      return true;
    }
  return false;
}

// ---------------------------------------------------------------------------------------------------------
// Writer

bool tiXMLLightNameFits(const std::string& name) {
  return !name.empty() && name.size() <= 255 && tiXMLIsValidName(LowerAscii(name));
}

namespace {

bool IsOneOf(const std::string& upper, std::initializer_list<const char*> texts) {
  for (const char* t : texts)
    if (upper == t) return true;
  return false;
}

}  // namespace

TtiDataBufferToXMLWriter::TtiDataBufferToXMLWriter() : stream_(2000000, 500000) {}
TtiDataBufferToXMLWriter::~TtiDataBufferToXMLWriter() = default;

void TtiDataBufferToXMLWriter::Refuse(const std::string& column, const std::string& why) const {
  throw EtiPerDataException("Can not write column <%s> of table <%s>: %s", {column, table_, why});
}

void TtiDataBufferToXMLWriter::CloseState() {
  switch (state_) {
    case 0:
      break;
    case 1:
      stream_.Write(tags_.EndFields());
      stream_.Write(tags_.StartRows());
      stream_.Write(tags_.EndRows());
      stream_.Write(tags_.EndTable());
      break;
    case 2:
      stream_.Write(tags_.EndRows());
      stream_.Write(tags_.EndTable());
      break;
    case 3:
      stream_.Write(row_);
      stream_.Write(tags_.EndRow());
      stream_.Write(tags_.EndRows());
      stream_.Write(tags_.EndTable());
      break;
    default:
      throw EtiPerInternalException("Invalid writer state %d", {state_});
  }
  state_ = 0;
}

void TtiDataBufferToXMLWriter::AddTable(const std::string& name) {
  const std::string lower = LowerAscii(name);
  if (!tiXMLLightNameFits(lower)) throw EtiPerDataException("Can not write table <%s>: its name is no XML name", {name});
  CloseState();
  table_ = name;
  columns_.clear();
  stream_.Write(tags_.StartTable());
  stream_.Write(tags_.TableName());
  stream_.Write("=\"");
  stream_.Write(lower);
  stream_.Write("\">");
  stream_.Write(tags_.StartFields());
  state_ = 1;
}

void TtiDataBufferToXMLWriter::AddField(const std::string& name, TtiQueryFieldKind kind, int width) {
  if (state_ != 1) throw EtiPerProgrammerException("A column of table <%s> written after its rows", {table_});
  TColumn col{name, {}, kind};
  if (style_ == xfnsString) {
    col.Attr = LowerAscii(name);
    if (!tiXMLLightNameFits(col.Attr)) Refuse(name, "its name is no XML name");
  } else if (style_ == xfnsInteger) {
    if (columns_.size() > 0xFFFF) Refuse(name, "a table can have at most 65536 columns");
    col.Attr = tiEncodeNum(static_cast<uint16_t>(columns_.size()));
  } else {
    throw Exception("Invalid TtiXMLFieldNameStyle");
  }
  if (!tiXMLLightNameFits(LowerAscii(name))) Refuse(name, "its name is no XML name");
  for (const TColumn& c : columns_)
    if (c.Attr == col.Attr) Refuse(name, "two columns of that name");
  stream_.Write(tags_.StartField());
  stream_.Write(tags_.FieldName());
  stream_.Write("=\"");
  stream_.Write(name);
  stream_.Write("\" ");
  stream_.Write(tags_.FieldKind());
  stream_.Write("=\"");
  stream_.Write(LowerAscii(QueryFieldKindToString(kind)));
  stream_.Write("\" ");
  stream_.Write(tags_.FieldSize());
  stream_.Write("=\"");
  stream_.Write(std::to_string(width));
  stream_.Write("\"");
  stream_.Write(tags_.EndField());
  columns_.push_back(std::move(col));
}

void TtiDataBufferToXMLWriter::AddRow() {
  if (state_ == 1) {
    stream_.Write(tags_.EndFields());
    stream_.Write(tags_.StartRows());
  } else if (state_ == 3) {
    stream_.Write(row_);
    stream_.Write(tags_.EndRow());
  } else if (state_ != 2) {
    throw EtiPerProgrammerException("A row written outside a table");
  }
  row_.assign(tags_.StartRow());
  state_ = 3;
  attributes_ = 0;
}

std::string TtiDataBufferToXMLWriter::CellText(const TColumn& column, const std::string& text) const {
  const size_t bad = tiXMLInvalidCharPos(text);
  if (bad != std::string_view::npos) Refuse(column.Name, tiXMLDescribeCharAt(text, bad) + " can not stand in a document");
  const auto verbatim = [&]() -> std::string {
    // Not a value of its kind (a hand-edited file, a value a newer release wrote): kept as it is, so that
    // nothing is lost, unless it would end its attribute early.
    if (text.find('"') != std::string::npos)
      Refuse(column.Name, "<" + text + "> is no " + QueryFieldKindToString(column.Kind) + " value");
    return text;
  };
  switch (column.Kind) {
    case qfkString:
    case qfkLongString:
      return translator_.InsertReservedChars(xckMarkup, text);
    case qfkInteger:
      if (text.empty()) return text;
      try {
        return std::to_string(Value::TextToInteger(text));
      } catch (const EConvertError&) {
        return verbatim();
      }
    case qfkFloat:
      if (text.empty()) return text;
      try {
        return Value::FloatToText(tiXMLStrToFloat(text));
      } catch (const EConvertError&) {
        return verbatim();
      }
    case qfkDateTime:
      if (text.empty()) return text;
      try {
        return tiDateTimeAsXMLString(tiXMLCellTextToDateTime(text));
      } catch (const Exception&) {
        return verbatim();
      }
    case qfkLogical: {
      if (text.empty()) return text;
      std::string upper = text;
      for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      if (IsOneOf(upper, {"TRUE", "T", "YES", "Y", "1"})) return "T";
      if (IsOneOf(upper, {"FALSE", "F", "NO", "N", "0"})) return "F";
      return verbatim();
    }
    case qfkBinary:
      return MimeEncodeString(MimeDecodeString(text));
    case qfkMacro:
      break;
  }
  throw EtiPerProgrammerException("Invalid TtiQueryFieldKind");
}

void TtiDataBufferToXMLWriter::AddCell(int fieldIndex, const std::string& cellText) {
  if (state_ != 3) throw EtiPerProgrammerException("A value written outside a row");
  if (fieldIndex < 0 || static_cast<size_t>(fieldIndex) >= columns_.size())
    throw EtiPerProgrammerException("A row of table <%s> holds more values than the table has columns", {table_});
  const TColumn& column = columns_[static_cast<size_t>(fieldIndex)];
  if (attributes_ > 0) row_ += ' ';
  row_ += column.Attr;
  row_ += "=\"";
  row_ += CellText(column, cellText);
  row_ += '"';
  ++attributes_;
}

void TtiDataBufferToXMLWriter::AddDataBuffers(const TtiDataBuffers& buffers) {
  for (int b = 0; b < buffers.Count(); ++b) {
    const TtiDataBuffer& buffer = buffers.Items(b);
    AddTable(buffer.GetName());
    const TtiDBMetaDataTable& fields = buffer.Fields();
    for (int f = 0; f < fields.Count(); ++f)
      AddField(fields.Items(f)->GetName(), fields.Items(f)->GetKind(), fields.Items(f)->GetWidth());
    for (int r = 0; r < buffer.Count(); ++r) {
      const TtiDataBufferRow& row = buffer.Items(r);
      AddRow();
      for (int c = 0; c < row.Count(); ++c) AddCell(c, row.Items(c).GetValueAsString());
    }
  }
}

std::string TtiDataBufferToXMLWriter::AsString() {
  CloseState();
  std::string doc;
  doc.reserve(tags_.DocumentStart().size() + static_cast<size_t>(stream_.Size()) + tags_.DocumentEnd().size());
  doc += tags_.DocumentStart();
  doc += stream_.AsString();
  doc += tags_.DocumentEnd();
  return doc;
}

// ---------------------------------------------------------------------------------------------------------
// Reader

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Characters that end an attribute name (besides blanks).
bool EndsName(char c) { return c == '=' || c == '>' || c == '/' || c == '"' || c == '<' || c == '\''; }

}  // namespace

TXMLToDataSetReader::TXMLToDataSetReader() = default;
TXMLToDataSetReader::~TXMLToDataSetReader() = default;

void TXMLToDataSetReader::Fail(const std::string& why) const {
  const int64_t pos = static_cast<int64_t>(pos_) + 1;
  if (why.empty()) throw EtiPerDataException("Error parsing XML at position %d", {pos});
  throw EtiPerDataException("Error parsing XML at position %d: %s", {pos, why});
}

bool TXMLToDataSetReader::At(const std::string& token) const {
  if (text_.size() - pos_ < token.size()) return false;
  // An element opening ("<row ") takes any blank after its name: a line break in a file edited by hand.
  if (token.back() == ' ')
    return text_.compare(pos_, token.size() - 1, token, 0, token.size() - 1) == 0 &&
           IsBlank(text_[pos_ + token.size() - 1]);
  return text_.compare(pos_, token.size(), token) == 0;
}

void TXMLToDataSetReader::SkipBlanks() {
  while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
}

void TXMLToDataSetReader::CountCells(size_t n) {
  cells_ += n;
  if (cells_ > maxCells_)
    Fail("table <" + tableName_ + ">: the document would make more values than its size can describe");
}

namespace {
// What one row and one value of it take in a table, from above: the object, its slot in a vector that grows
// by doubling, and the allocator's overhead. A text beyond the short-string buffer takes its own block.
constexpr size_t kRowBytes = 128;
constexpr size_t kCellBytes = 96;
constexpr size_t kShortText = 15;
constexpr size_t kTextOverhead = 32;
}  // namespace

void TXMLToDataSetReader::CountBytes(size_t n) {
  bytes_ += n;
  if (bytes_ > maxBytes_)
    Fail(tiFormat("table <%s>: the tables read would take more than the %.1f MiB of memory that %s leaves",
                  {tableName_, static_cast<double>(maxBytes_) / (1 << 20), std::string(MemoryBoundText(bound_))}));
}

template <class F>
bool TXMLToDataSetReader::ScanAttributes(const std::string& where, F&& each) {
  const std::string_view text = text_;
  for (;;) {
    SkipBlanks();
    if (pos_ >= text.size()) Fail(where + "an element is not closed");
    if (text[pos_] == '/' && pos_ + 1 < text.size() && text[pos_ + 1] == '>') {
      pos_ += 2;
      return true;
    }
    if (text[pos_] == '>') {
      ++pos_;
      return false;
    }
    const size_t start = pos_;
    while (pos_ < text.size() && !IsBlank(text[pos_]) && !EndsName(text[pos_])) ++pos_;
    if (pos_ == start) Fail(where + "unexpected character <" + std::string(1, text[pos_]) + "> in an element");
    const std::string_view name = text.substr(start, pos_ - start);
    SkipBlanks();
    if (pos_ >= text.size() || text[pos_] != '=') Fail(where + "attribute <" + std::string(name) + "> has no value");
    ++pos_;
    SkipBlanks();
    if (pos_ >= text.size() || text[pos_] != '"')
      Fail(where + "the value of attribute <" + std::string(name) + "> does not start with a double quote");
    const size_t close = text.find('"', pos_ + 1);
    if (close == std::string_view::npos) Fail(where + "the value of attribute <" + std::string(name) + "> is not closed");
    const std::string_view value = text.substr(pos_ + 1, close - pos_ - 1);
    pos_ = close + 1;
    each(name, value);
  }
}

bool TXMLToDataSetReader::ReadAttributes(std::vector<std::pair<std::string, std::string>>& attrs) {
  attrs.clear();
  return ScanAttributes(tableName_.empty() ? std::string() : "table <" + tableName_ + ">: ",
                        [&](std::string_view name, std::string_view value) {
                          for (const auto& a : attrs)
                            if (a.first == name) Fail("attribute <" + std::string(name) + "> is given twice");
                          attrs.emplace_back(std::string(name), std::string(value));
                        });
}

std::string TXMLToDataSetReader::RequiredAttr(const std::vector<std::pair<std::string, std::string>>& attrs,
                                              const std::string& name, const char* element) const {
  for (const auto& a : attrs)
    if (a.first == name) return a.second;
  if (tableName_.empty() || std::string(element) == "table")
    Fail(std::string("a ") + element + " element without attribute <" + name + ">");
  Fail("table <" + tableName_ + ">: a " + element + " element without attribute <" + name + ">");
}

void TXMLToDataSetReader::ReadRowAttributes() {
  ScanAttributes("table <" + tableName_ + ">: ", [&](std::string_view name, std::string_view value) {
    AddCellValue(std::string(name), std::string(value));
  });
}

void TXMLToDataSetReader::Execute(std::string_view text) {
  if (!dataSets_) throw EtiPerProgrammerException("TXMLToDataSetReader has no data buffers to read into");
  text_ = text;
  pos_ = 0;
  state_ = 0;
  buffer_ = nullptr;
  row_ = nullptr;
  tableName_.clear();
  cells_ = 0;
  bytes_ = 0;
  // Taken once: what the tables may take is what the process could take when they began (the text is held).
  const TMemoryAllowance room = MemoryAllowance();
  maxBytes_ = static_cast<size_t>(room.Bytes);
  bound_ = room.Bound;
  // A row written by the writer spends at least five bytes on each value it holds.
  maxCells_ = text.size() / 4 + 65536;
  while (state_ != 7) ReadNextToken();
  // What an XML document cannot carry (bytes after the tables' end are no part of it).
  const size_t bad = tiXMLInvalidCharPos(text.substr(0, pos_));
  if (bad != std::string_view::npos) {
    pos_ = bad;
    const auto byte = static_cast<unsigned char>(text[bad]);
    Fail(tiFormat(byte < 0x80 ? "the control character 0x%02X can not stand in a document"
                              : "the bytes from 0x%02X on are no text a document can carry",
                  {static_cast<int>(byte)}));
  }
}

void TXMLToDataSetReader::ReadNextToken() {
  if (pos_ >= text_.size()) Fail({});
  std::vector<std::pair<std::string, std::string>> attrs;
  const auto take = [&](const std::string& token) {
    if (!At(token)) return false;
    pos_ += token.size();
    return true;
  };
  switch (state_) {
    case 0:
      if (take(tags_.StartTables())) state_ = 1;
      else ++pos_;
      break;
    case 1:
      if (take(tags_.StartTable())) state_ = 2;
      else if (take(tags_.EndTable())) state_ = 1;
      else if (take(tags_.EndTables())) state_ = 7;
      else ++pos_;
      break;
    case 2:
      if (ReadAttributes(attrs)) {
        tableName_ = RequiredAttr(attrs, tags_.TableName(), "table");
        Fail("table <" + tableName_ + "> has no columns");
      }
      AddTable(RequiredAttr(attrs, tags_.TableName(), "table"));
      state_ = 3;
      break;
    case 3:
    case 4:
      if (take(tags_.StartField())) {
        state_ = 4;
        ReadAttributes(attrs);
        AddField(RequiredAttr(attrs, tags_.FieldName(), "field"), RequiredAttr(attrs, tags_.FieldKind(), "field"),
                 RequiredAttr(attrs, tags_.FieldSize(), "field"));
        state_ = 3;
      } else if (take(tags_.EndFields())) {
        state_ = 5;
      } else if (At(tags_.StartTable()) || At(tags_.EndTable()) || At(tags_.EndTables())) {
        Fail("table <" + tableName_ + ">: its columns are not closed");
      } else {
        ++pos_;
      }
      break;
    case 5:
    case 6:
      if (take(tags_.EmptyRows())) {
        state_ = 1;
      } else if (take(tags_.StartRow())) {
        state_ = 6;
        AddRow();
        ReadRowAttributes();
        state_ = 5;
      } else if (take(tags_.EndRows()) || take(tags_.EndTable())) {
        state_ = 1;
      } else if (At(tags_.StartTable()) || At(tags_.EndTables())) {
        Fail("table <" + tableName_ + ">: its rows are not closed");
      } else {
        ++pos_;
      }
      break;
    default:
      throw Exception("Invalid TtiXMLDBParserState");
  }
}

void TXMLToDataSetReader::AddTable(const std::string& name) {
  // Only what could be written again: a document read is a document that can be saved.
  if (!tiXMLLightNameFits(name)) Fail("table <" + name + ">: its name is no XML name");
  if (dataSets_->FindByName(name)) Fail("table <" + name + "> is given twice");
  tableName_ = name;
  buffer_ = &dataSets_->AddInstance(name);
  columnIndex_.clear();
}

void TXMLToDataSetReader::AddField(const std::string& name, const std::string& kindText, const std::string& sizeText) {
  const std::string where = "table <" + tableName_ + ">, column <" + name + ">: ";
  if (!tiXMLLightNameFits(name)) Fail(where + "its name is no XML name of at most 255 characters");
  TtiQueryFieldKind kind = qfkString;
  int64_t width = 0;
  try {
    kind = StrToQueryFieldKind(kindText);
    width = Value::TextToInteger(sizeText);
  } catch (const Exception& e) {
    Fail(where + e.Message());
  }
  if (width < 0 || width > INT32_MAX) Fail(where + "the width <" + sizeText + "> is out of range");
  if (kind == qfkMacro) Fail(where + "a column of kind macro holds no values");
  const std::string key = LowerAscii(name);
  if (columnIndex_.count(key)) Fail(where + "the column is given twice");
  CountCells(1);
  buffer_->Fields().AddField(name, kind, static_cast<int>(width));
  columnIndex_.emplace(key, buffer_->Fields().Count() - 1);
}

void TXMLToDataSetReader::AddRow() {
  const size_t columns = static_cast<size_t>(buffer_->Fields().Count());
  CountCells(columns + 1);
  CountBytes(kRowBytes + columns * kCellBytes);
  row_ = &buffer_->AddInstance();
  seen_.assign(columns, 0);
}

void TXMLToDataSetReader::AddCellValue(const std::string& name, const std::string& value) {
  const int columns = buffer_->Fields().Count();
  int index = -1;
  if (style_ == xfnsString) {
    const auto it = columnIndex_.find(LowerAscii(name));
    if (it == columnIndex_.end()) Fail("table <" + tableName_ + ">: the row attribute <" + name + "> names no column");
    index = it->second;
  } else if (style_ == xfnsInteger) {
    try {
      index = tiDecodeNum(name);
    } catch (const EConvertError& e) {
      Fail("table <" + tableName_ + ">, row attribute <" + name + ">: " + e.Message());
    }
    if (index >= columns)
      Fail(tiFormat("table <%s>: the row attribute <%s> stands for column %d, past the last (%d)",
                    {tableName_, name, index + 1, columns}));
  } else {
    throw Exception("Invalid TtiXMLFieldNameStyle");
  }
  const size_t i = static_cast<size_t>(index);
  if (seen_[i]) Fail("table <" + tableName_ + ">: a row gives the attribute <" + name + "> twice");
  seen_[i] = 1;
  const TtiQueryFieldKind kind = buffer_->Fields().Items(index)->GetKind();
  TtiDataBufferCell& cell = row_->Items(index);
  if (value.size() > kShortText) CountBytes(value.size() + kTextOverhead);
  if (kind == qfkString || kind == qfkLongString)
    cell.SetValueAsString(translator_.RemoveReservedChars(xckMarkup, value));
  else
    cell.SetValueAsString(value);
}

// ---------------------------------------------------------------------------------------------------------
// Read-writer

TtiDataBuffers& TtiXMLToDataSetReadWriter::Buffers() const {
  if (!dataSets_) throw EtiPerProgrammerException("TtiXMLToDataSetReadWriter has no data buffers");
  return *dataSets_;
}

std::string TtiXMLToDataSetReadWriter::GetAsString() const {
  TtiDataBufferToXMLWriter writer;
  writer.SetXMLFieldNameStyle(style_);
  writer.SetOptXMLDBSize(optXMLDBSize_);
  writer.AddDataBuffers(Buffers());
  return tiCompressString(writer.AsString(), compressName_);
}

void TtiXMLToDataSetReadWriter::SetAsString(const std::string& text) {
  TtiDataBuffers& buffers = Buffers();
  buffers.Clear();
  TXMLToDataSetReader reader;
  reader.SetXMLFieldNameStyle(style_);
  reader.SetOptXMLDBSize(optXMLDBSize_);
  reader.SetDataSets(&buffers);
  // A plain document is read as it is also where a compressor is named (a store made empty by
  // CreateDatabase, which knows no compressor); compressed data never starts like one.
  if (SameTextAscii(compressName_, cgsCompressNone) || compressName_.empty() ||
      SameAt(text, 0, reader.Tags().DocumentStart())) {
    reader.Execute(text);
  } else {
    reader.Execute(tiDecompressString(text, compressName_));
  }
}

void TtiXMLToDataSetReadWriter::LoadFromFile(const std::string& fileName, bool readOnly) {
  (void)readOnly;
  SetAsString(tiFileToString(fileName, tiXMLLightMaxDocumentSize));
}

void TtiXMLToDataSetReadWriter::SaveToFile(const std::string& fileName) const {
  tiStringToFile(GetAsString(), fileName);
}

}  // namespace kelvado
