#include "framework/tiQueryXML.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <ostream>
#include <unordered_map>
#include <unordered_set>

#include "framework/tiExcept.h"
#include "framework/tiLibXml.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiValue.h"
#include "framework/tiXML.h"
#include "platform/FileIO.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace {

const TtiXMLReservedCharsTranslator& Translator() {
  static const TtiXMLReservedCharsTranslator translator;
  return translator;
}

const TtiXMLTags& Tags() { return tiXMLTags(); }

bool IsElement(const xmlNode* n, const std::string& name) {
  return n->type == XML_ELEMENT_NODE && std::strcmp(tiXMLChars(n->name), name.c_str()) == 0;
}

xmlNode* FirstChildElement(xmlNode* parent, const std::string& name) {
  for (xmlNode* c = parent ? parent->children : nullptr; c; c = c->next)
    if (IsElement(c, name)) return c;
  return nullptr;
}

size_t TextHash(std::string_view text) { return std::hash<std::string_view>()(text); }

std::atomic<uint64_t> gNextStoreId{1};

[[noreturn]] void RefuseValue(const std::string& column, const std::string& table, const std::string& why) {
  throw EtiPerDataException("Can not store the value of <%s> in table <%s>: %s", {column, table, why});
}

// Whether a text is stored as it is: printable ASCII only, nothing an XML file can not carry and no line break
// to escape (nearly every text of a project).
bool StoredAsItIs(std::string_view text) {
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c >= 0x80) return false;
  }
  return true;
}

// The text of a parameter of text, into `out`; refused when a character can not be stored.
void StoreTextInto(std::string_view raw, const TtiQueryParamAbs& p, const std::string& table, std::string& out) {
  if (StoredAsItIs(raw)) {
    out.assign(raw);
    return;
  }
  // A character an XML file cannot carry would make the whole file unreadable at the next open.
  const size_t bad = tiXMLInvalidCharPos(raw);
  if (bad != std::string_view::npos)
    RefuseValue(p.GetName(), table, tiXMLDescribeCharAt(raw, bad) + " can not be stored in an XML file");
  out = Translator().InsertReservedChars(xckLineBreaks, raw);
}

// The text a parameter is stored as (and compared as, when it is a criterion), into `out` (whose room is used
// again: an insert of many rows fills the same strings).
void StoredTextInto(const TtiQueryParamAbs& p, const std::string& table, std::string& out) {
  out.clear();
  if (p.GetIsNull()) return;
  try {
    if (p.Kind() == qfkString) {
      // Nearly every value of a store is text: it is told apart first, and read without a copy (the string
      // parameter is the one class of that kind).
      StoreTextInto(static_cast<const TtiQueryParamString&>(p).GetValue(), p, table, out);
    } else if (auto* f = dynamic_cast<const TtiQueryParamFloat*>(&p)) {
      if (std::isnan(f->GetValue())) RefuseValue(p.GetName(), table, "NaN is not a number");
      out = Value::FloatToText(f->GetValue());
    } else if (auto* d = dynamic_cast<const TtiQueryParamDateTime*>(&p)) {
      out = tiDateTimeAsXMLString(d->GetValue());
    } else if (auto* b = dynamic_cast<const TtiQueryParamBoolean*>(&p)) {
      out = b->GetValue() ? "TRUE" : "FALSE";
    } else if (dynamic_cast<const TtiQueryParamStream*>(&p)) {
      out = MimeEncodeString(p.GetValueAsString());
    } else if (dynamic_cast<const TtiQueryParamInteger*>(&p)) {
      out = p.GetValueAsString();
    } else {
      StoreTextInto(p.GetValueAsString(), p, table, out);
    }
  } catch (const EConvertError& e) {
    RefuseValue(p.GetName(), table, e.Message());
  }
}

// The bytes a stored text takes in the file: the characters written as references take theirs (see
// TPlainWriter::AttrValue).
size_t WrittenSize(std::string_view text) {
  size_t n = text.size();
  for (char c : text) {
    switch (c) {
      case '\n': case '\r': case '\t': case '&': n += 4; break;
      case '"': n += 5; break;
      case '<': case '>': n += 3; break;
      default: break;
    }
  }
  return n;
}

// A row the file could not be read back with is refused before anything changes: libxml2 reads no element
// larger than tiXMLMaxElementBytes. `value(i)` is the text of the attribute named `names[i]`.
template <class Name, class Value>
void RefuseUnreadableRow(const std::string& table, size_t count, Name name, Value value) {
  size_t raw = 0;
  for (size_t i = 0; i < count; ++i) raw += name(i).size() + 4 + value(i).size();
  // No reference takes more than six times its character.
  if (6 * raw < static_cast<size_t>(tiXMLMaxElementBytes)) return;
  size_t written = 0, largest = 0, largestAt = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t size = WrittenSize(value(i));
    written += name(i).size() + 4 + size;
    if (size >= largest) largest = size, largestAt = i;
  }
  if (written > static_cast<size_t>(tiXMLMaxElementBytes))
    RefuseValue(name(largestAt), table,
                tiFormat("its row would take %d bytes in the file, more than the %d of a row that can be read back",
                         {static_cast<int64_t>(written), tiXMLMaxElementBytes}));
}

std::string StoredText(const TtiQueryParamAbs& p, const std::string& table) {
  std::string text;
  StoredTextInto(p, table, text);
  return text;
}

// An attribute name the file can carry; refused before anything changes.
std::string AttrName(const std::string& column, const std::string& table) {
  std::string name = LowerAscii(column);
  if (!tiXMLIsValidName(name))
    throw EtiPerDataException("The column name <%s> of table <%s> can not be an XML attribute name", {column, table});
  return name;
}

struct TCriterion {
  uint32_t Name;  // id of the attribute's name
  std::string Text;
};

// The names of attributes and of their prefixes, each kept once; id 0 is the empty name (no prefix).
class TNames {
public:
  TNames() { Intern({}); }
  uint32_t Intern(std::string_view name) {
    const auto it = ids_.find(name);
    if (it != ids_.end()) return it->second;
    names_.push_back(std::make_unique<std::string>(name));
    const auto id = static_cast<uint32_t>(names_.size() - 1);
    ids_.emplace(*names_.back(), id);
    return id;
  }
  // -1 when no attribute has that name.
  int64_t Find(std::string_view name) const {
    const auto it = ids_.find(name);
    return it == ids_.end() ? -1 : it->second;
  }
  const std::string& Name(uint32_t id) const { return *names_[id]; }

private:
  std::vector<std::unique_ptr<std::string>> names_;
  std::unordered_map<std::string_view, uint32_t> ids_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The rows of a store.

// A row of a table: the names and texts of its attributes in two blocks. Rows are no elements of the document:
// an element and its attributes take many times their text (a project file 12 to 14 times its size), a row
// little more than it. Only a table whose rows element holds more than rows (a file edited by hand: blanks,
// comments) keeps its row elements as well, each in step with its row (Node), so that writing the document
// back keeps all of it.
struct TtiXMLRow {
  struct TAttr {
    uint32_t Name;    // local name (an id of the store's names)
    uint32_t Prefix;  // 0: none
    uint32_t End;     // of its text in Text
  };
  uint64_t Ordinal = 0;  // position in the table, in file order
  int Line = 0;          // of its start tag in the file read; 0 for a row made since
  xmlNode* Node = nullptr;
  std::vector<TAttr> Attrs;
  std::string Text;

