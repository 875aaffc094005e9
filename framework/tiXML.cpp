#include "framework/tiXML.h"

#include <algorithm>
#include <unordered_set>

#include "framework/tiExcept.h"
#include "framework/tiValue.h"
#include "platform/TextCase.h"

namespace kelvado {

// ---------------------------------------------------------------------------------------------------------
// Class descriptors

const TtiClass& TtiXMLTags::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiXMLTags, TtiBaseObject>(), "TtiXMLTags");
  return c;
}
const TtiClass& TtiDataBufferCell::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDataBufferCell, TtiBaseObject>(), "TtiDataBufferCell");
  return c;
}
const TtiClass& TtiDataBufferRow::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDataBufferRow, TtiBaseObject>(), "TtiDataBufferRow");
  return c;
}
const TtiClass& TtiDataBuffer::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDataBuffer, TtiBaseObject>(), "TtiDataBuffer");
  return c;
}
const TtiClass& TtiDataBuffers::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDataBuffers, TtiBaseObject>(), "TtiDataBuffers");
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// Tags

namespace {

// The 32 names in the order of TtiXMLTags' accessors: full, then size-optimised.
constexpr std::array<const char*, 32> cFullNames = {
    "xmldocdata",     "tables",        "table",         "table_name",     "fields",        "field",
    "field_name",     "field_kind",    "field_Size",    "rows",           "row",           "value",
    "query",          "query_sql",     "transaction_id", "command_type",  "computer_name", "user_name",
    "query_param",    "table_name",    "param_name",    "param_kind",     "param_value",   "result_message",
    "error_message",  "row_count",     "table_metadata", "md_table_name", "md_field_name", "md_field_kind",
    "md_field_width", "result_set"};
constexpr std::array<const char*, 32> cShortNames = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k",
                                                     "l", "m", "n", "o", "p", "q", "r", "s", "t", "u", "v",
                                                     "w", "x", "y", "z", "aa", "ab", "ac", "ad", "ae", "af"};

}  // namespace

std::string tiXMLStartTag(const std::string& name) { return "<" + name + ">"; }
std::string tiXMLEndTag(const std::string& name) { return "</" + name + ">"; }

TtiXMLTags::TtiXMLTags() : xmlVersion_("<?xml version=\"1.0\"?>"), xmlVersionWord_("xmlversion") { Build(); }

void TtiXMLTags::SetOptXMLDBSize(TtiOptXMLDBSize value) {
  if (value != optDBSizeOff && value != optDBSizeOn) throw Exception("Invalid OptXMLDBSize value");
  optXMLDBSize_ = value;
  Build();
}

std::string TtiXMLTags::GetOptXMLDBSizeAsString() const {
  return optXMLDBSize_ == optDBSizeOn ? "optDBSizeOn" : "optDBSizeOff";
}

void TtiXMLTags::SetOptXMLDBSizeAsString(const std::string& text) {
  if (SameTextAscii(text, "optDBSizeOff")) SetOptXMLDBSize(optDBSizeOff);
  else if (SameTextAscii(text, "optDBSizeOn")) SetOptXMLDBSize(optDBSizeOn);
  else throw Exception("Invalid OptXMLDBSize value <%s>", {text});
}

