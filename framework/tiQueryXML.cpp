#include "framework/tiQueryXML.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <ostream>
#include <unordered_map>

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

xmlAttr* FindAttr(xmlNode* node, const char* name) {
  for (xmlAttr* a = node->properties; a; a = a->next)
    if (std::strcmp(tiXMLChars(a->name), name) == 0) return a;
  return nullptr;
}

// Whether the attribute's text equals `text`, without copying it in the usual case of one text node.
bool AttrEquals(const xmlAttr* a, const std::string& text) {
  const xmlNode* t = a->children;
  if (!t) return text.empty();
  if (!t->next && t->type == XML_TEXT_NODE)
    return t->content ? text == tiXMLChars(t->content) : text.empty();
  return tiXMLAttrText(a) == text;
}

// Rows carry their position in the table (set when the table's first index is built) in the node's field
// that libxml2 leaves to its users; index buckets are kept in that order, which is the order of the file.
uint64_t Ordinal(const xmlNode* row) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(row->_private)); }
void SetOrdinal(xmlNode* row, uint64_t n) { row->_private = reinterpret_cast<void*>(static_cast<uintptr_t>(n)); }
bool ByOrdinal(const xmlNode* a, const xmlNode* b) { return Ordinal(a) < Ordinal(b); }

size_t TextHash(std::string_view text) { return std::hash<std::string_view>()(text); }

// The hash of an attribute's text, read in place when it is one text node (as nearly always).
size_t AttrHash(const xmlAttr* a) {
  const xmlNode* t = a->children;
  if (!t) return TextHash({});
  if (!t->next && t->type == XML_TEXT_NODE) return TextHash(t->content ? tiXMLChars(t->content) : "");
  return TextHash(tiXMLAttrText(a));
}

// An index of a table by one attribute: the rows' attributes of that name by the hash of their text, each bucket
// in file order. Rows whose different texts share a hash are told apart by their text when looked up; no text
// is copied into the index. The attribute is kept (its row is its parent): a look-up checks its text without
// searching the row's attributes for it.
class TRowIndex {
public:
  // A row after all the bucket holds (a row just read or appended), by its attribute.
  void Append(size_t hash, xmlAttr* attr) {
    TBucket& b = buckets_[hash];
    if (!b.One) b.One = attr;
    else b.More.push_back(attr);
  }
  // A row at its place by ordinal, by its attribute.
  void Insert(size_t hash, xmlAttr* attr) {
    TBucket& b = buckets_[hash];
    if (!b.One) {
      b.One = attr;
    } else if (Before(attr, b.One)) {
      b.More.insert(b.More.begin(), b.One);
      b.One = attr;
    } else {
      b.More.insert(std::upper_bound(b.More.begin(), b.More.end(), attr, Before), attr);
    }
  }
  void Remove(size_t hash, const xmlNode* row) {
    auto it = buckets_.find(hash);
    if (it == buckets_.end()) return;
    TBucket& b = it->second;
    if (b.One->parent == row) {
      if (b.More.empty()) {
        buckets_.erase(it);
        return;
      }
      b.One = b.More.front();
      b.More.erase(b.More.begin());
      return;
    }
    auto pos = std::lower_bound(b.More.begin(), b.More.end(), row,
                                [](const xmlAttr* a, const xmlNode* r) { return Ordinal(a->parent) < Ordinal(r); });
    if (pos != b.More.end() && (*pos)->parent == row) b.More.erase(pos);
  }
  // The rows of the bucket, in file order (those of other texts included).
  size_t Count(size_t hash) const {
    auto it = buckets_.find(hash);
    return it == buckets_.end() ? 0 : 1 + it->second.More.size();
  }
  // `f` is given the indexed attribute of each row of the bucket, in file order.
  template <class F>
  void ForEach(size_t hash, F f) const {
    auto it = buckets_.find(hash);
    if (it == buckets_.end()) return;
    f(it->second.One);
    for (xmlAttr* a : it->second.More) f(a);
  }

private:
  static bool Before(const xmlAttr* a, const xmlAttr* b) { return ByOrdinal(a->parent, b->parent); }