  std::string_view Value(size_t i) const {
    const uint32_t from = i == 0 ? 0 : Attrs[i - 1].End;
    return std::string_view(Text).substr(from, Attrs[i].End - from);
  }
  // The first attribute of that local name, whatever its prefix (as libxml2 looks attributes up by name); -1
  // when there is none.
  int Find(uint32_t name) const {
    for (size_t i = 0; i < Attrs.size(); ++i)
      if (Attrs[i].Name == name) return static_cast<int>(i);
    return -1;
  }
  void Add(uint32_t name, uint32_t prefix, std::string_view value) {
    Text.append(value);
    Attrs.push_back({name, prefix, static_cast<uint32_t>(Text.size())});
  }
  void Set(size_t i, std::string_view value) {
    const uint32_t from = i == 0 ? 0 : Attrs[i - 1].End;
    const auto delta = static_cast<int64_t>(value.size()) - static_cast<int64_t>(Attrs[i].End - from);
    Text.replace(from, Attrs[i].End - from, value);
    for (size_t k = i; k < Attrs.size(); ++k) Attrs[k].End = static_cast<uint32_t>(Attrs[k].End + delta);
  }
};

namespace {

using TRowList = std::vector<std::unique_ptr<TtiXMLRow>>;

// The hash of the text of the row's attribute of that name, for the indexes; false when the row has none.
bool HashOf(const TtiXMLRow& row, uint32_t name, size_t& hash) {
  const int at = row.Find(name);
  if (at < 0) return false;
  hash = TextHash(row.Value(static_cast<size_t>(at)));
  return true;
}

const std::vector<std::string>& RowPath() {
  static const std::vector<std::string> path{Tags().DocData(), Tags().Tables(), Tags().Table(), Tags().Rows(),
                                             Tags().Row()};
  return path;
}

// The rows of a file as the parser reads them, by their rows element, with the names they use.
class TRowsTaker : public TtiXMLElementTaker {
public:
  const std::vector<std::string>& Path() const override { return RowPath(); }
  void Take(xmlNode* parent, int line, const std::vector<TAttr>& attributes) override {
    auto row = std::make_unique<TtiXMLRow>();
    row->Line = line;
    size_t bytes = 0;
    for (const TAttr& a : attributes) bytes += a.Value.size();
    row->Attrs.reserve(attributes.size());
    row->Text.reserve(bytes);
    for (const TAttr& a : attributes)
      row->Add(Names.Intern(a.Name), a.Prefix.empty() ? 0 : Names.Intern(a.Prefix), a.Value);
    Rows[parent].push_back(std::move(row));
  }
  void Clear() override {
    Rows.clear();
    Names = TNames();
  }

  TNames Names;
  std::unordered_map<const xmlNode*, TRowList> Rows;
};

// An index of a table by one attribute: its rows by the hash of that attribute's text, each bucket in file
// order. Rows whose different texts share a hash are told apart by their text when looked up; no text is
// copied into the index.
class TRowIndex {
public:
  // A row after all the bucket holds (a row just read or appended).
  void Append(size_t hash, TtiXMLRow* row) {
    TBucket& b = buckets_[hash];
    if (!b.One) b.One = row;
    else b.More.push_back(row);
  }
  // A row at its place by ordinal.
  void Insert(size_t hash, TtiXMLRow* row) {
    TBucket& b = buckets_[hash];
    if (!b.One) {
      b.One = row;
    } else if (Before(row, b.One)) {
      b.More.insert(b.More.begin(), b.One);
      b.One = row;
    } else {
      b.More.insert(std::upper_bound(b.More.begin(), b.More.end(), row, Before), row);
    }
  }
  void Remove(size_t hash, const TtiXMLRow* row) {
    auto it = buckets_.find(hash);
    if (it == buckets_.end()) return;
    TBucket& b = it->second;
    if (b.One == row) {
      if (b.More.empty()) {
        buckets_.erase(it);
        return;
      }
      b.One = b.More.front();
      b.More.erase(b.More.begin());
      return;
    }
    auto pos = std::lower_bound(b.More.begin(), b.More.end(), row, Before);
    if (pos != b.More.end() && *pos == row) b.More.erase(pos);
  }
  // The rows of the bucket, in file order (those of other texts included).
  size_t Count(size_t hash) const {
    auto it = buckets_.find(hash);
    return it == buckets_.end() ? 0 : 1 + it->second.More.size();
  }
  template <class F>
  void ForEach(size_t hash, F f) const {
    auto it = buckets_.find(hash);
    if (it == buckets_.end()) return;
    f(it->second.One);
    for (TtiXMLRow* r : it->second.More) f(r);
  }

private:
  static bool Before(const TtiXMLRow* a, const TtiXMLRow* b) { return a->Ordinal < b->Ordinal; }

  struct TBucket {
    TtiXMLRow* One = nullptr;       // the first row
    std::vector<TtiXMLRow*> More;   // the rows after it (most texts have one row: no vector is made for them)
  };
  std::unordered_map<size_t, TBucket> buckets_;
};

// An element without namespaces whose attributes are plain texts and whose children are such elements too
// (the tables of a store lie five levels deep).
bool PlainElement(const xmlNode* n, int depth) {
  if (n->type != XML_ELEMENT_NODE || n->ns || n->nsDef || depth > 16) return false;
  for (const xmlAttr* a = n->properties; a; a = a->next) {
    const xmlNode* text = a->children;
    if (a->ns || (text && (text->next || text->type != XML_TEXT_NODE || !text->content))) return false;
  }
  for (const xmlNode* c = n->children; c; c = c->next)
    if (!PlainElement(c, depth + 1)) return false;
  return true;
}

// A row element a row can stand for: no namespace of its own, attributes of plain text, nothing inside.
bool PlainRow(const xmlNode* n) {
  if (!IsElement(n, Tags().Row()) || n->ns || n->nsDef || n->children) return false;
  for (const xmlAttr* a = n->properties; a; a = a->next) {
    const xmlNode* text = a->children;
    if (text && (text->next || text->type != XML_TEXT_NODE || !text->content)) return false;
  }
  return true;
}

// Writes into the sink in pieces of 256 kB: the sink writes to the file at each call.
class TPlainWriter {
public:
  explicit TPlainWriter(const TtiByteSink& sink) : sink_(sink) { buf_.reserve(kPiece + 4096); }
  void Text(std::string_view s) {
    buf_.append(s);
    if (buf_.size() >= kPiece) Flush();
  }
  // An attribute value as libxml2 writes it into a file of UTF-8 (xmlAttrSerializeTxtContent): the markup
  // characters, the quote and the three blanks a reader would normalise as references, the rest as it is.
  void AttrValue(std::string_view s) {
    size_t from = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      const char* ref;
      switch (s[i]) {
        case '\n': ref = "&#10;"; break;
        case '\r': ref = "&#13;"; break;
        case '\t': ref = "&#9;"; break;
        case '"': ref = "&quot;"; break;
        case '<': ref = "&lt;"; break;
        case '>': ref = "&gt;"; break;
        case '&': ref = "&amp;"; break;
        default: continue;
      }
      buf_.append(s, from, i - from).append(ref);
      from = i + 1;
    }
    buf_.append(s, from);
    if (buf_.size() >= kPiece) Flush();
  }
  void Flush() {
    if (!buf_.empty()) sink_(buf_.data(), buf_.size());
    buf_.clear();
  }

private:
  static constexpr size_t kPiece = 256 * 1024;
  const TtiByteSink& sink_;
  std::string buf_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The document of one connected database and what is kept to find its tables and rows quickly.

struct TXMLFieldDef {
  std::string Name;  // as in the file
  std::string Attr;  // lower case
  TtiQueryFieldKind Kind = qfkString;
  int Width = 0;
};

class TtiXMLStore {
public:
  using RowIndex = TRowIndex;