void TtiXMLTags::Build() {
  const auto& names = optXMLDBSize_ == optDBSizeOn ? cShortNames : cFullNames;
  for (size_t i = 0; i < n_.size(); ++i) n_[i] = names[i];
  startTables_ = tiXMLStartTag(Tables());
  endTables_ = tiXMLEndTag(Tables());
  startTable_ = "<" + Table() + " ";
  endTable_ = tiXMLEndTag(Table());
  startFields_ = tiXMLStartTag(Fields());
  endFields_ = tiXMLEndTag(Fields());
  startField_ = "<" + Field() + " ";
  endField_ = "/>";
  startRows_ = tiXMLStartTag(Rows());
  endRows_ = tiXMLEndTag(Rows());
  emptyRows_ = "<" + Rows() + "/>";
  startRow_ = "<" + Row() + " ";
  endRow_ = "/>";
  tiperElement_ = std::string("<") + cTiPer + " " + cTiPerVersionAttr + "=\"" + cTiPerVersion + "\"/>";
  documentStart_ = xmlVersion_ + tiXMLStartTag(DocData()) + tiperElement_ + tiXMLStartTag(Tables());
  documentEnd_ = tiXMLEndTag(Tables()) + tiXMLEndTag(DocData());
  const auto proxyTest = [&](const char* status) {
    return xmlVersion_ + tiXMLStartTag(DocData()) + "<proxytestalive status=\"" + status + "\"/>";
  };
  proxyTestPassed_ = proxyTest("passed") + tiperElement_ + tiXMLEndTag(DocData());
  proxyTestFailed_ = proxyTest("failed") + tiXMLEndTag(DocData());
}

const TtiXMLTags& tiXMLTags() {
  static const TtiXMLTags tags;
  return tags;
}

// ---------------------------------------------------------------------------------------------------------
// Reserved characters

TtiXMLReservedCharsTranslator::TtiXMLReservedCharsTranslator() {
  tables_[0] = {{'&', "&amp;"}, {'<', "&lt;"},  {'>', "&gt;"}, {'"', "&quot;"},
                {'\'', "&apos;"}, {'\n', "&lf;"}, {'\r', "&cr;"}};
  tables_[1] = {{'\n', "&lf;"}, {'\r', "&cr;"}};
  tables_[2] = {{'\n', "&lf;"}, {'\r', "&cr;"}, {',', "&com;"}};
  tables_[3] = {{'\n', "&lf;"}, {'\r', "&cr;"}, {'\t', "&tab;"}};
  for (size_t k = 0; k < tables_.size(); ++k) {
    lookup_[k].fill(nullptr);
    for (const Entry& e : tables_[k]) {
      lookup_[k][static_cast<unsigned char>(e.Char)] = e.Escape;
      longest_[k] = std::max(longest_[k], std::char_traits<char>::length(e.Escape));
    }
  }
}

const std::vector<TtiXMLReservedCharsTranslator::Entry>& TtiXMLReservedCharsTranslator::Table(
    TtiXMLCharKind kind) const {
  if (kind < xckMarkup || kind > xckLineBreaksAndTab) throw Exception("Invalid ACharKind");
  return tables_[static_cast<size_t>(kind - 1)];
}

std::string TtiXMLReservedCharsTranslator::InsertReservedChars(TtiXMLCharKind kind, std::string_view text) const {
  Table(kind);
  const size_t k = static_cast<size_t>(kind - 1);
  const auto& lookup = lookup_[k];
  // Most texts hold nothing to escape: they are copied as they are.
  size_t first = 0;
  while (first < text.size() && !lookup[static_cast<unsigned char>(text[first])]) ++first;
  if (first == text.size()) return std::string(text);
  // Sized once for the worst case and filled in one pass.
  std::string out(text.size() * longest_[k], '\0');
  size_t n = 0;
  for (char c : text) {
    if (const char* esc = lookup[static_cast<unsigned char>(c)]) {
      for (const char* p = esc; *p; ++p) out[n++] = *p;
    } else {
      out[n++] = c;
    }
  }
  out.resize(n);
  return out;
}

std::string TtiXMLReservedCharsTranslator::RemoveReservedChars(TtiXMLCharKind kind, std::string_view text) const {
  const std::vector<Entry>& table = Table(kind);
  std::string s(text);
  // Every escape starts with "&": a text without one has nothing to restore.
  if (s.find('&') == std::string::npos) return s;
  for (auto it = table.rbegin(); it != table.rend(); ++it) s = tiStrTran(s, it->Escape, std::string(1, it->Char));
  return s;
}