  struct TBucket {
    xmlAttr* One = nullptr;       // of the first row
    std::vector<xmlAttr*> More;   // of the rows after it (most texts have one row: no vector is made for them)
  };
  std::unordered_map<size_t, TBucket> buckets_;
};

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
  std::string Attr;
  std::string Text;
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
    bool Numbered = false;
    uint64_t LastOrdinal = 0;
    std::unordered_map<std::string, RowIndex> Indexes;  // by attribute name
    std::vector<size_t> InsertHints;  // per parameter position: the column it matched at the last insert
    std::vector<std::string> Values;  // per column: the text of the row being inserted
    // Rows of the table this one replaced (ResetTables), not in the document, used again by Insert.
    std::vector<xmlNode*> Spare;
    size_t NextSpare = 0;
  };

  explicit TtiXMLStore(TtiXMLDocPtr doc) : id_(gNextStoreId++), doc_(std::move(doc)) {
    xmlNode* root = xmlDocGetRootElement(doc_.get());
    for (xmlNode* c = root ? root->children : nullptr; c; c = c->next) {
      if (!IsElement(c, Tags().Tables())) continue;
      if (!tablesNode_) tablesNode_ = c;
      for (xmlNode* t = c->children; t; t = t->next)
        if (IsElement(t, Tags().Table())) AddTable(t);
    }
  }

  ~TtiXMLStore() {
    // Removed rows and tables still use the document's name dictionary: free them first.
    DropSpares();
    for (xmlNode* n : graveyard_) xmlFreeNode(n);
  }

  TtiXMLStore(const TtiXMLStore&) = delete;
  TtiXMLStore& operator=(const TtiXMLStore&) = delete;

  uint64_t Id() const { return id_; }
  xmlDoc* Doc() const { return doc_.get(); }
  bool Modified = false;

  const std::vector<std::unique_ptr<Table>>& Tables() const { return tables_; }

  Table* FindTable(const std::string& name) {
    auto it = byKey_.find(LowerAscii(name));
    return it == byKey_.end() ? nullptr : it->second;
  }

  xmlNode* TablesNode() const { return tablesNode_; }

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
    t.Columns = std::move(columns);
    t.ColumnsRead = true;
    return t.Columns;
  }

  std::vector<xmlNode*> Select(Table& t, const TtiQueryParams* where) {
    const std::vector<TCriterion> criteria = Criteria(t, where);
    std::vector<xmlNode*> out;
    if (criteria.empty()) {
      ForEachRow(t, [&](xmlNode* row) { out.push_back(row); });
      return out;
    }
    // Every criterion's index first (building one never moves the buckets of another), then the rows of the
    // smallest bucket, checked against all criteria (a bucket may hold rows of other texts of the same hash).
    for (const TCriterion& c : criteria) IndexFor(t, c.Attr);
    const RowIndex* best = nullptr;
    const TCriterion* bestCriterion = nullptr;
    size_t bestHash = 0, bestCount = 0;
    for (const TCriterion& c : criteria) {
      const RowIndex& ix = t.Indexes.at(c.Attr);
      const size_t hash = TextHash(c.Text);
      const size_t count = ix.Count(hash);
      if (count == 0) return out;
      if (!best || count < bestCount) {
        best = &ix;
        bestCriterion = &c;
        bestHash = hash;
        bestCount = count;
      }
    }
    out.reserve(bestCount);
    best->ForEach(bestHash, [&](xmlAttr* a) {
      if (!AttrEquals(a, bestCriterion->Text)) return;
      for (const TCriterion& c : criteria) {
        if (&c == bestCriterion) continue;
        const xmlAttr* other = FindAttr(a->parent, c.Attr.c_str());
        if (!other || !AttrEquals(other, c.Text)) return;
      }
      out.push_back(a->parent);
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
    xmlNode* row = ReuseSpare(t, columns, values);
    if (!row) {
      TtiXMLNodePtr newRow(xmlNewDocNode(doc_.get(), nullptr, tiXMLChars(Tags().Row().c_str()), nullptr));
      if (!newRow) throw std::bad_alloc();
      for (size_t c = 0; c < columns.size(); ++c)
        if (!xmlNewProp(newRow.get(), tiXMLChars(columns[c].c_str()), tiXMLChars(values[c].c_str())))
          throw std::bad_alloc();
      row = newRow.release();
    }
    xmlAddChild(t.Rows, row);
    Modified = true;
    if (t.Numbered) SetOrdinal(row, ++t.LastOrdinal);
    for (auto& [attr, ix] : t.Indexes)
      if (xmlAttr* a = FindAttr(row, attr.c_str())) ix.Append(AttrHash(a), a);
  }

  void Update(Table& t, const TtiQueryParams* params, const TtiQueryParams* where) {
    std::vector<std::pair<std::string, std::string>> values;
    for (int i = 0; params && i < params->Count(); ++i) {
      const TtiQueryParamAbs& p = *params->Items(i);
      values.emplace_back(AttrName(p.GetName(), t.Name), StoredText(p, t.Name));
    }
    const std::vector<xmlNode*> rows = Select(t, where);
    if (rows.empty() || values.empty()) return;
    Modified = true;
    for (xmlNode* row : rows)
      for (const auto& [attr, text] : values) {
        auto ix = t.Indexes.find(attr);
        if (ix != t.Indexes.end())
          if (xmlAttr* a = FindAttr(row, attr.c_str())) ix->second.Remove(AttrHash(a), row);
        if (!xmlSetProp(row, tiXMLChars(attr.c_str()), tiXMLChars(text.c_str()))) throw std::bad_alloc();
        if (ix != t.Indexes.end())
          if (xmlAttr* a = FindAttr(row, attr.c_str())) ix->second.Insert(TextHash(text), a);
      }
  }

  void Delete(Table& t, const TtiQueryParams* where) {
    const std::vector<xmlNode*> rows = Select(t, where);
    for (xmlNode* row : rows) {
      for (auto& [attr, ix] : t.Indexes)
        if (xmlAttr* a = FindAttr(row, attr.c_str())) ix.Remove(AttrHash(a), row);
      Bury(row);
    }
    if (!rows.empty()) Modified = true;
  }

  // The document becomes the given tables, in this order and without rows. The rows of a table of the same
  // name and the same columns (in the same order) are kept aside for the inserts into its successor.
  void Reset(const std::vector<const TtiDBMetaDataTable*>& defs) {
    if (!tablesNode_) throw EtiPerInternalException("Cant find XML <%s> element", {Tags().Tables()});
    // The new tables' names checked before anything changes.
    for (const TtiDBMetaDataTable* md : defs)
      for (int i = 0; i < md->Count(); ++i) AttrName(md->Items(i)->GetName(), md->GetName());
    std::unordered_map<std::string, std::vector<xmlNode*>> spare;
    for (const TtiDBMetaDataTable* md : defs) {
      Table* old = FindTable(md->GetName());
      if (!old || !old->Rows || spare.count(old->Key)) continue;
      std::vector<std::string> columns;
      for (int i = 0; i < md->Count(); ++i) columns.push_back(LowerAscii(md->Items(i)->GetName()));
      if (Columns(*old) != columns) continue;
      std::vector<xmlNode*>& rows = spare[old->Key];
      for (xmlNode* c = old->Rows->children; c;) {
        xmlNode* next = c->next;
        if (IsElement(c, Tags().Row())) {
          xmlUnlinkNode(c);
          rows.push_back(c);
        }
        c = next;
      }
    }
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
    DropSpares();
    tables_.clear();
    byKey_.clear();
    Modified = true;
    for (const TtiDBMetaDataTable* md : defs) {
      Table& t = CreateTable(*md);
      auto it = spare.find(t.Key);
      if (it != spare.end()) t.Spare = std::move(it->second);
    }
    for (auto& [key, rows] : spare)
      for (xmlNode* row : rows) xmlFreeNode(row);
  }

  // Frees the rows kept aside and not used again.
  void DropSpares() {
    for (auto& t : tables_) {
      for (size_t i = t->NextSpare; i < t->Spare.size(); ++i) xmlFreeNode(t->Spare[i]);
      t->Spare.clear();
      t->NextSpare = 0;
    }
  }

  // The next row kept aside for the table, its values set; null when none is left. A row whose attributes are
  // not exactly the table's columns (a file edited by hand) is freed and the next one tried.
  xmlNode* ReuseSpare(Table& t, const std::vector<std::string>& columns, const std::vector<std::string>& values) {
    while (t.NextSpare < t.Spare.size()) {
      xmlNode* row = t.Spare[t.NextSpare++];
      size_t c = 0;
      bool fits = true;
      for (xmlAttr* a = row->properties; a && fits; a = a->next, ++c)
        fits = !a->ns && c < columns.size() && columns[c] == tiXMLChars(a->name);
      if (!fits || c != columns.size()) {
        xmlFreeNode(row);
        continue;
      }
      c = 0;
      for (xmlAttr* a = row->properties; a; a = a->next, ++c) {
        if (AttrEquals(a, values[c])) continue;
        xmlNode* text = a->children;
        if (text && !text->next && text->type == XML_TEXT_NODE) {
          xmlNodeSetContent(text, tiXMLChars(values[c].c_str()));
        } else if (!xmlSetProp(row, a->name, tiXMLChars(values[c].c_str()))) {
          xmlFreeNode(row);
          throw std::bad_alloc();
        }
      }
      row->_private = nullptr;
      return row;
    }
    return nullptr;
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
    Modified = true;
    tables_.erase(std::find_if(tables_.begin(), tables_.end(), [&](const auto& p) { return p.get() == &t; }));
    // A second table of the same name (a file edited by hand) is found from now on.
    byKey_.clear();
    for (auto& p : tables_) byKey_.emplace(p->Key, p.get());
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

  template <class F>
  static void ForEachRow(const Table& t, F f) {
    for (xmlNode* c = t.Rows ? t.Rows->children : nullptr; c; c = c->next)
      if (IsElement(c, Tags().Row())) f(c);
  }

  std::vector<TCriterion> Criteria(const Table& t, const TtiQueryParams* where) const {
    std::vector<TCriterion> out;
    for (int i = 0; where && i < where->Count(); ++i) {
      const TtiQueryParamAbs& p = *where->Items(i);
      out.push_back({LowerAscii(p.GetName()), StoredText(p, t.Name)});
    }
    return out;
  }

  RowIndex& IndexFor(Table& t, const std::string& attr) {
    auto it = t.Indexes.find(attr);
    if (it != t.Indexes.end()) return it->second;
    if (!t.Numbered) {
      uint64_t n = 0;
      ForEachRow(t, [&](xmlNode* row) { SetOrdinal(row, ++n); });
      t.LastOrdinal = n;
      t.Numbered = true;
    }
    RowIndex& ix = t.Indexes[attr];
    ForEachRow(t, [&](xmlNode* row) {
      if (xmlAttr* a = FindAttr(row, attr.c_str())) ix.Append(AttrHash(a), a);
    });
    return ix;
  }

  // Takes the node out of the document but keeps it until the document goes: a query that selected it may
  // still read it.
  void Bury(xmlNode* node) {
    xmlUnlinkNode(node);
    graveyard_.push_back(node);
  }

  uint64_t id_;
  TtiXMLDocPtr doc_;
  xmlNode* tablesNode_ = nullptr;
  std::vector<std::unique_ptr<Table>> tables_;
  std::unordered_map<std::string, Table*> byKey_;
  std::vector<xmlNode*> graveyard_;
};

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
  if (!r.Doc) r = tiXMLParseFile(DatabaseName());
  if (!r.Doc) CanNotConnect(r.Error.Reason, r.Error.Line, r.Error.Column, r.Error.Context);
  const xmlNode* root = xmlDocGetRootElement(r.Doc.get());
  if (!IsElement(root, Tags().DocData()))
    CanNotConnect("the root element is <" + std::string(tiXMLChars(root->name)) + ">, not <" + Tags().DocData() +
                      ">",
                  r.RootLine, r.RootColumn, "");
  store_ = std::make_unique<TtiXMLStore>(std::move(r.Doc));
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
  for (const auto& t : st.Tables()) {
    std::vector<std::string> declared;
    for (const TXMLFieldDef& d : st.Defs(*t)) declared.push_back(d.Attr);
    int number = 0;
    for (xmlNode* row = t->Rows ? t->Rows->children : nullptr; row; row = row->next) {
      if (!IsElement(row, Tags().Row())) continue;
      ++number;
      size_t at = 0;  // attributes come in the order of the columns: the next one is tried first
      for (xmlAttr* a = row->properties; a; a = a->next) {
        const char* name = tiXMLChars(a->name);
        bool known = false;
        if (!a->ns) {
          if (at < declared.size() && declared[at] == name) {
            known = true;
          } else {
            const auto it = std::find(declared.begin(), declared.end(), name);
            known = it != declared.end();
            at = static_cast<size_t>(it - declared.begin());
          }
          ++at;
        }
        if (known) continue;
        found.Table = t->Name;
        found.Row = number;
        found.Attribute = a->ns && a->ns->prefix ? std::string(tiXMLChars(a->ns->prefix)) + ":" + name : name;
        found.Line = static_cast<int>(xmlGetLineNo(row));
        return true;
      }
    }
  }
  return false;
}

void TtiDatabaseXML::ScanRows(const std::string& table, const std::vector<std::string>& attributes,
                              const std::function<void(const std::vector<std::string_view>& values)>& visit) {
  TtiXMLStore& st = Store();
  TtiXMLStore::Table* t = st.FindTable(table);
  if (!t || !t->Rows) return;
  std::vector<std::string_view> values(attributes.size());
  std::vector<std::string> copies(attributes.size());  // for a value not held as one text
  for (xmlNode* row = t->Rows->children; row; row = row->next) {
    if (!IsElement(row, Tags().Row())) continue;
    for (size_t i = 0; i < attributes.size(); ++i) {
      const xmlAttr* a = FindAttr(row, attributes[i].c_str());
      const xmlNode* text = a ? a->children : nullptr;
      if (!text) {
        values[i] = {};
      } else if (!text->next && text->type == XML_TEXT_NODE && text->content) {
        values[i] = tiXMLChars(text->content);
      } else {
        copies[i] = tiXMLAttrText(a);
        values[i] = copies[i];
      }
    }
    visit(values);
  }
}

void TtiDatabaseXML::StartTransaction() { inTransaction_ = true; }

void TtiDatabaseXML::Commit() {
  if (!inTransaction_) throw EtiPerInternalException("Attempt to commit but not in a transaction.");
  if (store_ && store_->Modified) {
    try {
      tiXMLSaveFile(store_->Doc(), DatabaseName());
    } catch (const Exception& e) {
      throw EtiPerFileException(e.Message());
    }
    store_->Modified = false;
    store_->DropSpares();
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
  lastAttr_ = nullptr;
  if (!value) {
    std::vector<_xmlNode*>().swap(rows_);
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
    rowText = tiAbbrevStr(tiXMLNodeToString(rows_[index_]), 1000);
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
  // Fields are mostly read in the order of the columns, which is the order of a row's attributes: the search
  // starts after the attribute found last in the same row.
  xmlNode* row = rows_[index_];
  xmlAttr* start = lastRow_ == row && lastAttr_ && lastAttr_->next ? lastAttr_->next : row->properties;
  xmlAttr* found = nullptr;
  for (xmlAttr* a = start; a && !found; a = a->next)
    if (std::strcmp(tiXMLChars(a->name), lowerName_.c_str()) == 0) found = a;
  for (xmlAttr* a = row->properties; a != start && !found; a = a->next)
    if (std::strcmp(tiXMLChars(a->name), lowerName_.c_str()) == 0) found = a;
  lastRow_ = row;
  lastAttr_ = found;
  return tiXMLAttrText(found);
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