  struct Table {
    std::string Name;  // table_name as in the file
    std::string Key;   // lower case
    xmlNode* Node = nullptr;
    xmlNode* Fields = nullptr;
    xmlNode* Rows = nullptr;
    bool DefsRead = false;
    std::vector<TXMLFieldDef> Defs;
    bool ColumnsRead = false;
    std::vector<std::string> Columns;  // the attribute of every column a row gets, checked, each once
    std::vector<uint32_t> ColumnNames;  // their ids
    TRowList RowList;                   // in file order
    uint64_t LastOrdinal = 0;
    // The rows element holds more than rows: its row elements stay in the document, each in step with its row.
    bool Backed = false;
    std::unordered_map<uint32_t, RowIndex> Indexes;  // by the id of the attribute's name
    std::vector<size_t> InsertHints;  // per parameter position: the column it matched at the last insert
    std::vector<std::string> Values;  // per column: the text of the row being inserted
  };

  // `taken`: the rows the parser took from the document (TRowsTaker), if any.
  TtiXMLStore(TtiXMLDocPtr doc, std::unique_ptr<TtiXMLElementTaker> taken) : id_(gNextStoreId++), doc_(std::move(doc)) {
    auto* rows = dynamic_cast<TRowsTaker*>(taken.get());
    if (rows) names_ = std::move(rows->Names);
    xmlNode* root = xmlDocGetRootElement(doc_.get());
    for (xmlNode* c = root ? root->children : nullptr; c; c = c->next) {
      if (!IsElement(c, Tags().Tables())) continue;
      if (!tablesNode_) tablesNode_ = c;
      for (xmlNode* t = c->children; t; t = t->next)
        if (IsElement(t, Tags().Table())) LoadRows(AddTable(t), rows);
    }
  }

  ~TtiXMLStore() {
    // Removed rows and tables still use the document's name dictionary: free them first.
    for (xmlNode* n : graveyard_) xmlFreeNode(n);
  }

  TtiXMLStore(const TtiXMLStore&) = delete;
  TtiXMLStore& operator=(const TtiXMLStore&) = delete;

  uint64_t Id() const { return id_; }
  bool Modified = false;

  const std::vector<std::unique_ptr<Table>>& Tables() const { return tables_; }
  const TNames& Names() const { return names_; }

  Table* FindTable(const std::string& name) {
    auto it = byKey_.find(LowerAscii(name));
    return it == byKey_.end() ? nullptr : it->second;
  }

  const std::vector<TXMLFieldDef>& Defs(Table& t) {
    if (t.DefsRead) return t.Defs;
    std::vector<TXMLFieldDef> defs;
    for (xmlNode* f = t.Fields ? t.Fields->children : nullptr; f; f = f->next) {
      if (!IsElement(f, Tags().Field())) continue;
      TXMLFieldDef d;
      d.Name = tiXMLAttrText(xmlHasProp(f, tiXMLChars(Tags().FieldName().c_str())));
      d.Attr = LowerAscii(d.Name);
      d.Kind = StrToQueryFieldKind(tiXMLAttrText(xmlHasProp(f, tiXMLChars(Tags().FieldKind().c_str()))));
      const std::string width = tiXMLAttrText(xmlHasProp(f, tiXMLChars(Tags().FieldSize().c_str())));
      try {
        const int64_t w = width.empty() ? 0 : Value::TextToInteger(width);
        if (w < INT32_MIN || w > INT32_MAX) throw EConvertError("out of range");
        d.Width = static_cast<int>(w);
      } catch (const EConvertError&) {
        throw EtiPerDataException("Invalid %s <%s> of field <%s> in table <%s>",
                                  {Tags().FieldSize(), width, d.Name, t.Name});
      }
      defs.push_back(std::move(d));
    }
    t.Defs = std::move(defs);
    t.DefsRead = true;
    return t.Defs;
  }

  // The attribute names of the declared columns, each name once, every one checked to be usable.
  const std::vector<std::string>& Columns(Table& t) {
    if (t.ColumnsRead) return t.Columns;
    std::vector<std::string> columns;
    for (const TXMLFieldDef& d : Defs(t)) {
      const std::string attr = AttrName(d.Name, t.Name);
      if (std::find(columns.begin(), columns.end(), attr) == columns.end()) columns.push_back(attr);
    }
    std::vector<uint32_t> ids;
    for (const std::string& c : columns) ids.push_back(names_.Intern(c));
    t.Columns = std::move(columns);
    t.ColumnNames = std::move(ids);
    t.ColumnsRead = true;
    return t.Columns;
  }

  std::vector<TtiXMLRow*> Select(Table& t, const TtiQueryParams* where) {
    std::vector<TtiXMLRow*> out;
    std::vector<TCriterion> criteria;
    for (int i = 0; where && i < where->Count(); ++i) {
      const TtiQueryParamAbs& p = *where->Items(i);
      const int64_t name = names_.Find(LowerAscii(p.GetName()));
      std::string text = StoredText(p, t.Name);
      if (name < 0) return out;  // no row has such an attribute
      criteria.push_back({static_cast<uint32_t>(name), std::move(text)});
    }
    if (criteria.empty()) {
      out.reserve(t.RowList.size());
      for (const auto& row : t.RowList) out.push_back(row.get());
      return out;
    }
    // Every criterion's index first (building one never moves the buckets of another), then the rows of the
    // smallest bucket, checked against all criteria (a bucket may hold rows of other texts of the same hash).
    for (const TCriterion& c : criteria) IndexFor(t, c.Name);
    const RowIndex* best = nullptr;
    size_t bestHash = 0, bestCount = 0;
    for (const TCriterion& c : criteria) {
      const RowIndex& ix = t.Indexes.at(c.Name);
      const size_t hash = TextHash(c.Text);
      const size_t count = ix.Count(hash);
      if (count == 0) return out;
      if (!best || count < bestCount) {
        best = &ix;
        bestHash = hash;
        bestCount = count;
      }
    }
    out.reserve(bestCount);
    best->ForEach(bestHash, [&](TtiXMLRow* row) {
      for (const TCriterion& c : criteria) {
        const int at = row->Find(c.Name);
        if (at < 0 || row->Value(static_cast<size_t>(at)) != c.Text) return;
      }
      out.push_back(row);
    });
    return out;
  }

  void Insert(Table& t, const TtiQueryParams* params) {
    if (!t.Rows) throw EtiPerInternalException("Can not find XML tag <%s>", {Tags().Rows()});
    // Everything is checked and converted before the document changes.
    const std::vector<std::string>& columns = Columns(t);
    std::vector<std::string>& values = t.Values;
    values.resize(columns.size());
    for (std::string& v : values) v.clear();
    // Rows of a table mostly come with the same parameters in the same order: the column each parameter
    // matched the last time is tried first.
    const size_t count = params ? static_cast<size_t>(params->Count()) : 0;
    if (t.InsertHints.size() < count) t.InsertHints.resize(count, 0);
    for (size_t i = 0; i < count; ++i) {
      const TtiQueryParamAbs& p = *params->Items(static_cast<int>(i));
      size_t c = t.InsertHints[i];
      if (c >= columns.size() || !SameTextAscii(columns[c], p.GetName())) {
        c = 0;
        while (c < columns.size() && !SameTextAscii(columns[c], p.GetName())) ++c;
        if (c == columns.size()) continue;  // no such column: not stored
        t.InsertHints[i] = c;
      }
      StoredTextInto(p, t.Name, values[c]);
    }
    RefuseUnreadableRow(
        t.Name, columns.size(), [&](size_t i) -> const std::string& { return columns[i]; },
        [&](size_t i) -> std::string_view { return values[i]; });
    auto row = std::make_unique<TtiXMLRow>();
    size_t bytes = 0;
    for (const std::string& v : values) bytes += v.size();
    row->Attrs.reserve(columns.size());
    row->Text.reserve(bytes);
    for (size_t c = 0; c < columns.size(); ++c) row->Add(t.ColumnNames[c], 0, values[c]);
    if (t.Backed) AddElement(t, *row);
    AppendRow(t, std::move(row));
    Modified = true;
  }