// ---------------------------------------------------------------------------------------------------------
// Value texts

double tiXMLStrToFloat(std::string_view text) {
  try {
    return Value::TextToFloat(text);
  } catch (const EConvertError&) {
    // "12,5" from a file written where the comma is the decimal separator: one comma, no point, and with the
    // comma read as a point the text must be a number.
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos || text.find(',', comma + 1) != std::string_view::npos ||
        text.find('.') != std::string_view::npos)
      throw;
    std::string pointed(text);
    pointed[comma] = '.';
    return Value::TextToFloat(pointed);
  }
}

namespace {

// Characters `pos` (from 1) to pos + len - 1 as a number; false when they are not all digits or missing.
bool ReadDigits(const std::string& s, size_t pos, size_t len, int& out) {
  if (pos < 1 || pos - 1 + len > s.size()) return false;
  int v = 0;
  for (size_t i = pos - 1; i < pos - 1 + len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

}  // namespace

TDateTime tiXMLCellTextToDateTime(const std::string& text) {
  if (text.empty()) return 0;
  const auto fail = [&]() -> TDateTime {
    throw Exception("Data conversion error. Can not convert <%s> to a %s", {text, "TDateTime"});
  };
  int y = 0, m = 0, d = 0;
  bool ok;
  if (text.size() < 4 || (text.size() >= 3 && text[2] == '/'))
    ok = ReadDigits(text, 1, 2, d) && ReadDigits(text, 4, 2, m) && ReadDigits(text, 7, 4, y);
  else
    ok = ReadDigits(text, 1, 4, y) && ReadDigits(text, 6, 2, m) && ReadDigits(text, 9, 2, d);
  int h = 0, n = 0, s = 0, z = 0;
  if (!ok || !ReadDigits(text, 12, 2, h)) return fail();
  if (!ReadDigits(text, 15, 2, n)) n = 0;
  if (!ReadDigits(text, 18, 2, s)) s = 0;
  if (!ReadDigits(text, 21, 3, z)) z = 0;
  try {
    return EncodeDateTime(y, m, d, h, n, s, z);
  } catch (const EConvertError&) {
    return fail();
  }
}

// ---------------------------------------------------------------------------------------------------------
// Data buffers

namespace {
[[noreturn]] void OutOfBounds(int index) { throw EtiPerProgrammerException("List index out of bounds (%d)", {index}); }

template <class T>
int IndexIn(const std::vector<std::unique_ptr<T>>& items, const T* item) {
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i].get() == item) return static_cast<int>(i);
  return -1;
}
}  // namespace

int64_t TtiDataBufferCell::ValueAsInteger() const {
  try {
    return Value::TextToInteger(value_);
  } catch (const EConvertError&) {
    return 0;
  }
}

double TtiDataBufferCell::ValueAsFloat() const {
  try {
    return tiXMLStrToFloat(value_);
  } catch (const EConvertError&) {
    return 0.0;
  }
}

bool TtiDataBufferCell::ValueAsBoolean() const { return tiStrToBool(value_); }

TDateTime TtiDataBufferCell::ValueAsDateTime() const { return tiXMLCellTextToDateTime(value_); }

void TtiDataBufferCell::ValueAsStream(std::stringstream& stream) const {
  tiStringToStream(MimeDecodeString(value_), stream);
}

int TtiDataBufferCell::Index() const { return owner_ ? owner_->IndexOf(this) : -1; }

TtiDBMetaDataField& TtiDataBufferCell::FieldMetaData() const {
  const TtiDataBuffer* buffer = owner_ ? owner_->Owner() : nullptr;
  const int index = Index();
  if (!buffer || owner_->Count() != buffer->Fields().Count() || index < 0)
    throw Exception("tiPer Internal Error: tiDataSet metadata and data are out of sync");
  return *buffer->Fields().Items(index);
}

TtiDataBufferRow::~TtiDataBufferRow() = default;