  void Update(Table& t, const TtiQueryParams* params, const TtiQueryParams* where) {
    std::vector<std::pair<uint32_t, std::string>> values;
    for (int i = 0; params && i < params->Count(); ++i) {
      const TtiQueryParamAbs& p = *params->Items(i);
      values.emplace_back(names_.Intern(AttrName(p.GetName(), t.Name)), StoredText(p, t.Name));
    }
    const std::vector<TtiXMLRow*> rows = Select(t, where);
    if (rows.empty() || values.empty()) return;
    // Each row as it would be, checked before any changes (no row of ordinary texts comes near the limit).
    size_t added = 0;
    for (const auto& [name, text] : values) added += text.size() + 260;
    for (const TtiXMLRow* row : rows) {
      if (6 * (row->Text.size() + 260 * row->Attrs.size() + added) < static_cast<size_t>(tiXMLMaxElementBytes))
        continue;
      std::vector<std::pair<uint32_t, std::string_view>> after;
      for (size_t i = 0; i < row->Attrs.size(); ++i) after.emplace_back(row->Attrs[i].Name, row->Value(i));
      for (const auto& value : values) {
        const auto& [name, text] = value;
        auto it = std::find_if(after.begin(), after.end(), [&](const auto& a) { return a.first == value.first; });
        if (it == after.end()) after.emplace_back(name, text);
        else it->second = text;
      }
      RefuseUnreadableRow(
          t.Name, after.size(), [&](size_t i) -> const std::string& { return names_.Name(after[i].first); },
          [&](size_t i) { return after[i].second; });
    }
    Modified = true;
    for (TtiXMLRow* row : rows)
      for (const auto& [name, text] : values) {
        auto ix = t.Indexes.find(name);
        size_t hash = 0;
        if (ix != t.Indexes.end() && HashOf(*row, name, hash)) ix->second.Remove(hash, row);
        if (row->Node &&
            !xmlSetProp(row->Node, tiXMLChars(names_.Name(name).c_str()), tiXMLChars(text.c_str())))
          throw std::bad_alloc();
        // As libxml2 sets an attribute by name: the one without prefix, else a new one at the end.
        int own = -1;
        for (size_t i = 0; i < row->Attrs.size() && own < 0; ++i)
          if (row->Attrs[i].Name == name && row->Attrs[i].Prefix == 0) own = static_cast<int>(i);
        if (own >= 0) row->Set(static_cast<size_t>(own), text);
        else row->Add(name, 0, text);
        if (ix != t.Indexes.end() && HashOf(*row, name, hash)) ix->second.Insert(hash, row);
      }
  }

  void Delete(Table& t, const TtiQueryParams* where) {
    const std::vector<TtiXMLRow*> rows = Select(t, where);
    if (rows.empty()) return;
    for (TtiXMLRow* row : rows) {
      size_t hash = 0;
      for (auto& [name, ix] : t.Indexes)
        if (HashOf(*row, name, hash)) ix.Remove(hash, row);
      if (row->Node) Bury(row->Node);
    }
    // The rows go, in one pass; a query that selected them may still read them while the document lives.
    const std::unordered_set<const TtiXMLRow*> gone(rows.begin(), rows.end());
    TRowList kept;
    kept.reserve(t.RowList.size() - rows.size());
    for (auto& row : t.RowList) (gone.count(row.get()) ? buriedRows_ : kept).push_back(std::move(row));
    t.RowList = std::move(kept);
    Modified = true;
  }

  // The document becomes the given tables, in this order and without rows.
  void Reset(const std::vector<const TtiDBMetaDataTable*>& defs) {
    if (!tablesNode_) throw EtiPerInternalException("Cant find XML <%s> element", {Tags().Tables()});
    // The new tables' names checked before anything changes.
    for (const TtiDBMetaDataTable* md : defs)
      for (int i = 0; i < md->Count(); ++i) AttrName(md->Items(i)->GetName(), md->GetName());
    // Tables elsewhere (in a second "tables" element of a file edited by hand) stay, as elements.
    for (auto& t : tables_)
      if (t->Node->parent != tablesNode_) MakeElements(*t);
    // Rows selected before are no longer this document's: no query reads them again, so everything else of the
    // old document can go at once (its tables, whatever else "tables" held, the rows deleted before).
    id_ = gNextStoreId++;
    for (xmlNode* c = tablesNode_->children; c;) {
      xmlNode* next = c->next;
      xmlUnlinkNode(c);
      xmlFreeNode(c);
      c = next;
    }
    for (xmlNode* n : graveyard_) xmlFreeNode(n);
    graveyard_.clear();
    buriedRows_.clear();
    tables_.clear();
    byKey_.clear();
    Modified = true;
    for (const TtiDBMetaDataTable* md : defs) CreateTable(*md);
  }

  Table& CreateTable(const TtiDBMetaDataTable& md) {
    const std::string name = LowerAscii(md.GetName());
    std::vector<std::string> attrs;
    for (int i = 0; i < md.Count(); ++i) attrs.push_back(AttrName(md.Items(i)->GetName(), name));
    const size_t bad = tiXMLInvalidCharPos(name);
    if (bad != std::string_view::npos)
      throw EtiPerDataException("The table name <%s> can not be stored in an XML file: %s",
                                {name, tiXMLDescribeCharAt(name, bad)});
    if (!tablesNode_) throw EtiPerInternalException("Cant find XML <%s> element", {Tags().Tables()});

    xmlDoc* doc = doc_.get();
    auto element = [&](const std::string& tag) {
      xmlNode* n = xmlNewDocNode(doc, nullptr, tiXMLChars(tag.c_str()), nullptr);
      if (!n) throw std::bad_alloc();
      return n;
    };
    auto attr = [](xmlNode* n, const std::string& a, const std::string& v) {
      if (!xmlNewProp(n, tiXMLChars(a.c_str()), tiXMLChars(v.c_str()))) throw std::bad_alloc();
    };
    TtiXMLNodePtr newTable(element(Tags().Table()));
    attr(newTable.get(), Tags().TableName(), name);
    xmlNode* fields = xmlAddChild(newTable.get(), element(Tags().Fields()));
    for (int i = 0; i < md.Count(); ++i) {
      const TtiDBMetaDataField& f = *md.Items(i);
      xmlNode* field = xmlAddChild(fields, element(Tags().Field()));
      attr(field, Tags().FieldName(), attrs[static_cast<size_t>(i)]);
      attr(field, Tags().FieldKind(), LowerAscii(f.GetKindAsStr()));
      attr(field, Tags().FieldSize(), std::to_string(f.GetWidth()));
    }
    xmlAddChild(newTable.get(), element(Tags().Rows()));
    xmlNode* const table = newTable.get();
    xmlAddChild(tablesNode_, newTable.release());
    Modified = true;
    return AddTable(table);
  }

  void DropTable(Table& t) {
    Bury(t.Node);
    for (auto& row : t.RowList) buriedRows_.push_back(std::move(row));
    Modified = true;
    tables_.erase(std::find_if(tables_.begin(), tables_.end(), [&](const auto& p) { return p.get() == &t; }));
    // A second table of the same name (a file edited by hand) is found from now on.
    byKey_.clear();
    for (auto& p : tables_) byKey_.emplace(p->Key, p.get());
  }

  // Writes the document as tiXMLWriteDoc does, byte for byte, its rows from the rows (no element is made for
  // them); a document that holds more than elements with plain attributes (a file edited by hand) is written
  // by libxml2, its rows made elements first.
  void Write(const TtiByteSink& sink) {
    xmlNode* root = xmlDocGetRootElement(doc_.get());
    bool plain = root && doc_->children == root && !root->next && PlainElement(root, 0);
    for (auto& t : tables_) plain = plain && !t->Backed;
    if (!plain) {
      for (auto& t : tables_) MakeElements(*t);
      tiXMLWriteDoc(doc_.get(), sink);
      return;
    }
    std::unordered_map<const xmlNode*, const Table*> rowsOf;
    for (auto& t : tables_)
      if (t->Rows) rowsOf.emplace(t->Rows, t.get());
    TPlainWriter w(sink);
    w.Text("<?xml version=\"1.0\"?>\n");
    WriteElement(w, root, rowsOf);
    w.Text("\n");
    w.Flush();
  }

  // The row as XML text (for messages).
  std::string RowXML(const TtiXMLRow& row) const {
    if (row.Node) return tiXMLNodeToString(row.Node);
    std::string out;
    const TtiByteSink sink = [&](const char* data, size_t size) { out.append(data, size); };
    TPlainWriter w(sink);
    WriteRow(w, row);
    w.Flush();
    return out;
  }

  // Calls `visit` with each row of the table, in file order.
  template <class F>
  static void ForEachRow(const Table& t, F visit) {
    for (const auto& row : t.RowList) visit(*row);
  }

private:
  Table& AddTable(xmlNode* node) {
    auto t = std::make_unique<Table>();
    t->Node = node;
    t->Name = tiXMLAttrText(xmlHasProp(node, tiXMLChars(Tags().TableName().c_str())));
    t->Key = LowerAscii(t->Name);
    t->Fields = FirstChildElement(node, Tags().Fields());
    t->Rows = FirstChildElement(node, Tags().Rows());
    Table& ref = *t;
    tables_.push_back(std::move(t));
    byKey_.emplace(ref.Key, &ref);  // the first table of a name wins
    return ref;
  }

  // The table's rows: those the parser took, and those the document holds as elements. Plain row elements
  // become rows and leave the document; a rows element that holds anything else keeps its row elements, each
  // in step with its row.
  void LoadRows(Table& t, TRowsTaker* taken) {
    if (!t.Rows) return;
    if (taken) {
      auto it = taken->Rows.find(t.Rows);
      if (it != taken->Rows.end()) {
        for (auto& row : it->second) AppendRow(t, std::move(row));
        taken->Rows.erase(it);
      }
    }
    bool plain = true;
    for (const xmlNode* c = t.Rows->children; c && plain; c = c->next) plain = PlainRow(c);
    t.Backed = !plain;
    for (xmlNode* c = t.Rows->children; c;) {
      xmlNode* next = c->next;
      if (IsElement(c, Tags().Row())) {
        auto row = std::make_unique<TtiXMLRow>();
        row->Line = static_cast<int>(xmlGetLineNo(c));
        for (const xmlAttr* a = c->properties; a; a = a->next)
          row->Add(names_.Intern(tiXMLChars(a->name)),
                   a->ns && a->ns->prefix ? names_.Intern(tiXMLChars(a->ns->prefix)) : 0, tiXMLAttrText(a));
        if (plain) {
          xmlUnlinkNode(c);
          xmlFreeNode(c);
        } else {
          row->Node = c;
        }
        AppendRow(t, std::move(row));
      }
      c = next;
    }
  }

  void AppendRow(Table& t, std::unique_ptr<TtiXMLRow> row) {
    row->Ordinal = ++t.LastOrdinal;
    size_t hash = 0;
    for (auto& [name, ix] : t.Indexes)
      if (HashOf(*row, name, hash)) ix.Append(hash, row.get());
    t.RowList.push_back(std::move(row));
  }

  // The row element of the row, appended to the table's rows element (the row's Node from now on).
  void AddElement(Table& t, TtiXMLRow& row) {
    TtiXMLNodePtr node(xmlNewDocNode(doc_.get(), nullptr, tiXMLChars(Tags().Row().c_str()), nullptr));
    if (!node) throw std::bad_alloc();
    node->line = static_cast<unsigned short>(std::min(row.Line, 65535));
    for (size_t i = 0; i < row.Attrs.size(); ++i) {
      const std::string value(row.Value(i));
      const std::string& name = names_.Name(row.Attrs[i].Name);
      xmlNs* ns = row.Attrs[i].Prefix
                      ? xmlSearchNs(doc_.get(), t.Rows, tiXMLChars(names_.Name(row.Attrs[i].Prefix).c_str()))
                      : nullptr;
      const bool added = ns ? xmlNewNsProp(node.get(), ns, tiXMLChars(name.c_str()), tiXMLChars(value.c_str()))
                            : xmlNewProp(node.get(), tiXMLChars(name.c_str()), tiXMLChars(value.c_str()));
      if (!added) throw std::bad_alloc();
    }
    row.Node = node.get();
    xmlAddChild(t.Rows, node.release());
  }

  // The table's rows made elements of the document as well (before libxml2 writes it).
  void MakeElements(Table& t) {
    if (t.Backed || !t.Rows) return;
    for (auto& row : t.RowList) AddElement(t, *row);
    t.Backed = true;
  }

  RowIndex& IndexFor(Table& t, uint32_t name) {
    auto it = t.Indexes.find(name);
    if (it != t.Indexes.end()) return it->second;
    RowIndex& ix = t.Indexes[name];
    size_t hash = 0;
    for (auto& row : t.RowList)
      if (HashOf(*row, name, hash)) ix.Append(hash, row.get());
    return ix;
  }

  void WriteElement(TPlainWriter& w, const xmlNode* n,
                    const std::unordered_map<const xmlNode*, const Table*>& rowsOf) const {
    w.Text("<");
    w.Text(tiXMLChars(n->name));
    for (const xmlAttr* a = n->properties; a; a = a->next) {
      w.Text(" ");
      w.Text(tiXMLChars(a->name));
      w.Text("=\"");
      if (a->children) w.AttrValue(tiXMLChars(a->children->content));
      w.Text("\"");
    }
    const auto rows = rowsOf.find(n);
    const bool hasRows = rows != rowsOf.end() && !rows->second->RowList.empty();
    if (!n->children && !hasRows) {
      w.Text("/>");
      return;
    }
    w.Text(">");
    for (const xmlNode* c = n->children; c; c = c->next) WriteElement(w, c, rowsOf);
    if (hasRows)
      for (const auto& row : rows->second->RowList) WriteRow(w, *row);
    w.Text("</");
    w.Text(tiXMLChars(n->name));
    w.Text(">");
  }