TtiDataBufferCell& TtiDataBufferRow::AddInstance() {
  const int columns = owner_ ? owner_->Fields().Count() : 0;
  if (columns > 0 && Count() >= columns) throw EtiPerProgrammerException("Mismatch between data and metadata");
  cells_.push_back(std::make_unique<TtiDataBufferCell>(this));
  return *cells_.back();
}

TtiDataBufferCell& TtiDataBufferRow::Items(int index) const {
  if (index < 0 || index >= Count()) OutOfBounds(index);
  return *cells_[static_cast<size_t>(index)];
}

TtiDataBufferCell* TtiDataBufferRow::FindByFieldName(const std::string& name) const {
  if (!owner_) return nullptr;
  const TtiDBMetaDataField* field = owner_->Fields().FindByFieldName(name.substr(0, 255));
  if (!field) return nullptr;
  const int index = owner_->Fields().IndexOf(field);
  return index >= 0 && index < Count() ? cells_[static_cast<size_t>(index)].get() : nullptr;
}

int TtiDataBufferRow::Index() const { return owner_ ? owner_->IndexOf(this) : -1; }

int TtiDataBufferRow::IndexOf(const TtiDataBufferCell* cell) const { return IndexIn(cells_, cell); }

TtiDataBuffer::TtiDataBuffer() : fields_(std::make_unique<TtiDBMetaDataTable>()) {}
TtiDataBuffer::~TtiDataBuffer() = default;

TtiDataBufferRow& TtiDataBuffer::AddInstance() {
  rows_.push_back(std::make_unique<TtiDataBufferRow>(this));
  TtiDataBufferRow& row = *rows_.back();
  for (int i = 0; i < fields_->Count(); ++i) row.AddInstance();
  return row;
}

TtiDataBufferRow& TtiDataBuffer::Items(int index) const {
  if (index < 0 || index >= Count()) OutOfBounds(index);
  return *rows_[static_cast<size_t>(index)];
}

int TtiDataBuffer::IndexOf(const TtiDataBufferRow* row) const { return IndexIn(rows_, row); }

void TtiDataBuffer::Remove(TtiDataBufferRow* row) {
  const int i = IndexOf(row);
  if (i >= 0) rows_.erase(rows_.begin() + i);
}

std::vector<std::unique_ptr<TtiDataBufferRow>> TtiDataBuffer::ExtractRows(const std::vector<TtiDataBufferRow*>& rows) {
  const std::unordered_set<const TtiDataBufferRow*> wanted(rows.begin(), rows.end());
  std::vector<std::unique_ptr<TtiDataBufferRow>> taken;
  std::vector<std::unique_ptr<TtiDataBufferRow>> kept;
  kept.reserve(rows_.size());
  for (auto& r : rows_) (wanted.count(r.get()) ? taken : kept).push_back(std::move(r));
  rows_ = std::move(kept);
  return taken;
}

TtiDataBuffers::~TtiDataBuffers() = default;

TtiDataBuffer& TtiDataBuffers::AddInstance(const std::string& name) {
  buffers_.push_back(std::make_unique<TtiDataBuffer>());
  buffers_.back()->SetName(name);
  return *buffers_.back();
}

TtiDataBuffer& TtiDataBuffers::Items(int index) const {
  if (index < 0 || index >= Count()) OutOfBounds(index);
  return *buffers_[static_cast<size_t>(index)];
}

TtiDataBuffer* TtiDataBuffers::FindByName(const std::string& name) const {
  for (const auto& b : buffers_)
    if (SameTextAscii(b->GetName(), name)) return b.get();
  return nullptr;
}

void TtiDataBuffers::Remove(TtiDataBuffer* buffer) {
  const int i = IndexIn(buffers_, static_cast<const TtiDataBuffer*>(buffer));
  if (i >= 0) buffers_.erase(buffers_.begin() + i);
}

}  // namespace kelvado