  void WriteRow(TPlainWriter& w, const TtiXMLRow& row) const {
    w.Text("<");
    w.Text(Tags().Row());
    for (size_t i = 0; i < row.Attrs.size(); ++i) {
      w.Text(" ");
      if (row.Attrs[i].Prefix) {
        w.Text(names_.Name(row.Attrs[i].Prefix));
        w.Text(":");
      }
      w.Text(names_.Name(row.Attrs[i].Name));
      w.Text("=\"");
      w.AttrValue(row.Value(i));
      w.Text("\"");
    }
    w.Text("/>");
  }

  // Takes the node out of the document but keeps it until the document goes: a query that selected it may
  // still read it.
  void Bury(xmlNode* node) {
    xmlUnlinkNode(node);
    graveyard_.push_back(node);
  }

  uint64_t id_;
  TtiXMLDocPtr doc_;
  TNames names_;
  xmlNode* tablesNode_ = nullptr;
  std::vector<std::unique_ptr<Table>> tables_;
  std::unordered_map<std::string, Table*> byKey_;
  std::vector<xmlNode*> graveyard_;
  TRowList buriedRows_;  // rows deleted, for the queries that selected them
};

std::unique_ptr<TtiXMLElementTaker> TtiDatabaseXML::NewRowTaker() { return std::make_unique<TRowsTaker>(); }

// ---------------------------------------------------------------------------------------------------------
// TtiDatabaseXML

const TtiClass& TtiDatabaseXML::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabaseXML, TtiDatabase>(), "TtiDatabaseXML");
  return c;
}

TtiDatabaseXML::TtiDatabaseXML() = default;
TtiDatabaseXML::~TtiDatabaseXML() = default;

bool TtiDatabaseXML::GetConnected() { return store_ != nullptr; }

bool TtiDatabaseXML::Modified() const { return store_ && store_->Modified; }

TtiXMLStore& TtiDatabaseXML::Store() {
  if (!store_) throw EtiPerDBException(cTIPersistXML, DatabaseName(), UserName(), Password(), "Not connected");
  return *store_;
}

void TtiDatabaseXML::CanNotConnect(const std::string& reason, int line, int column, const std::string& details) {
  const std::string cr = "\r";
  throw EtiPerDBExceptionCanNotConnect(
      cTIPersistXML, DatabaseName(), UserName(), Password(),
      "XML load error: " + reason + cr + "Line: " + std::to_string(line) + cr + "Position: " +
          std::to_string(column) + cr + "Details " + details + cr + "XML " + DatabaseName());
}

void TtiDatabaseXML::SetConnected(bool value) {
  if (!value) {
    if (store_) Log(tiFormat("Disconnecting from %s", {DatabaseName()}), lsDBConnection);
    store_.reset();
    inTransaction_ = false;
    anew_ = false;
    return;
  }
  // Whatever happens below, the document held so far is gone: a reload that fails must not leave the old
  // one looking current, and a pool must not hand out this connection again until a load succeeds.
  store_.reset();
  SetErrorInLastCall(true);
  anew_ = false;
  TtiXMLParseResult r = TtiXMLDocumentOffer::TakeFor(DatabaseName());
  // Only an offer of a document made in memory comes without the file it was read from.
  const bool anew = r.Doc && r.File.Size < 0;
  if (!r.Doc) r = tiXMLParseFile(DatabaseName(), 0, tiXMLMaxFileSize, NewRowTaker());
  if (!r.Doc) CanNotConnect(r.Error.Reason, r.Error.Line, r.Error.Column, r.Error.Context);
  const xmlNode* root = xmlDocGetRootElement(r.Doc.get());
  if (!IsElement(root, Tags().DocData()))
    CanNotConnect("the root element is <" + std::string(tiXMLChars(root->name)) + ">, not <" + Tags().DocData() +
                      ">",
                  r.RootLine, r.RootColumn, "");
  store_ = std::make_unique<TtiXMLStore>(std::move(r.Doc), std::move(r.Taken));
  anew_ = anew;
  SetErrorInLastCall(false);
}

bool TtiDatabaseXML::TestConnectTo(const std::string& dbName, const std::string&, const std::string&,
                                   const std::string&) {
  return FileExists(dbName);
}

void TtiDatabaseXML::CreateDatabase(const std::string& dbName, const std::string&, const std::string&) {
  try {
    tiStringToNewFile(Tags().DocumentStart() + Tags().DocumentEnd(), dbName);
  } catch (const Exception& e) {
    throw EtiPerFileException(e.Message());
  }
}

void TtiDatabaseXML::ResetTables(const std::vector<const TtiDBMetaDataTable*>& tables) {
  TtiXMLStore& st = Store();
  if (!inTransaction_) throw EtiPerInternalException("Attempt to reset the tables but not in a transaction.");
  st.Reset(tables);
}

bool TtiDatabaseXML::FindUndeclaredAttribute(TUndeclaredAttribute& found) {
  TtiXMLStore& st = Store();
  const TNames& names = st.Names();
  for (const auto& t : st.Tables()) {
    std::vector<int64_t> declared;
    for (const TXMLFieldDef& d : st.Defs(*t)) declared.push_back(names.Find(d.Attr));
    int number = 0;
    bool done = false;
    TtiXMLStore::ForEachRow(*t, [&](const TtiXMLRow& row) {
      if (done) return;
      ++number;
      size_t at = 0;  // attributes come in the order of the columns: the next one is tried first
      for (const TtiXMLRow::TAttr& a : row.Attrs) {
        bool known = false;
        if (!a.Prefix) {
          if (at < declared.size() && declared[at] == a.Name) {
            known = true;
          } else {
            const auto it = std::find(declared.begin(), declared.end(), a.Name);
            known = it != declared.end();
            at = static_cast<size_t>(it - declared.begin());
          }
          ++at;
        }
        if (known) continue;
        found.Table = t->Name;
        found.Row = number;
        found.Attribute = a.Prefix ? names.Name(a.Prefix) + ":" + names.Name(a.Name) : names.Name(a.Name);
        found.Line = row.Line;
        done = true;
        return;
      }
    });
    if (done) return true;
  }
  return false;
}

void TtiDatabaseXML::ScanRows(const std::string& table, const std::vector<std::string>& attributes,
                              const std::function<void(const std::vector<std::string_view>& values)>& visit) {
  TtiXMLStore& st = Store();
  TtiXMLStore::Table* t = st.FindTable(table);
  if (!t || !t->Rows) return;
  std::vector<int64_t> names;
  for (const std::string& a : attributes) names.push_back(st.Names().Find(a));
  std::vector<std::string_view> values(attributes.size());
  TtiXMLStore::ForEachRow(*t, [&](const TtiXMLRow& row) {
    for (size_t i = 0; i < names.size(); ++i) {
      const int at = names[i] < 0 ? -1 : row.Find(static_cast<uint32_t>(names[i]));
      values[i] = at < 0 ? std::string_view() : row.Value(static_cast<size_t>(at));
    }
    visit(values);
  });
}

void TtiDatabaseXML::StartTransaction() { inTransaction_ = true; }

void TtiDatabaseXML::Commit() {
  if (!inTransaction_) throw EtiPerInternalException("Attempt to commit but not in a transaction.");
  if (store_ && store_->Modified) {
    try {
      tiWriteFileAtomically(DatabaseName(), [&](const TtiByteSink& sink) { store_->Write(sink); });
    } catch (const Exception& e) {
      throw EtiPerFileException(e.Message());
    }
    store_->Modified = false;
    anew_ = false;
  }
  inTransaction_ = false;
}

void TtiDatabaseXML::RollBack() {
  inTransaction_ = false;
  // An unchanged document is what the file holds: there is nothing to discard.
  if (store_ && !store_->Modified) return;
  if (anew_) {
    const TtiXMLDocumentOffer empty(DatabaseName());
    SetConnected(true);
    return;
  }
  SetConnected(true);
}

void TtiDatabaseXML::ReadMetaDataTables(TtiDBMetaData& metaData) {
  for (const auto& t : Store().Tables()) {
    auto table = std::make_unique<TtiDBMetaDataTable>();
    table->SetName(t->Name);
    table->SetObjectState(posPK);
    metaData.Add(std::move(table));
  }
  metaData.SetObjectState(posClean);
}

void TtiDatabaseXML::ReadMetaDataFields(TtiDBMetaDataTable& table) {
  TtiXMLStore& st = Store();
  TtiXMLStore::Table* t = st.FindTable(table.GetName());
  if (!t) return;
  for (const TXMLFieldDef& d : st.Defs(*t)) table.AddField(d.Name, d.Kind, d.Width);
  table.SetObjectState(posClean);
}

void TtiDatabaseXML::ExecSQL(const std::string&, const TtiQueryParams*) {
  throw EtiPerProgrammerException("The persistence layer <%s> runs no SQL", {std::string(cTIPersistXML)});
}

void TtiDatabaseXML::CreateTable(const TtiDBMetaDataTable& table) {
  TtiXMLStore& st = Store();
  if (st.FindTable(table.GetName()))
    throw EtiPerInternalException("Attempt to create duplicate table name <" + table.GetName() + ">");
  TtiOwnTransaction transaction(*this);
  st.CreateTable(table);
  transaction.Commit();
}

void TtiDatabaseXML::DropTable(const TtiDBMetaDataTable& table) {
  TtiXMLStore& st = Store();
  TtiXMLStore::Table* t = st.FindTable(table.GetName());
  if (!t) return;
  TtiOwnTransaction transaction(*this);
  st.DropTable(*t);
  transaction.Commit();
}

// ---------------------------------------------------------------------------------------------------------
// TtiQueryXML

const TtiClass& TtiQueryXML::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryXML, TtiQueryNonSQL>(), "TtiQueryXML");
  return c;
}

TtiQueryXML::TtiQueryXML() = default;
TtiQueryXML::~TtiQueryXML() = default;

void TtiQueryXML::AttachDatabase(TtiDatabase* database) {
  auto* db = dynamic_cast<TtiDatabaseXML*>(database);
  if (database && !db)
    throw EtiPerProgrammerException("TtiQueryXML can not work on a database of class <%s>",
                                    {database->ClassName()});
  SetActive(false);
  TtiQueryNonSQL::AttachDatabase(database);
  db_ = db;
}

TtiDatabaseXML& TtiQueryXML::Db() const {
  if (!db_ || Database() != db_) throw EtiPerProgrammerException("TtiQueryXML used without a database attached");
  return *db_;
}

void TtiQueryXML::SetActive(bool value) {
  lastRow_ = nullptr;
  lastSlot_ = -1;
  if (!value) {
    std::vector<TtiXMLRow*>().swap(rows_);
    index_ = 0;
    storeId_ = 0;
  }
  active_ = value;
}

bool TtiQueryXML::Eof() { return index_ >= rows_.size(); }

void TtiQueryXML::Next() {
  if (index_ < rows_.size()) ++index_;
}

void TtiQueryXML::Reset() {
  SetActive(false);
  sql_.clear();
  Params().Clear();
  tableName_.clear();
}

void TtiQueryXML::SelectRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  SetActive(false);
  TtiXMLStore& st = Db().Store();
  tableName_ = LowerAscii(tableName);
  TtiXMLStore::Table* t = st.FindTable(tableName_);
  if (!t) throw EtiPerInternalException("Can not find table <" + tableName + "> in <" + Db().DatabaseName() + ">");
  rows_ = st.Select(*t, whereParams);
  storeId_ = st.Id();
  index_ = 0;
  active_ = true;
}

void TtiQueryXML::InsertRow(const std::string& tableName, const TtiQueryParams* params) {
  TtiXMLStore& st = Db().Store();
  TtiXMLStore::Table* t = st.FindTable(tableName);
  if (!t) throw EtiPerInternalException("Can not find table <" + tableName + "> in <" + Db().DatabaseName() + ">");
  st.Insert(*t, params);
}

void TtiQueryXML::DeleteRow(const std::string& tableName, const TtiQueryParams* whereParams) {
  TtiXMLStore& st = Db().Store();
  if (TtiXMLStore::Table* t = st.FindTable(tableName)) st.Delete(*t, whereParams);
}

void TtiQueryXML::UpdateRow(const std::string& tableName, const TtiQueryParams* params,
                            const TtiQueryParams* whereParams) {
  TtiXMLStore& st = Db().Store();
  if (TtiXMLStore::Table* t = st.FindTable(tableName)) st.Update(*t, params, whereParams);
}

void TtiQueryXML::ReadError(const TFieldLabel& label, const std::string& message) {
  std::string rowText;
  if (index_ < rows_.size() && db_ && db_->StoreOrNull() && db_->StoreOrNull()->Id() == storeId_)
    rowText = tiAbbrevStr(db_->StoreOrNull()->RowXML(*rows_[index_]), 1000);
  const std::string cr = "\r";
  throw EtiPerDataException(label.Text() + cr + "From row <" + std::to_string(index_) + "> " + cr + "In table <" +
                            tableName_ + "> " + cr + "XML: <" + rowText + "> Message: " + message);
}

std::string TtiQueryXML::RawField(const std::string& name, const TFieldLabel& label) {
  if (index_ >= rows_.size()) ReadError(label, "There is no current row");
  // The rows belong to the document they were selected from; once it is reloaded or dropped they are gone.
  if (!db_ || !db_->StoreOrNull() || db_->StoreOrNull()->Id() != storeId_)
    ReadError(label, "The selected rows are no longer valid: the database was reloaded or disconnected");
  lowerName_.assign(name);
  for (char& c : lowerName_)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  const int64_t id = db_->StoreOrNull()->Names().Find(lowerName_);
  if (id < 0) return {};  // no row has such an attribute
  const auto wanted = static_cast<uint32_t>(id);
  // Fields are mostly read in the order of the columns, which is the order of a row's attributes: the search
  // starts after the attribute found last in the same row.
  const TtiXMLRow* row = rows_[index_];
  const size_t count = row->Attrs.size();
  const size_t start = lastRow_ == row && lastSlot_ >= 0 ? static_cast<size_t>(lastSlot_) + 1 : 0;
  int found = -1;
  for (size_t k = 0; k < count && found < 0; ++k) {
    const size_t i = (start + k) % count;
    if (row->Attrs[i].Name == wanted) found = static_cast<int>(i);
  }
  lastRow_ = row;
  lastSlot_ = found;
  return found < 0 ? std::string() : std::string(row->Value(static_cast<size_t>(found)));
}

template <class F>
auto TtiQueryXML::Read(const std::string& name, const TFieldLabel& label, F convert) {
  const std::string raw = RawField(name, label);
  try {
    return convert(raw);
  } catch (const std::exception& e) {
    ReadError(label, e.what());
  }
}

std::string TtiQueryXML::TFieldLabel::Text() const {
  return Name ? "Error reading field <" + *Name + "> " : "Error reading field index <" + std::to_string(Index) + "> ";
}

std::string TtiQueryXML::FieldAsString(const std::string& name) {
  std::string raw = RawField(name, NameLabel(name));
  // Only a text with "&" holds escapes; nearly none does.
  if (raw.find('&') == std::string::npos) return raw;
  return Translator().RemoveReservedChars(xckLineBreaks, raw);
}

double TtiQueryXML::FieldAsFloat(const std::string& name) {
  return Read(name, NameLabel(name), [](const std::string& s) { return s.empty() ? 0.0 : tiXMLStrToFloat(s); });
}

bool TtiQueryXML::FieldAsBoolean(const std::string& name) { return tiStrToBool(RawField(name, NameLabel(name))); }

int64_t TtiQueryXML::FieldAsInteger(const std::string& name) {
  return Read(name, NameLabel(name),
              [](const std::string& s) { return s.empty() ? int64_t(0) : Value::TextToInteger(s); });
}

TDateTime TtiQueryXML::FieldAsDateTime(const std::string& name) {
  return Read(name, NameLabel(name), [](const std::string& s) { return tiXMLStringToDateTime(s); });
}

bool TtiQueryXML::FieldIsNull(const std::string& name) { return RawField(name, NameLabel(name)).empty(); }

std::string TtiQueryXML::ColumnName(int index) {
  if (index < 0 || index >= FieldCount()) ReadError(IndexLabel(index), tiFormat("List index out of bounds (%d)", {index}));
  return FieldName(index);
}

std::string TtiQueryXML::FieldAsStringByIndex(int index) {
  const std::string name = ColumnName(index);
  return Translator().RemoveReservedChars(xckLineBreaks, RawField(name, IndexLabel(index)));
}

double TtiQueryXML::FieldAsFloatByIndex(int index) {
  return Read(ColumnName(index), IndexLabel(index),
              [](const std::string& s) { return s.empty() ? 0.0 : tiXMLStrToFloat(s); });
}

bool TtiQueryXML::FieldAsBooleanByIndex(int index) {
  return tiStrToBool(RawField(ColumnName(index), IndexLabel(index)));
}

int64_t TtiQueryXML::FieldAsIntegerByIndex(int index) {
  return Read(ColumnName(index), IndexLabel(index),
              [](const std::string& s) { return s.empty() ? int64_t(0) : Value::TextToInteger(s); });
}

TDateTime TtiQueryXML::FieldAsDateTimeByIndex(int index) {
  return Read(ColumnName(index), IndexLabel(index), [](const std::string& s) { return tiXMLStringToDateTime(s); });
}

bool TtiQueryXML::FieldIsNullByIndex(int index) { return RawField(ColumnName(index), IndexLabel(index)).empty(); }

void TtiQueryXML::AssignFieldAsStream(const std::string& name, std::ostream& stream) {
  stream << MimeDecodeString(RawField(name, NameLabel(name)));
}

void TtiQueryXML::AssignFieldAsStreamByIndex(int index, std::ostream& stream) {
  stream << MimeDecodeString(RawField(ColumnName(index), IndexLabel(index)));
}

namespace {
// The declared columns of the selected table; none when no table is selected or it has gone.
const std::vector<TXMLFieldDef>* SelectedDefs(TtiDatabaseXML& db, const std::string& tableName) {
  TtiXMLStore* st = db.StoreOrNull();
  TtiXMLStore::Table* t = st && !tableName.empty() ? st->FindTable(tableName) : nullptr;
  return t ? &st->Defs(*t) : nullptr;
}
}  // namespace

int TtiQueryXML::FieldCount() {
  const auto* defs = SelectedDefs(Db(), tableName_);
  return defs ? static_cast<int>(defs->size()) : 0;
}

std::string TtiQueryXML::FieldName(int index) {
  const auto* defs = SelectedDefs(Db(), tableName_);
  if (!defs || index < 0 || index >= static_cast<int>(defs->size()))
    throw EtiPerProgrammerException("List index out of bounds (%d)", {index});
  return (*defs)[static_cast<size_t>(index)].Name;
}

int TtiQueryXML::FieldIndex(const std::string& name) {
  const auto* defs = SelectedDefs(Db(), tableName_);
  for (size_t i = 0; defs && i < defs->size(); ++i)
    if (SameTextAscii((*defs)[i].Name, name)) return static_cast<int>(i);
  return -1;
}

TtiQueryFieldKind TtiQueryXML::FieldKind(int index) {
  const auto* defs = SelectedDefs(Db(), tableName_);
  if (!defs || index < 0 || index >= static_cast<int>(defs->size()))
    throw EtiPerProgrammerException("List index out of bounds (%d)", {index});
  return (*defs)[static_cast<size_t>(index)].Kind;
}

int TtiQueryXML::FieldSize(int index) {
  const auto* defs = SelectedDefs(Db(), tableName_);
  if (!defs || index < 0 || index >= static_cast<int>(defs->size()))
    throw EtiPerProgrammerException("List index out of bounds (%d)", {index});
  return (*defs)[static_cast<size_t>(index)].Width;
}

// ---------------------------------------------------------------------------------------------------------
// Pool data and registration

const TtiClass& TtiDBConnectionPoolDataXML::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBConnectionPoolDataXML, TtiDBConnectionPoolDataAbs>(),
                          "TtiDBConnectionPoolDataXML");
  return c;
}

void TtiDBConnectionPoolDataXML::InitDBConnectionPool() {
  if (TDBConnectionPool* pool = DBConnectionPool()) {
    pool->SetMinPoolSize(0);
    pool->SetMaxPoolSize(1);
  }
}

// ---------------------------------------------------------------------------------------------------------
// Documents read elsewhere

namespace {
thread_local TtiXMLDocumentOffer* tOffer = nullptr;

TtiXMLFileStamp StampOf(const std::string& fileName) {
  TtiXMLFileStamp stamp;
  struct stat st {};
  if (::stat(fileName.c_str(), &st) != 0) return stamp;
  return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
          st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}
}  // namespace

TtiXMLDocumentOffer::TtiXMLDocumentOffer(std::string fileName, TtiXMLParseResult&& read)
    : fileName_(std::move(fileName)), read_(std::move(read)), outer_(tOffer) {
  tOffer = this;
}

TtiXMLDocumentOffer::TtiXMLDocumentOffer(std::string fileName)
    : fileName_(std::move(fileName)), anyFile_(true), outer_(tOffer) {
  read_ = tiXMLParseMemory(Tags().DocumentStart() + Tags().DocumentEnd());
  if (!read_.Doc) throw EtiPerInternalException("The empty XML store can not be made: " + read_.Error.Reason);
  tOffer = this;
}

TtiXMLDocumentOffer::~TtiXMLDocumentOffer() { tOffer = outer_; }

TtiXMLParseResult TtiXMLDocumentOffer::TakeFor(const std::string& fileName) {
  TtiXMLDocumentOffer* o = tOffer;
  if (!o || !o->read_.Doc || o->fileName_ != fileName) return {};
  if (!o->anyFile_ && (o->read_.File.Size < 0 || !(StampOf(fileName) == o->read_.File))) return {};
  return std::move(o->read_);
}

void RegisterPersistenceLayerXML() {
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(cTIPersistXML, &TtiDBConnectionPoolDataXML::StaticClass(),
                                                             TtiQueryXML::StaticClass(),
                                                             TtiDatabaseXML::StaticClass());
}

void UnRegisterPersistenceLayerXML() {
  if (tiPerMgrAssigned()) tiPerMgr().GetPersistenceLayers().UnRegisterPersistenceLayer(cTIPersistXML);
}

}  // namespace kelvado
