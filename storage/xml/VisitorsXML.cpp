#include "storage/xml/VisitorsXML.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>
#include <vector>

#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiQuery.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/Exceptions.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MetaData.h"
#include "platform/TextCase.h"
#include "storage/db/GlobalsPer.h"
#include "storage/xml/XMLTables.h"

namespace kelvado {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- Values of a row ----

// A float text column: written with "." (FloatToStrInf); read with "." and, on a conversion error, again with
// ",", as files written under a decimal comma may hold it.
double FloatText(std::string_view text) {
  try {
    return StrToFloatInf(text, '.');
  } catch (const EConvertError&) {
    return StrToFloatInf(text, ',');
  }
}

// The mission time is a float column of the store ("INF" for an infinite one, "-INF" too); a file written
// under a decimal comma holds "12,5" there as well.
double MissionTimeText(const std::string& text) {
  try {
    return Value::TextToFloat(text);
  } catch (const EConvertError&) {
    if (text.find('.') != std::string::npos) throw;
    std::string t = text;
    for (char& c : t)
      if (c == ',') c = '.';
    return Value::TextToFloat(t);
  }
}

// Where a value stands in a file, put before the text of an error it caused.
std::string PlaceText(const std::string& file, const std::string& table, const std::string& row,
                      std::string_view col) {
  return PlaceOfValue(file, table, row, std::string(col));
}

// An error raised by a setter or a list for a value read: its text gets the place, its class, number and
// arguments stay, so callers that tell errors apart by them still can.
void Locate(Exception& e, const std::string& file, const std::string& table, const std::string& row,
            std::string_view col) {
  // The place names the value's item: a name the model put in front of its refusal would only repeat it.
  e.SetMessage(PlaceText(file, table, row, col) + TextWithoutItem(e));
}

// The current row of a query, read column by column. Errors name the file, the table, the row and the column;
// the row keeps the column read last, the one whose value a setter refuses.
class TXMLRow {
public:
  TXMLRow(TtiQuery& q, std::string file, std::string table, std::string row)
      : q_(q), file_(std::move(file)), table_(std::move(table)), row_(std::move(row)) {}

  // The table declares the column (older files lack some).
  bool Has(std::string_view col) const { return q_.FieldIndex(std::string(col)) >= 0; }
  std::string Text(std::string_view col) const {
    col_ = col;
    return q_.FieldAsString(std::string(col));
  }
  // A node's reference to its data object: never empty.
  std::string DataRef(std::string_view col, const std::string& targetTable) const {
    std::string oid = Text(col);
    if (oid.empty()) {
      raised_ = true;
      RaiseXMLDataError(msgXMLDanglingReference, file_, table_, {row_, std::string(col), "", targetTable});
    }
    return oid;
  }
  // The column's text, or `absent` when the table does not declare it.
  std::string TextOr(std::string_view col, const std::string& absent) const {
    col_ = col;
    return Has(col) ? Text(col) : absent;
  }
  // An integer column; an empty value counts as 0.
  int64_t Int(std::string_view col) const {
    const std::string t = Text(col);
    if (t.empty()) return 0;
    try {
      return Value::TextToInteger(t);
    } catch (const EConvertError&) {
      Invalid(col, t);
    }
  }
  // A flag: 0 or 1, nothing else.
  bool Flag(std::string_view col) const {
    const int64_t v = Int(col);
    if (v != 0 && v != 1) Invalid(col, std::to_string(v));
    return v == 1;
  }
  // A float text column; with infText, "inf" in any letter case is +infinity too.
  double Float(std::string_view col, bool infText = false) const {
    const std::string t = Text(col);
    if (infText && SameTextAscii(t, "inf")) return kInf;
    try {
      return FloatText(t);
    } catch (const EConvertError&) {
      NotANumber(col, t);
    }
  }
  // The mission time; the shared default of 20 years when the table has no such column.
  double MissionTime() const {
    col_ = "MissionTime";
    if (!Has("MissionTime")) return cMissionTimeReference;
    const std::string t = Text("MissionTime");
    try {
      return MissionTimeText(t);
    } catch (const EConvertError&) {
      NotANumber("MissionTime", t);
    }
  }
  DateTime DateTimeField(std::string_view col) const {
    col_ = col;
    return DateTime{q_.FieldAsDateTime(std::string(col))};
  }
  // An enumeration by the identifier text of its value; any other text is refused.
  template <class E>
  E Enum(std::string_view col) const {
    const std::string t = Text(col);
    E v{};
    if (!EnumFromName(t, v)) Invalid(col, t);
    return v;
  }

  [[noreturn]] void Invalid(std::string_view col, const std::string& value) const {
    raised_ = true;
    RaiseXMLDataError(msgXMLInvalidValue, file_, table_, {row_, std::string(col), value});
  }

  // Runs `apply` (setters given the row's values); an error it raises that does not name its place yet is
  // given the place of the column read last.
  template <class F>
  void Applying(F&& apply) {
    try {
      apply();
    } catch (Exception& e) {
      if (!raised_) Locate(e, col_);
      throw;
    }
  }
  void Locate(Exception& e, std::string_view col) const { kelvado::Locate(e, file_, table_, row_, col); }

private:
  // A text that is no number is refused like any other value the column cannot hold: in the language of the
  // run, naming the place.
  [[noreturn]] void NotANumber(std::string_view col, const std::string& value) const { Invalid(col, value); }

  TtiQuery& q_;
  std::string file_;
  std::string table_;
  std::string row_;
  mutable std::string_view col_;  // names of columns are literals
  mutable bool raised_ = false;   // the error passing is the row's own and names its place
};

// The values of a row to write.
class TXMLValues {
public:
  // The values of the row of `obj` in `table`, written through `q`.
  TXMLValues(TtiQueryParams& p, const TtiQuery& q, const std::string& table, const TtiObject& obj)
      : p_(p), q_(q), table_(table), obj_(obj) {}
  void Text(const char* col, const std::string& v) { p_.SetValueAsString(col, v); }
  void Int(const char* col, int64_t v) { p_.SetValueAsInteger(col, v); }
  void Flag(const char* col, bool v) { p_.SetValueAsInteger(col, v ? 1 : 0); }
  // +infinity (and NaN) are written as the text of -2.
  void Float(const char* col, double v) { p_.SetValueAsString(col, FloatToStrInf(v)); }
  void MissionTime(double v) { p_.SetValueAsFloat("MissionTime", v); }
  void Date(const char* col, DateTime v) { p_.SetValueAsDateTime(col, v.Days); }
  template <class E>
  void Enum(const char* col, E v) {
    p_.SetValueAsString(col, std::string(EnumName(v)));
  }
  // The OID of the object referred to; empty when there is none.
  void Ref(const char* col, const TtiObject* o);
  // The OID of a node's data object. A node without one is refused: its file would not open again.
  void DataRef(const char* col, const TtiObject* o, const std::string& targetTable);

private:
  TtiQueryParams& p_;
  const TtiQuery& q_;
  const std::string& table_;
  const TtiObject& obj_;
};

// ---- Objects ----

std::string OIDText(const TtiObject& o) { return o.HasOID() ? o.GetOID().GetAsString() : std::string(); }

void TXMLValues::Ref(const char* col, const TtiObject* o) {
  Text(col, o && o->HasOID() && !o->GetOID().IsNull() ? o->GetOID().GetAsString() : std::string());
}

void TXMLValues::DataRef(const char* col, const TtiObject* o, const std::string& targetTable) {
  Ref(col, o);
  if (!o || !o->HasOID() || o->GetOID().IsNull())
    RaiseXMLDataError(msgXMLDanglingReference, q_.Database() ? q_.Database()->DatabaseName() : std::string(), table_,
                      {OIDText(obj_), col, "", targetTable});
}

// The object of class T a node row belongs to: its Owner, past the list that holds the node; null when none.
template <class T>
const TtiObject* OwnerNode(const TtiObject& o) {
  const TtiObject* owner = o.GetOwner();
  while (owner && dynamic_cast<const TtiObjectList*>(owner)) owner = owner->GetOwner();
  return dynamic_cast<const T*>(owner);
}

// A new empty object with the OID a row names, for the reader of its class to fill later in the same run.
template <class T>
std::unique_ptr<T> WithOID(const std::string& oid) {
  auto o = std::make_unique<T>();
  o->GetOID().SetAsString(oid);
  return o;
}

// Closes the query when a read fails half-way.
struct TQueryCloser {
  TtiQuery& q;
  ~TQueryCloser() {
    try {
      if (q.GetActive()) q.Close();
    } catch (const std::exception& e) {
      LogError(std::string("Closing a query of a project file failed: ") + e.what());
    }
  }
};

// True when the store holds a table of that name (ignoring case).
bool TableInStore(TtiDatabase& db, const std::string& table) {
  TtiDBMetaData tables;
  db.ReadMetaDataTables(tables);
  for (int i = 0; i < tables.Count(); ++i)
    if (LowerAscii(tables.Items(i)->GetName()) == LowerAscii(table)) return true;
  return false;
}

// The OIDs of the rows of `table` whose column `col` holds `value` (every row without a column), in row order.
std::vector<std::string> SelectOIDs(TtiQuery& q, const std::string& table, const char* col, const std::string& value) {
  TtiQueryParams crit;
  if (col) crit.SetValueAsString(col, value);
  try {
    q.SelectRow(table, col ? &crit : nullptr);
  } catch (const EtiPerException&) {
    // A file without one of the tables of the tree is incomplete: say so in the user's words, naming the table.
    // Any other failure of the select passes on as it is.
    TtiDatabase* db = q.Database();
    if (!db || TableInStore(*db, table)) throw;
    RaiseXMLDataError(msgXMLMissingTable, db->DatabaseName(), table);
  }
  TQueryCloser closer{q};
  std::vector<std::string> oids;
  for (; !q.Eof(); q.Next()) oids.push_back(q.FieldAsString("OID"));
  q.Close();
  return oids;
}

// Child nodes: one empty node per row of `table` that belongs to `owner`, appended in row order.
template <class Item, class List>
void ReadNodes(TtiQuery& q, const std::string& file, const std::string& table, const char* ownerCol,
               const TtiObject& owner, List& list) {
  for (const std::string& oid : SelectOIDs(q, table, ownerCol, OIDText(owner))) {
    try {
      list.Add(WithOID<Item>(oid));
    } catch (Exception& e) {
      Locate(e, file, table, oid, ownerCol);
      throw;
    }
  }
}

template <class C>
std::string Tbl() {
  return TableNameForClass<C>();
}

// A value the file carries for its readers only, computed from the tree. It must never stop a save: a failed
// computation is logged and written as "not computed" (`none`), which no computation gives.
template <class F>
std::string Computed(const char* col, F&& compute, const char* none) {
  try {
    return compute();
  } catch (const std::exception& e) {
    LogError(std::string("Column ") + col + " of a project file not computed: " + e.what());
    return none;
  }
}

const char* const kNoPL = "plForward";
const char* const kNoPFH = "-1";

}  // namespace

// How one business class maps to its table.
struct TXMLClassMap {
  const TtiClass& (*Cls)();
  // Objects of this subclass are not served (the plain channel visitors leave test channels alone); may be null.
  const TtiClass& (*Excluded)();
  // Rows of test channels: IsTestChannel = 1 in criteria and values.
  bool TestChannelRow;
  // Own columns and references, in the order the setters need them. The protection flag and the stamps of a
  // business object are read around it.
  void (*Read)(TXMLRow&, TtiObject&);
  // Child rows, read after the row itself (may be null).
  void (*ReadChildren)(TtiQuery&, TtiObject&, const std::string& file);
  // Own columns; `insert` when the row is new.
  void (*Write)(TXMLValues&, const TtiObject&, bool insert);
  // Rows of link tables after the row was written (may be null).
  void (*AfterWrite)(TtiQuery&, const TtiObject&, bool insert);
  // After the row was deleted (may be null).
  void (*AfterDelete)(TtiQuery&, TtiObject&);
};

struct TXMLListMap {
  const TtiClass& (*Cls)();
  const TtiClass& (*ItemCls)();
  // The owner column that is empty in the rows of top-level items; null: every row.
  const char* OwnerColumn;
  std::unique_ptr<TtiObject> (*NewItem)();
};

namespace {

// ---- Element and element node ----

void ReadElement(TXMLRow& r, TtiObject& o) {
  auto& e = static_cast<TElement&>(o);
  e.SetName(r.Text("Name"));
  e.SetB10d(r.Float("B10d"));
  e.SetDC(r.Float("DC"));
  e.SetDCDet(r.Enum<TDetermination>("DCDet"));
  e.SetDCDocumentation(r.Text("DCDocumentation"));
  if (const std::string oid = r.Text("DCMeasureOp"); !oid.empty()) e.SetDCMeasureOp(WithOID<TDCMeasureOp>(oid));
  e.SetDescription(r.Text("Description"));
  e.SetMTTFd(r.Float("MTTFd", true));
  e.SetTechnology(r.Enum<TTechnology>("Technology"));
  e.SetUseB10d(r.Flag("UseB10d"));
  e.SetDocument(r.TextOr("Document", ""));
  e.SetDocumentation(r.TextOr("Documentation", ""));
  e.SetManufacturer(r.TextOr("Manufacturer", ""));
  e.SetPartNo(r.TextOr("PartNo", ""));
  e.SetMissionTime(r.MissionTime());
}

void WriteElement(TXMLValues& v, const TtiObject& o, bool) {
  const auto& e = static_cast<const TElement&>(o);
  v.Text("Name", e.GetName());
  v.Float("B10d", e.GetB10d());
  v.Float("DC", e.GetDC());
  v.Enum("DCDet", e.GetDCDet());
  v.Text("DCDocumentation", e.GetDCDocumentation());
  v.Ref("DCMeasureOp", e.GetDCMeasureOp());
  v.Text("Description", e.GetDescription());
  v.Float("MTTFd", e.GetMTTFd());
  v.Enum("Technology", e.GetTechnology());
  v.Flag("UseB10d", e.GetUseB10d());
  v.Text("Document", e.GetDocument());
  v.Text("Documentation", e.GetDocumentation());
  v.Text("Manufacturer", e.GetManufacturer());
  v.Text("PartNo", e.GetPartNo());
  v.MissionTime(e.GetMissionTime());
}

void ReadElementOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TElementOp&>(o);
  op.SetElement(WithOID<TElement>(r.DataRef("Element", Tbl<TElement>())));
  op.SetNop(r.Float("Nop", true));
}

void WriteElementOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TElementOp&>(o);
  v.Ref("BlocOp", OwnerNode<TBlocOp>(op));
  v.DataRef("Element", op.GetElement(), Tbl<TElement>());
  v.Float("Nop", op.GetNop());
}

// ---- Block and block node ----

void ReadBloc(TXMLRow& r, TtiObject& o) {
  auto& b = static_cast<TBloc&>(o);
  b.SetDC(r.Float("DC"));
  b.SetDCDet(r.Enum<TDetermination>("DCDet"));
  b.SetDCDocumentation(r.Text("DCDocumentation"));
  if (const std::string oid = r.Text("DCMeasureOp"); !oid.empty()) b.SetDCMeasureOp(WithOID<TDCMeasureOp>(oid));
  b.SetDescription(r.Text("Description"));
  b.SetDocument(r.TextOr("Document", ""));
  b.SetDocumentation(r.TextOr("Documentation", ""));
  b.SetManufacturer(r.TextOr("Manufacturer", ""));
  b.SetMissionTime(r.MissionTime());
  b.SetMTTFd(r.Float("MTTFd", true));
  b.SetMTTFdDet(r.Enum<TDetermination>("MTTFdDet"));
  b.SetName(r.Text("Name"));
  b.SetPartNo(r.TextOr("PartNo", ""));
}

void WriteBloc(TXMLValues& v, const TtiObject& o, bool) {
  const auto& b = static_cast<const TBloc&>(o);
  v.Float("DC", b.GetDC());
  v.Enum("DCDet", b.GetDCDet());
  v.Text("DCDocumentation", b.GetDCDocumentation());
  v.Ref("DCMeasureOp", b.GetDCMeasureOp());
  v.Text("Description", b.GetDescription());
  v.Text("Document", b.GetDocument());
  v.Text("Documentation", b.GetDocumentation());
  v.Text("Manufacturer", b.GetManufacturer());
  v.MissionTime(b.GetMissionTime());
  v.Float("MTTFd", b.GetMTTFd());
  v.Enum("MTTFdDet", b.GetMTTFdDet());
  v.Text("Name", b.GetName());
  v.Text("PartNo", b.GetPartNo());
}

void ReadBlocOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TBlocOp&>(o);
  op.SetBloc(WithOID<TBloc>(r.DataRef("Bloc", Tbl<TBloc>())));
}

void ReadBlocOpChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& op = static_cast<TBlocOp&>(o);
  ReadNodes<TElementOp>(q, file, Tbl<TElementOp>(), "BlocOp", op, *op.GetElementOpList());
}

void WriteBlocOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TBlocOp&>(o);
  v.DataRef("Bloc", op.GetBloc(), Tbl<TBloc>());
  v.Ref("ChannelOp", OwnerNode<TChannelOp>(op));
}

// ---- Channels and channel nodes ----

void ReadNothing(TXMLRow&, TtiObject&) {}
void WriteNothing(TXMLValues&, const TtiObject&, bool) {}

// The channel list that holds the node (its subsystem node's, or a list of its own); null when none.
TChannelOpList* ChannelListOf(TChannelOp& op) {
  TtiObject* owner = op.GetOwner();
  TChannelOpList* list = dynamic_cast<TChannelOpList*>(owner);
  if (auto* comp = dynamic_cast<TComponentOp*>(owner)) list = comp->GetChannelOpList();
  return list && list->IndexOf(&op) >= 0 ? list : nullptr;
}

// A channel node read on its own (not through its subsystem node) is paired with the test-channel node its
// row names: the one its list holds, or a new empty one added to that list. A node outside any list has no
// place for a new test-channel node and stays unpaired.
void FollowTestChannel(TXMLRow& r, TChannelOp& op, const std::string& oid) {
  if (op.IsTestChannelNode()) r.Invalid("TestChannelOp", oid);
  TChannelOpList* list = ChannelListOf(op);
  if (!list) return;
  TtiObject* found = list->FindByOIDAsString(oid);
  if (auto* tc = dynamic_cast<TTestChannelOp*>(found)) {
    op.SetTestChannelOp(tc);
  } else if (!found) {
    auto added = WithOID<TTestChannelOp>(oid);
    op.SetTestChannelOp(added.get());
    // Added as it is: the list's own Add would pair every other channel node with it too.
    list->TPerObjListEx::Add(std::unique_ptr<TtiObject>(std::move(added)));
  } else {
    r.Invalid("TestChannelOp", oid);
  }
}

void ReadChannelOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TChannelOp&>(o);
  const bool testRow = r.Has("IsTestChannelOp") && r.Int("IsTestChannelOp") != 0;
  const std::string oid = r.DataRef("Channel", Tbl<TChannel>());
  if (testRow) op.SetChannel(WithOID<TTestChannel>(oid));
  else op.SetChannel(WithOID<TChannel>(oid));
  if (!op.GetTestChannelOp() && r.Has("TestChannelOp"))
    if (const std::string pair = r.Text("TestChannelOp"); !pair.empty()) FollowTestChannel(r, op, pair);
}

void ReadChannelOpChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& op = static_cast<TChannelOp&>(o);
  ReadNodes<TBlocOp>(q, file, Tbl<TBlocOp>(), "ChannelOp", op, *op.GetBlocOpList());
}

void WriteChannelOp(TXMLValues& v, const TtiObject& o, bool insert) {
  const auto& op = static_cast<const TChannelOp&>(o);
  v.DataRef("Channel", op.GetChannel(), Tbl<TChannel>());
  v.Ref("ComponentOp", OwnerNode<TComponentOp>(op));
  if (insert) v.Int("IsTestChannelOp", op.IsTestChannelNode() ? 1 : 0);
  // A deleted test channel counts as absent: its row goes with this save, so no row may still name it.
  const TTestChannelOp* tc = op.GetTestChannelOp();
  v.Ref("TestChannelOp", tc && !tc->GetDeleted() ? tc : nullptr);
}

// The row of a test-channel node is gone: the channel nodes paired with it are paired with nothing now.
void AfterChannelOpDelete(TtiQuery& q, TtiObject& o) {
  if (!static_cast<TChannelOp&>(o).IsTestChannelNode()) return;
  TtiQueryParams values, crit;
  values.SetValueAsString("TestChannelOp", "");
  crit.SetValueAsString("TestChannelOp", OIDText(o));
  q.UpdateRow(Tbl<TChannelOp>(), &values, &crit);
}

// ---- Subsystem and subsystem node ----

void ReadComponent(TXMLRow& r, TtiObject& o) {
  auto& c = static_cast<TComponent&>(o);
  c.SetCat(r.Enum<TCat>("Cat"));
  c.SetCatDocumentation(r.Text("CatDocumentation"));
  c.SetCatStandard(r.Text("CatStandard"));
  c.SetCatStandardFile(r.Text("CatStandardFile"));
  c.SetCCFScore(r.Float("CCFScore"));
  c.SetCCFScoreDet(r.Enum<TDetermination>("CCFScoreDet"));
  c.SetDCavg(r.Float("DCavg"));
  c.SetDCavgDet(r.Enum<TDetermination>("DCavgDet"));
  c.SetDCavgDocumentation(r.Text("DCavgDocumentation"));
  c.SetDescription(r.Text("Description"));
  c.SetDocument(r.TextOr("Document", ""));
  c.SetDocumentation(r.TextOr("Documentation", ""));
  c.SetManufacturer(r.TextOr("Manufacturer", ""));
  c.SetMissionTime(r.MissionTime());
  c.SetMTTFd(r.Float("MTTFd", true));
  c.SetMTTFdDet(r.Enum<TDetermination>("MTTFdDet"));
  c.SetName(r.Text("Name"));
  c.SetPartNo(r.TextOr("PartNo", ""));
  if (r.Has("PLDirectNoBind")) c.SetPLDirectNoBind(r.Enum<TPL>("PLDirectNoBind"));
  if (r.Has("IsPLPFHBind")) c.SetIsPLPFHBind(r.Flag("IsPLPFHBind"));
  c.SetPFH(r.Float("PFH"));
  c.SetPLDet(r.Enum<TDetermination>("PLDet"));
  c.SetPLDocumentation(r.Text("PLDocumentation"));
  c.SetUseWorstCaseMTTFd(r.Flag("UseWorstCaseMTTFd"));
  c.SetCatConditionsRelevant(r.Has("CatConditionsRelevant") ? r.Flag("CatConditionsRelevant") : true);
}

void ReadComponentChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& c = static_cast<TComponent&>(o);
  ReadNodes<TCCFMeasureOp>(q, file, Tbl<TCCFMeasureOp>(), "Component", c, *c.GetCCFMeasureOps());
  ReadNodes<TCatConditionOp>(q, file, Tbl<TCatConditionOp>(), "Component", c, *c.GetCatConditionOps());
  // Older files have no PL conditions.
  try {
    ReadNodes<TPLConditionOp>(q, file, Tbl<TPLConditionOp>(), "Component", c, *c.GetPLConditionOps());
  } catch (const std::exception& e) {
    Log(std::string("PL conditions of a subsystem not read: ") + e.what());
    c.GetPLConditionOps()->Clear();
  }
}

void WriteComponent(TXMLValues& v, const TtiObject& o, bool) {
  const auto& c = static_cast<const TComponent&>(o);
  v.Enum("Cat", c.GetCat());
  v.Text("CatDocumentation", c.GetCatDocumentation());
  v.Text("CatStandard", c.GetCatStandard());
  v.Text("CatStandardFile", c.GetCatStandardFile());
  v.Float("CCFScore", c.GetCCFScore());
  v.Enum("CCFScoreDet", c.GetCCFScoreDet());
  v.Float("DCavg", c.GetDCavg());
  v.Enum("DCavgDet", c.GetDCavgDet());
  v.Text("DCavgDocumentation", c.GetDCavgDocumentation());
  v.Text("Description", c.GetDescription());
  v.Text("Document", c.GetDocument());
  v.Text("Documentation", c.GetDocumentation());
  v.Text("Manufacturer", c.GetManufacturer());
  v.MissionTime(c.GetMissionTime());
  // As entered: the category's cap applies when computing.
  v.Float("MTTFd", c.GetMTTFdOrgValue());
  v.Enum("MTTFdDet", c.GetMTTFdDet());
  v.Text("Name", c.GetName());
  v.Text("PartNo", c.GetPartNo());
  v.Enum("PLDirectNoBind", c.GetPLDirectNoBind());
  v.Flag("IsPLPFHBind", c.GetIsPLPFHBind());
  v.Float("PFH", c.GetPFH());
  v.Enum("PLDet", c.GetPLDet());
  v.Text("PLDocumentation", c.GetPLDocumentation());
  v.Flag("UseWorstCaseMTTFd", c.GetUseWorstCaseMTTFd());
  v.Flag("CatConditionsRelevant", c.GetCatConditionsRelevant());
  const bool direct = c.GetPLDet() == detDirect;
  const TComponentOp* node = c.GetComponentOp();
  v.Text("PLDirectBindCal", Computed(
                                "PLDirectBindCal",
                                [&] {
                                  return std::string(c.GetIsPLPFHBind() && direct ? EnumName(PFHToPL(c.GetPFH()))
                                                                                   : EnumName(plN));
                                },
                                kNoPL));
  v.Text("PLSubItemsCal", direct ? std::string(EnumName(plN))
                                 : Computed(
                                       "PLSubItemsCal",
                                       [&] { return node ? std::string(EnumName(node->GetPLSubItemsLazy())) : kNoPL; },
                                       kNoPL));
  v.Text("PFHSubItemsCal",
         direct ? std::string("-")
                : Computed(
                      "PFHSubItemsCal",
                      [&] { return node ? FloatToStrInf(node->GetPFHSubItemsLazy()) : std::string(kNoPFH); }, kNoPFH));
}

void AfterComponentDelete(TtiQuery&, TtiObject& o) {
  auto& c = static_cast<TComponent&>(o);
  for (TtiObjectList* list : {static_cast<TtiObjectList*>(c.GetCCFMeasureOps()),
                              static_cast<TtiObjectList*>(c.GetCatConditionOps()),
                              static_cast<TtiObjectList*>(c.GetPLConditionOps())}) {
    list->SetDirty(false);
    list->SetObjectState(posDeleted);
  }
}

void ReadComponentOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TComponentOp&>(o);
  op.SetComponent(WithOID<TComponent>(r.DataRef("Component", Tbl<TComponent>())));
}

// Channel nodes before the test-channel node, each group in row order; each channel node paired with the
// test-channel node its row names.
void ReadComponentOpChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& op = static_cast<TComponentOp&>(o);
  struct TChannelRow {
    std::string OID;
    bool Test;
    std::string Pair;
  };
  const std::string table = Tbl<TChannelOp>();
  TtiQueryParams crit;
  crit.SetValueAsString("ComponentOp", OIDText(op));
  q.SelectRow(table, &crit);
  std::vector<TChannelRow> rows;
  {
    TQueryCloser closer{q};
    const bool hasTest = q.FieldIndex("IsTestChannelOp") >= 0;
    const bool hasPair = q.FieldIndex("TestChannelOp") >= 0;
    for (; !q.Eof(); q.Next()) {
      const std::string oid = q.FieldAsString("OID");
      TXMLRow row(q, file, table, oid);
      rows.push_back({oid, hasTest && row.Int("IsTestChannelOp") != 0, hasPair ? row.Text("TestChannelOp") : ""});
    }
    q.Close();
  }
  TChannelOpList& list = *op.GetChannelOpList();
  const std::string* at = nullptr;  // the row whose node is being placed, for the place of an error
  const char* col = "ComponentOp";
  try {
    for (const TChannelRow& r : rows) {
      at = &r.OID;
      if (r.Test) list.Add(WithOID<TTestChannelOp>(r.OID));
    }
    for (const TChannelRow& r : rows) {
      if (r.Test) continue;
      at = &r.OID;
      col = "ComponentOp";
      int pos = list.GetCount();
      TTestChannelOp* firstTest = nullptr;
      for (int i = 0; i < list.GetCount(); ++i) {
        TChannelOp* item = list.Items(i);
        if (item->IsTestChannelNode() && !item->GetDeleted()) {
          pos = i;
          firstTest = dynamic_cast<TTestChannelOp*>(item);
          break;
        }
      }
      auto node = WithOID<TChannelOp>(r.OID);
      TChannelOp& channel = *node;
      list.Insert(pos, std::unique_ptr<TtiObject>(std::move(node)));
      if (r.Pair.empty()) {
        // Files written while a channel's row could be written before its test channel had an identifier hold
        // no pairing: such a channel is paired with the subsystem's test channel, as the channel list pairs
        // them when the tree is built.
        if (firstTest) channel.SetTestChannelOp(firstTest);
        continue;
      }
      col = "TestChannelOp";
      if (auto* tc = dynamic_cast<TTestChannelOp*>(list.FindByOIDAsString(r.Pair))) channel.SetTestChannelOp(tc);
      if (!channel.GetTestChannelOp()) throw EIOError(msgInvalidValue, {channel.GetCaption()});
    }
  } catch (Exception& e) {
    if (at) Locate(e, file, table, *at, col);
    throw;
  }
}

void WriteComponentOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TComponentOp&>(o);
  v.DataRef("Component", op.GetComponent(), Tbl<TComponent>());
  v.Ref("SFOp", OwnerNode<TSFOp>(op));
}

// ---- Safety function and its node ----

uint8_t RiskParam(TXMLRow& r, const char* col) {
  const int64_t v = r.Int(col);
  if (v != 0 && v != 1) r.Invalid(col, std::to_string(v));
  return static_cast<uint8_t>(v);
}

void ReadSF(TXMLRow& r, TtiObject& o) {
  auto& sf = static_cast<TSF&>(o);
  sf.SetName(r.Text("Name"));
  sf.SetDocument(r.TextOr("Document", ""));
  sf.SetDocumentation(r.TextOr("Documentation", ""));
  sf.SetPLrDirect(r.Enum<TPL>("PLr"));
  sf.SetPLrDet(r.Enum<TDetermination>("PLrDet"));
  sf.SetPLrDocumentation(r.Text("PLrDocumentation"));
  sf.SetPLrStandard(r.Text("PLrStandard"));
  sf.SetPLrStandardFile(r.Text("PLrStandardFile"));
  sf.SetReaction(r.Text("Reaction"));
  sf.SetRiskParamF(RiskParam(r, "RiskParamF"));
  sf.SetRiskParamP(RiskParam(r, "RiskParamP"));
  sf.SetRiskParamS(RiskParam(r, "RiskParamS"));
  sf.SetSafeState(r.Text("SafeState"));
  sf.SetSFType(r.Text("SFType"));
  sf.SetTriggerEvent(r.Text("TriggerEvent"));
}

void WriteSF(TXMLValues& v, const TtiObject& o, bool) {
  const auto& sf = static_cast<const TSF&>(o);
  v.Text("Name", sf.GetName());
  v.Text("Document", sf.GetDocument());
  v.Text("Documentation", sf.GetDocumentation());
  v.Enum("PLr", sf.GetPLrDirect());
  v.Enum("PLrDet", sf.GetPLrDet());
  v.Text("PLrDocumentation", sf.GetPLrDocumentation());
  v.Text("PLrStandard", sf.GetPLrStandard());
  v.Text("PLrStandardFile", sf.GetPLrStandardFile());
  v.Text("Reaction", sf.GetReaction());
  v.Int("RiskParamF", sf.GetRiskParamF());
  v.Int("RiskParamP", sf.GetRiskParamP());
  v.Int("RiskParamS", sf.GetRiskParamS());
  v.Text("SafeState", sf.GetSafeState());
  v.Text("SFType", sf.GetSFType());
  v.Text("TriggerEvent", sf.GetTriggerEvent());
  const auto* node = dynamic_cast<const TSFOp*>(sf.GetOwner());
  v.Text("PLcal",
         Computed("PLcal", [&] { return node ? std::string(EnumName(node->GetPLLazy())) : kNoPL; }, kNoPL));
  v.Text("PFHcal",
         Computed("PFHcal", [&] { return node ? FloatToStrInf(node->GetPFHLazy()) : std::string(kNoPFH); }, kNoPFH));
}

void ReadSFOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TSFOp&>(o);
  op.SetSF(WithOID<TSF>(r.DataRef("SF", Tbl<TSF>())));
}

void ReadSFOpChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& op = static_cast<TSFOp&>(o);
  ReadNodes<TComponentOp>(q, file, Tbl<TComponentOp>(), "SFOp", op, *op.GetComponentOpList());
}

void WriteSFOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TSFOp&>(o);
  v.Ref("ProjectOp", OwnerNode<TProjectOp>(op));
  v.DataRef("SF", op.GetSF(), Tbl<TSF>());
}

// ---- Project and project node ----

void ReadProject(TXMLRow& r, TtiObject& o) {
  auto& p = static_cast<TProject&>(o);
  p.SetKVDVersionOriginalString(r.TextOr("KVDVersion", ""));
  p.SetNormVersionOriginalString(r.TextOr("NormVersion", ""));
  p.SetAuthor(r.TextOr("Author", ""));
  p.SetDocument(r.TextOr("Document", ""));
  p.SetDocumentation(r.TextOr("Documentation", ""));
  p.SetMachineName(r.Text("MachineName"));
  p.SetName(r.Text("Name"));
  p.SetStandardsFolder(r.Text("StandardsFolder"));
  p.SetDocumentsFolder(r.TextOr("DocumentsFolder", ""));
}

void WriteProject(TXMLValues& v, const TtiObject& o, bool) {
  const auto& p = static_cast<const TProject&>(o);
  v.Text("Author", p.GetAuthor());
  v.Text("Document", p.GetDocument());
  v.Text("Documentation", p.GetDocumentation());
  v.Text("MachineName", p.GetMachineName());
  v.Text("Name", p.GetName());
  v.Text("StandardsFolder", p.GetStandardsFolder());
  v.Text("DocumentsFolder", p.GetDocumentsFolder());
}

void ReadProjectOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TProjectOp&>(o);
  op.SetProject(WithOID<TProject>(r.DataRef("Project", Tbl<TProject>())));
}

void ReadProjectOpChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& op = static_cast<TProjectOp&>(o);
  ReadNodes<TSFOp>(q, file, Tbl<TSFOp>(), "ProjectOp", op, *op.GetSFOpList());
}

void WriteProjectOp(TXMLValues& v, const TtiObject& o, bool) {
  v.DataRef("Project", static_cast<const TProjectOp&>(o).GetProject(), Tbl<TProject>());
}

// ---- DC measures ----

void ReadDCMeasure(TXMLRow& r, TtiObject& o) {
  auto& m = static_cast<TDCMeasure&>(o);
  m.SetHeading(r.Text("Heading"));
  m.SetDCmax(r.Float("DCmax"));
  m.SetDCmin(r.Float("DCmin"));
  m.SetDependency(r.Text("Dependency"));
  m.SetDescription(r.Text("Description"));
  m.SetDocument(r.TextOr("Document", ""));
  m.SetDocumentation(r.TextOr("Documentation", ""));
}

void ReadDCMeasureChildren(TtiQuery& q, TtiObject& o, const std::string& file) {
  auto& m = static_cast<TDCMeasure&>(o);
  const std::string oid = OIDText(m);
  TtiQueryParams crit;
  crit.SetValueAsString("DCMeasure", oid);
  q.SelectRow(cDCMeasureInsuffPLsTable, &crit);
  TQueryCloser closer{q};
  TPLSet pls = m.GetInsufficient();
  for (; !q.Eof(); q.Next()) pls.Include(TXMLRow(q, file, cDCMeasureInsuffPLsTable, oid).Enum<TPL>("PL"));
  q.Close();
  m.SetInsufficient(pls);
}

void WriteDCMeasure(TXMLValues& v, const TtiObject& o, bool) {
  const auto& m = static_cast<const TDCMeasure&>(o);
  v.Text("Heading", m.GetHeading());
  v.Float("DCmax", m.GetDCmax());
  v.Float("DCmin", m.GetDCmin());
  v.Text("Dependency", m.GetDependency());
  v.Text("Description", m.GetDescription());
  v.Text("Document", m.GetDocument());
  v.Text("Documentation", m.GetDocumentation());
}

void DeleteInsufficientPLs(TtiQuery& q, const TtiObject& m) {
  TtiQueryParams crit;
  crit.SetValueAsString("DCMeasure", OIDText(m));
  q.DeleteRow(cDCMeasureInsuffPLsTable, &crit);
}

// One link row per performance level for which the measure does not suffice, plA first.
void AfterDCMeasureWrite(TtiQuery& q, const TtiObject& o, bool insert) {
  const auto& m = static_cast<const TDCMeasure&>(o);
  if (!insert) DeleteInsufficientPLs(q, m);
  for (int p = plA; p <= plForward; ++p) {
    if (!m.GetInsufficient().Contains(static_cast<TPL>(p))) continue;
    TtiQueryParams values;
    values.SetValueAsString("DCMeasure", OIDText(m));
    values.SetValueAsString("PL", std::string(EnumName(static_cast<TPL>(p))));
    q.InsertRow(cDCMeasureInsuffPLsTable, &values);
  }
}

void AfterDCMeasureDelete(TtiQuery& q, TtiObject& o) { DeleteInsufficientPLs(q, o); }

void ReadDCMeasureOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TDCMeasureOp&>(o);
  op.SetDC(r.Float("DC"));
  // Taking a measure moves the DC into the measure's range, and the measure is still empty here; with the
  // widest range the DC read stays as it is until the measure's reader sets the stored range.
  auto m = WithOID<TDCMeasure>(r.DataRef("DCMeasure", Tbl<TDCMeasure>()));
  m->SetDCmax(cDCMaximum);
  m->SetDCmin(cDCMinimum);
  op.SetDCMeasure(std::move(m));
}

void WriteDCMeasureOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TDCMeasureOp&>(o);
  v.Float("DC", op.GetDC());
  v.DataRef("DCMeasure", op.GetDCMeasure(), Tbl<TDCMeasure>());
}

// ---- CCF measures, category and PL conditions ----

void ReadCCFMeasure(TXMLRow& r, TtiObject& o) {
  auto& m = static_cast<TCCFMeasure&>(o);
  m.SetHeading(r.Text("Heading"));
  m.SetDescription(r.Text("Description"));
  m.SetDocument(r.TextOr("Document", ""));
  m.SetDocumentation(r.TextOr("Documentation", ""));
  m.SetNumber(r.Text("Number"));
  m.SetScore(r.Float("Score"));
}

void WriteCCFMeasure(TXMLValues& v, const TtiObject& o, bool) {
  const auto& m = static_cast<const TCCFMeasure&>(o);
  v.Text("Heading", m.GetHeading());
  v.Text("Description", m.GetDescription());
  v.Text("Document", m.GetDocument());
  v.Text("Documentation", m.GetDocumentation());
  v.Text("Number", m.GetNumber());
  v.Float("Score", m.GetScore());
}

void ReadCCFMeasureOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TCCFMeasureOp&>(o);
  op.SetCCFMeasure(WithOID<TCCFMeasure>(r.DataRef("CCFMeasure", Tbl<TCCFMeasure>())));
  op.SetIsSatisfied(r.Flag("IsSatisfied"));
}

void WriteCCFMeasureOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TCCFMeasureOp&>(o);
  v.DataRef("CCFMeasure", op.GetCCFMeasure(), Tbl<TCCFMeasure>());
  v.Ref("Component", OwnerNode<TComponent>(op));
  v.Flag("IsSatisfied", op.GetIsSatisfied());
}

void ReadCatCondition(TXMLRow& r, TtiObject& o) {
  auto& c = static_cast<TCatCondition&>(o);
  c.SetText(r.Text("Text"));
  c.SetCCID(r.TextOr("CCID", ""));
}

void WriteCatCondition(TXMLValues& v, const TtiObject& o, bool) {
  const auto& c = static_cast<const TCatCondition&>(o);
  v.Text("Text", c.GetText());
  v.Text("CCID", c.GetCCID());
}

void ReadCatConditionOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TCatConditionOp&>(o);
  op.SetCatCondition(WithOID<TCatCondition>(r.DataRef("CatCondition", Tbl<TCatCondition>())));
  op.SetIsSatisfied(r.Flag("IsSatisfied"));
}

void WriteCatConditionOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TCatConditionOp&>(o);
  v.DataRef("CatCondition", op.GetCatCondition(), Tbl<TCatCondition>());
  v.Ref("Component", OwnerNode<TComponent>(op));
  v.Flag("IsSatisfied", op.GetIsSatisfied());
}

void ReadPLCondition(TXMLRow& r, TtiObject& o) {
  auto& c = static_cast<TPLCondition&>(o);
  c.SetText(r.Text("Text"));
  c.SetPLCID(r.TextOr("PLCID", ""));
}

void WritePLCondition(TXMLValues& v, const TtiObject& o, bool) {
  const auto& c = static_cast<const TPLCondition&>(o);
  v.Text("Text", c.GetText());
  v.Text("PLCID", c.GetPLCID());
}

void ReadPLConditionOp(TXMLRow& r, TtiObject& o) {
  auto& op = static_cast<TPLConditionOp&>(o);
  op.SetPLCondition(WithOID<TPLCondition>(r.DataRef("PLCondition", Tbl<TPLCondition>())));
  op.SetIsSatisfied(r.Flag("IsSatisfied"));
}

void WritePLConditionOp(TXMLValues& v, const TtiObject& o, bool) {
  const auto& op = static_cast<const TPLConditionOp&>(o);
  v.DataRef("PLCondition", op.GetPLCondition(), Tbl<TPLCondition>());
  v.Ref("Component", OwnerNode<TComponent>(op));
  v.Flag("IsSatisfied", op.GetIsSatisfied());
}

// ---- Metadata ----

void ReadMetaData(TXMLRow& r, TtiObject& o) {
  auto& m = static_cast<TMetaData&>(o);
  m.SetIsProtected(r.Flag("IsProtected"));
  m.SetDateTime(r.DateTimeField("DateTime"));
  m.SetInfo(r.Text("Info"));
  m.SetOwnerName(r.Text("Owner"));
  m.SetNormVersionString(r.Text("NormVersion"));
  m.SetKelvadoVersionString(r.Text("KVDVersion"));
  m.SetKVDVersionOriginalString(r.Text("KVDVersion"));
}

// The record's Name has no column: handed to the store it would become a value the table does not declare.
void WriteMetaData(TXMLValues& v, const TtiObject& o, bool) {
  const auto& m = static_cast<const TMetaData&>(o);
  v.Flag("IsProtected", m.GetIsProtected());
  v.Date("DateTime", m.GetDateTime());
  v.Text("Info", m.GetInfo());
  v.Text("Owner", m.GetOwnerName());
  v.Text("NormVersion", m.GetNormVersionString());
  v.Text("KVDVersion", m.GetKelvadoVersionString());
}

// ---- The maps ----

template <class T>
const TtiClass& ClassOf() {
  return T::StaticClass();
}

constexpr TXMLClassMap kElement{&ClassOf<TElement>, nullptr, false, ReadElement, nullptr, WriteElement, nullptr,
                                nullptr};
constexpr TXMLClassMap kElementOp{&ClassOf<TElementOp>, nullptr, false, ReadElementOp, nullptr, WriteElementOp,
                                  nullptr, nullptr};
constexpr TXMLClassMap kBloc{&ClassOf<TBloc>, nullptr, false, ReadBloc, nullptr, WriteBloc, nullptr, nullptr};
constexpr TXMLClassMap kBlocOp{&ClassOf<TBlocOp>, nullptr, false, ReadBlocOp, ReadBlocOpChildren, WriteBlocOp,
                               nullptr, nullptr};
constexpr TXMLClassMap kChannel{&ClassOf<TChannel>, &ClassOf<TTestChannel>, false, ReadNothing, nullptr,
                                WriteNothing, nullptr, nullptr};
constexpr TXMLClassMap kTestChannel{&ClassOf<TTestChannel>, nullptr, true, ReadNothing, nullptr, WriteNothing,
                                    nullptr, nullptr};
constexpr TXMLClassMap kChannelOp{&ClassOf<TChannelOp>, nullptr, false, ReadChannelOp, ReadChannelOpChildren,
                                  WriteChannelOp, nullptr, AfterChannelOpDelete};
constexpr TXMLClassMap kComponent{&ClassOf<TComponent>, nullptr, false, ReadComponent, ReadComponentChildren,
                                  WriteComponent, nullptr, AfterComponentDelete};
constexpr TXMLClassMap kComponentOp{&ClassOf<TComponentOp>, nullptr, false, ReadComponentOp,
                                    ReadComponentOpChildren, WriteComponentOp, nullptr, nullptr};
constexpr TXMLClassMap kSF{&ClassOf<TSF>, nullptr, false, ReadSF, nullptr, WriteSF, nullptr, nullptr};
constexpr TXMLClassMap kSFOp{&ClassOf<TSFOp>, nullptr, false, ReadSFOp, ReadSFOpChildren, WriteSFOp, nullptr,
                             nullptr};
constexpr TXMLClassMap kProject{&ClassOf<TProject>, nullptr, false, ReadProject, nullptr, WriteProject, nullptr,
                                nullptr};
constexpr TXMLClassMap kProjectOp{&ClassOf<TProjectOp>, nullptr, false, ReadProjectOp, ReadProjectOpChildren,
                                  WriteProjectOp, nullptr, nullptr};
constexpr TXMLClassMap kDCMeasure{&ClassOf<TDCMeasure>, nullptr, false, ReadDCMeasure, ReadDCMeasureChildren,
                                  WriteDCMeasure, AfterDCMeasureWrite, AfterDCMeasureDelete};
constexpr TXMLClassMap kDCMeasureOp{&ClassOf<TDCMeasureOp>, nullptr, false, ReadDCMeasureOp, nullptr,
                                    WriteDCMeasureOp, nullptr, nullptr};
constexpr TXMLClassMap kCCFMeasure{&ClassOf<TCCFMeasure>, nullptr, false, ReadCCFMeasure, nullptr, WriteCCFMeasure,
                                   nullptr, nullptr};
constexpr TXMLClassMap kCCFMeasureOp{&ClassOf<TCCFMeasureOp>, nullptr, false, ReadCCFMeasureOp, nullptr,
                                     WriteCCFMeasureOp, nullptr, nullptr};
constexpr TXMLClassMap kCatCondition{&ClassOf<TCatCondition>, nullptr, false, ReadCatCondition, nullptr,
                                     WriteCatCondition, nullptr, nullptr};
constexpr TXMLClassMap kCatConditionOp{&ClassOf<TCatConditionOp>, nullptr, false, ReadCatConditionOp, nullptr,
                                       WriteCatConditionOp, nullptr, nullptr};
constexpr TXMLClassMap kPLCondition{&ClassOf<TPLCondition>, nullptr, false, ReadPLCondition, nullptr,
                                    WritePLCondition, nullptr, nullptr};
constexpr TXMLClassMap kPLConditionOp{&ClassOf<TPLConditionOp>, nullptr, false, ReadPLConditionOp, nullptr,
                                      WritePLConditionOp, nullptr, nullptr};
constexpr TXMLClassMap kMetaData{&ClassOf<TMetaData>, nullptr, false, ReadMetaData, nullptr, WriteMetaData, nullptr,
                                 nullptr};

template <class T>
std::unique_ptr<TtiObject> NewItem() {
  return std::make_unique<T>();
}

constexpr TXMLListMap kElementOpList{&ClassOf<TElementOpList>, &ClassOf<TElementOp>, "BlocOp", NewItem<TElementOp>};
constexpr TXMLListMap kBlocOpList{&ClassOf<TBlocOpList>, &ClassOf<TBlocOp>, "ChannelOp", NewItem<TBlocOp>};
constexpr TXMLListMap kChannelOpList{&ClassOf<TChannelOpList>, &ClassOf<TChannelOp>, "ComponentOp",
                                     NewItem<TChannelOp>};
constexpr TXMLListMap kComponentOpList{&ClassOf<TComponentOpList>, &ClassOf<TComponentOp>, "SFOp",
                                       NewItem<TComponentOp>};
constexpr TXMLListMap kSFOpList{&ClassOf<TSFOpList>, &ClassOf<TSFOp>, "ProjectOp", NewItem<TSFOp>};
constexpr TXMLListMap kProjectOpList{&ClassOf<TProjectOpList>, &ClassOf<TProjectOp>, nullptr, NewItem<TProjectOp>};
constexpr TXMLListMap kDCMeasureOpList{&ClassOf<TDCMeasureOpList>, &ClassOf<TDCMeasureOp>, nullptr,
                                       NewItem<TDCMeasureOp>};
constexpr TXMLListMap kCCFMeasureOpList{&ClassOf<TCCFMeasureOpList>, &ClassOf<TCCFMeasureOp>, "Component",
                                        NewItem<TCCFMeasureOp>};
constexpr TXMLListMap kCatConditionOpList{&ClassOf<TCatConditionOpList>, &ClassOf<TCatConditionOp>, "Component",
                                          NewItem<TCatConditionOp>};
constexpr TXMLListMap kPLConditionOpList{&ClassOf<TPLConditionOpList>, &ClassOf<TPLConditionOp>, "Component",
                                         NewItem<TPLConditionOp>};
constexpr TXMLListMap kMetaDataList{&ClassOf<TMetaDataList>, &ClassOf<TMetaData>, nullptr, NewItem<TMetaData>};

std::string TableOf(const TXMLClassMap& m) { return TableNameForClass(m.Cls()); }

// The criteria that select the object's row.
void RowCriteria(const TXMLClassMap& m, const TtiObject& obj, TtiQueryParams& crit) {
  crit.SetValueAsString("OID", OIDText(obj));
  if (m.TestChannelRow) crit.SetValueAsInteger("IsTestChannel", 1);
}

}  // namespace

const TtiClass& TVisXMLAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLAbs, TtiPerObjVisitor>(), "TVisXMLAbs");
  return c;
}

// ---- The census of a tree to save ----

namespace {
thread_local const TXMLSaveCensus* tCensus = nullptr;

class TVisCensus : public TtiVisitor {
public:
  TVisCensus(std::vector<TtiObject*>& walk, std::vector<TXMLSaveCensus::Group>& groups)
      : walk_(walk), groups_(groups) {}
  void Execute(TtiVisited* visited) override {
    TtiVisitor::Execute(visited);
    if (!visited || !visited->InheritsFrom(TtiObject::StaticClass())) return;
    auto* obj = static_cast<TtiObject*>(visited);
    const TtiClass* cls = &obj->Class();
    const uint8_t state = obj->GetObjectState();
    // Objects of one class and state mostly come in runs: the group of the last one is tried first.
    if (last_ >= groups_.size() || groups_[last_].Cls != cls || groups_[last_].State != state) {
      last_ = 0;
      while (last_ < groups_.size() && (groups_[last_].Cls != cls || groups_[last_].State != state)) ++last_;
      if (last_ == groups_.size()) groups_.push_back({cls, state, {}});
    }
    if (walk_.size() >= UINT32_MAX) throw EtiPerInternalException("Too many objects to save in one tree");
    groups_[last_].Places.push_back(static_cast<uint32_t>(walk_.size()));
    walk_.push_back(obj);
  }

private:
  std::vector<TtiObject*>& walk_;
  std::vector<TXMLSaveCensus::Group>& groups_;
  size_t last_ = 0;
};
}  // namespace

TXMLSaveCensus::TXMLSaveCensus(TtiObject& root) : root_(&root), outer_(tCensus) {
  TVisCensus census(walk_, groups_);
  root.Iterate(census);
  tCensus = this;
}

TXMLSaveCensus::~TXMLSaveCensus() { tCensus = outer_; }

namespace {
// The census of that tree among those current (the innermost first); null when none.
template <class Census>
const Census* CensusOf(const Census* innermost, const TtiVisited* root) {
  for (const Census* c = innermost; c; c = c->Outer())
    if (c->Root() == root) return c;
  return nullptr;
}
}  // namespace

const TXMLSaveCensus* TXMLSaveCensus::For(const TtiVisited* root) { return CensusOf(tCensus, root); }

namespace {
thread_local const TXMLReadCensus* tReadCensus = nullptr;
}  // namespace

TXMLReadCensus::TXMLReadCensus(TtiObject& root, const std::string& DatabaseName, const std::string& LayerName)
    : root_(&root), outer_(tReadCensus) {
  const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(DatabaseName, LayerName);
  TtiDatabase& db = lease.Database();
  TtiDBMetaData tables;
  db.ReadMetaDataTables(tables);
  std::unique_ptr<TtiQuery> q = db.CreateTIQuery();
  q->AttachDatabase(&db);
  for (int i = 0; i < tables.Count(); ++i) {
    q->SelectRow(tables.Items(i)->GetName(), nullptr);
    if (!q->Eof()) filled_.push_back(LowerAscii(tables.Items(i)->GetName()));
    q->Close();
  }
  q->DetachDatabase();
  tReadCensus = this;
}

TXMLReadCensus::~TXMLReadCensus() { tReadCensus = outer_; }

const TXMLReadCensus* TXMLReadCensus::For(const TtiVisited* root) { return CensusOf(tReadCensus, root); }

bool TXMLReadCensus::HasRows(const std::string& table) const {
  const std::string key = LowerAscii(table);
  return std::find(filled_.begin(), filled_.end(), key) != filled_.end();
}

bool TXMLSaveCensus::Matches(const Group& g, const TXMLActsOn& acts) const {
  return g.State == acts.State && g.Cls->InheritsFrom(*acts.Cls) &&
         !(acts.Excluded && g.Cls->InheritsFrom(*acts.Excluded));
}

bool TXMLSaveCensus::Holds(const TXMLActsOn& acts) const {
  return std::any_of(groups_.begin(), groups_.end(), [&](const Group& g) { return Matches(g, acts); });
}

std::vector<TtiObject*> TXMLSaveCensus::Objects(const TXMLActsOn& acts) const {
  std::vector<const Group*> matching;
  size_t count = 0;
  for (const Group& g : groups_)
    if (Matches(g, acts)) {
      matching.push_back(&g);
      count += g.Places.size();
    }
  std::vector<uint32_t> places;
  if (matching.size() == 1) {
    places = matching.front()->Places;
  } else {
    places.reserve(count);
    for (const Group* g : matching) places.insert(places.end(), g->Places.begin(), g->Places.end());
    std::sort(places.begin(), places.end());
  }
  std::vector<TtiObject*> out;
  out.reserve(places.size());
  for (uint32_t p : places) out.push_back(walk_[p]);
  return out;
}

// ---- Bases ----

std::optional<TXMLActsOn> TVisXMLAbs::ActsOn() const { return std::nullopt; }

bool TVisXMLAbs::MayRead(const TXMLReadCensus&, const TtiVisited&) const { return true; }

void TVisXMLAbs::Execute(TtiVisited* visited) {
  if (first_) {
    first_ = false;
    // The walk's root: with a census of this tree, the walk ends here; in a save the visitor is given the
    // objects it could act on instead.
    const TXMLSaveCensus* saving = TXMLSaveCensus::For(visited);
    const TXMLReadCensus* reading = visited ? TXMLReadCensus::For(visited) : nullptr;
    const std::optional<TXMLActsOn> acts = saving ? ActsOn() : std::nullopt;
    if ((saving && acts && !saving->Holds(*acts)) || (reading && !MayRead(*reading, *visited))) {
      SetContinueVisiting(false);
      return;
    }
    if (saving && acts && GetIterationStyle() == isTopDown) {
      SetContinueVisiting(false);
      for (TtiObject* obj : saving->Objects(*acts)) {
        if (tiFrameworkTerminated()) break;
        Visit(obj);
      }
      return;
    }
    if (RootOnly()) SetContinueVisiting(false);
  }
  Visit(visited);
}

void TVisXMLAbs::Visit(TtiVisited* visited) {
  castFrom_ = nullptr;  // objects come and go during a run: nothing is kept from the visit before
  // Nearly no object of a tree is this visitor's: it is asked once, and only an object accepted goes on to
  // the base, which notes it for the states the controller sets after the commit.
  SetVisited(visited);
  if (!AcceptVisitor()) return;
  TtiPerObjVisitor::Execute(visited);
  Act(*VisitedObject());
}

TtiObject* TVisXMLAbs::VisitedObject() const {
  TtiVisited* v = GetVisited();
  if (v != castFrom_ || !castFrom_) {
    castFrom_ = v;
    // By the class descriptor, which mirrors the C++ classes: cheaper than a dynamic_cast, which would be
    // paid some hundred times for every object of a project.
    cast_ = v && v->InheritsFrom(TtiObject::StaticClass()) ? static_cast<TtiObject*>(v) : nullptr;
  }
  return cast_;
}

std::string TVisXMLAbs::FileName() const {
  return GetQuery() && GetQuery()->Database() ? GetQuery()->Database()->DatabaseName() : std::string();
}

const TtiClass& TVisXMLObjAbs::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLObjAbs, TVisXMLAbs>(), "TVisXMLObjAbs");
  return c;
}

std::optional<TXMLActsOn> TVisXMLObjAbs::ActsOn() const {
  return TXMLActsOn{&map_->Cls(), map_->Excluded ? &map_->Excluded() : nullptr, state_};
}

bool TVisXMLObjAbs::AcceptVisitor() {
  const TtiObject* o = VisitedObject();
  if (!o || o->GetObjectState() != state_ || !o->InheritsFrom(map_->Cls())) return false;
  return !map_->Excluded || !o->InheritsFrom(map_->Excluded());
}

const TtiClass& TVisXMLRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLRead, TVisXMLObjAbs>(), "TVisXMLRead");
  return c;
}

TVisXMLRead::TVisXMLRead(const TXMLClassMap& map) : TVisXMLObjAbs(map, posEmpty) {}

bool TVisXMLRead::MayRead(const TXMLReadCensus& census, const TtiVisited& root) const {
  return root.InheritsFrom(Map().Cls()) || census.HasRows(TableOf(Map()));
}

void TVisXMLRead::Act(TtiObject& obj) {
  const TXMLClassMap& m = Map();
  const std::string table = TableOf(m);
  const std::string oid = OIDText(obj);
  const std::string file = FileName();
  TtiQuery& q = Query();
  TtiQueryParams crit;
  RowCriteria(m, obj, crit);
  q.SelectRow(table, &crit);
  auto* business = dynamic_cast<TPerObjAbsEx*>(&obj);
  bool isProtected = false;
  {
    TQueryCloser closer{q};
    if (q.Eof()) {
      q.Close();
      MissingRow(obj, table, oid);
      return;
    }
    TXMLRow row(q, file, table, oid);
    row.Applying([&] {
      if (business) {
        // An object read again (a refresh) may be protected already: its setters would refuse the row.
        business->SetIsProtected(false);
        isProtected = row.Flag("IsProtected");
        business->SetNormVersion(TextToNormVersion(row.TextOr("NormVersion", "")));
        business->SetKVDVersion(TextToVersion(row.TextOr("KVDVersion", "")));
      }
      m.Read(row, obj);
    });
    q.Next();
    if (!q.Eof()) RaiseXMLDataError(msgXMLDuplicateOID, file, table, {oid, "OID", oid});
    q.Close();
  }
  if (m.ReadChildren) m.ReadChildren(q, obj, file);
  // Last: every setter before refuses to change a protected object.
  if (business) {
    try {
      business->SetIsProtected(isProtected);
    } catch (Exception& e) {
      Locate(e, file, table, oid, "IsProtected");
      throw;
    }
  }
  obj.SetObjectState(posClean);
}

void TVisXMLRead::MissingRow(TtiObject& obj, const std::string& table, const std::string& oid) {
  TtiObject* owner = obj.GetOwner();
  if (!owner) return;
  for (const TtiPropInfo* p : owner->Props().ObjectRows()) {
    if (p->Kind() != TtiPropKind::Object || p->RawObject(*owner) != &obj) continue;
    std::string ownerTable;
    try {
      ownerTable = TableNameForObject(*owner);
    } catch (const EInvalidValue&) {
      return;  // not held by a row of the file
    }
    RaiseXMLDataError(msgXMLDanglingReference, FileName(), ownerTable, {OIDText(*owner), p->Name(), oid, table});
  }
}

const TtiClass& TVisXMLCreate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLCreate, TVisXMLObjAbs>(), "TVisXMLCreate");
  return c;
}

TVisXMLCreate::TVisXMLCreate(const TXMLClassMap& map) : TVisXMLObjAbs(map, posCreate) {}

const TtiClass& TVisXMLUpdate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLUpdate, TVisXMLObjAbs>(), "TVisXMLUpdate");
  return c;
}

TVisXMLUpdate::TVisXMLUpdate(const TXMLClassMap& map) : TVisXMLObjAbs(map, posUpdate) {}

void TVisXMLObjAbs::WriteRow(TtiObject& obj, bool insert) {
  const TXMLClassMap& m = Map();
  const std::string table = TableOf(m);
  // A row without OID could never be read back or referred to.
  if (insert && (!obj.HasOID() || obj.GetOID().IsNull())) obj.GetOID().GetNextValue();
  // A creator writes the same columns for every object of its class: its list of values is used again (every
  // value emptied first), so that a project of many rows is not many thousand small lists built and freed.
  // An updater writes only what it sets, in a list of its own.
  TtiQueryParams updated;
  TtiQueryParams& values = insert ? inserted_ : updated;
  for (int i = 0; i < values.Count(); ++i) values.Items(i)->SetIsNull(true);
  if (const auto* business = dynamic_cast<const TPerObjAbsEx*>(&obj)) {
    values.SetValueAsInteger("IsProtected", business->GetIsProtected() ? 1 : 0);
    values.SetValueAsString("NormVersion", NormVersionText(business->GetNormVersion()));
    values.SetValueAsString("KVDVersion", VersionText(business->GetKVDVersion()));
  }
  TXMLValues v(values, Query(), table, obj);
  m.Write(v, obj, insert);
  if (m.TestChannelRow) values.SetValueAsInteger("IsTestChannel", 1);
  if (insert) {
    values.SetValueAsString("OID", OIDText(obj));
    Query().InsertRow(table, &values);
  } else {
    TtiQueryParams crit;
    RowCriteria(m, obj, crit);
    Query().UpdateRow(table, &values, &crit);
  }
  if (m.AfterWrite) m.AfterWrite(Query(), obj, insert);
  obj.SetObjectState(posClean);
}

void TVisXMLCreate::Act(TtiObject& obj) { WriteRow(obj, true); }

void TVisXMLUpdate::Act(TtiObject& obj) { WriteRow(obj, false); }

const TtiClass& TVisXMLDelete::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLDelete, TVisXMLObjAbs>(), "TVisXMLDelete");
  return c;
}

TVisXMLDelete::TVisXMLDelete(const TXMLClassMap& map) : TVisXMLObjAbs(map, posDelete) {}

void TVisXMLDelete::Act(TtiObject& obj) {
  const TXMLClassMap& m = Map();
  TtiQueryParams crit;
  RowCriteria(m, obj, crit);
  Query().DeleteRow(TableOf(m), &crit);
  if (m.AfterDelete) m.AfterDelete(Query(), obj);
  obj.SetObjectState(posDeleted);
}

const TtiClass& TVisXMLListRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLListRead, TVisXMLAbs>(), "TVisXMLListRead");
  return c;
}

bool TVisXMLListRead::AcceptVisitor() {
  const TtiObject* o = VisitedObject();
  return o && o->GetObjectState() == posEmpty && !o->GetOwner() && o->InheritsFrom(map_->Cls());
}

void TVisXMLListRead::Act(TtiObject& obj) {
  auto& list = static_cast<TtiObjectList&>(obj);
  const std::string table = TableNameForClass(map_->ItemCls());
  for (const std::string& oid : SelectOIDs(Query(), table, map_->OwnerColumn, std::string())) {
    std::unique_ptr<TtiObject> item = map_->NewItem();
    item->GetOID().SetAsString(oid);
    list.Add(std::move(item));
  }
  list.SetObjectState(posClean);
}

const TtiClass& TVisXMLTestChannelOpRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLTestChannelOpRead, TVisXMLChannelOpRead>(), "TVisXMLTestChannelOpRead");
  return c;
}

namespace {
bool IsEmptyTestChannelNode(const TtiObject* o) {
  return o && o->GetObjectState() == posEmpty && o->InheritsFrom(TTestChannelOp::StaticClass());
}
}  // namespace

bool TVisXMLTestChannelOpRead::AcceptVisitor() { return IsEmptyTestChannelNode(VisitedObject()); }

const TtiClass& TVisXMLTestChannelOpDelete::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisXMLTestChannelOpDelete, TVisXMLChannelOpDelete>(),
                          "TVisXMLTestChannelOpDelete");
  return c;
}

bool TVisXMLTestChannelOpDelete::AcceptVisitor() { return IsEmptyTestChannelNode(VisitedObject()); }

std::optional<TXMLActsOn> TVisXMLTestChannelOpDelete::ActsOn() const {
  return TXMLActsOn{&TTestChannelOp::StaticClass(), nullptr, posEmpty};
}

// ---- The concrete visitors ----

#define KELVADO_VIS_XML_DEF(Name, Base, Map) const TtiClass& Name::StaticClass() { static const TtiClass c(TtiClass::Of<Name, Base>(), #Name); return c; } Name::Name() : Base(Map) {}

KELVADO_VIS_XML_DEF(TVisXMLElementRead, TVisXMLRead, kElement)
KELVADO_VIS_XML_DEF(TVisXMLElementCreate, TVisXMLCreate, kElement)
KELVADO_VIS_XML_DEF(TVisXMLElementUpdate, TVisXMLUpdate, kElement)
KELVADO_VIS_XML_DEF(TVisXMLElementDelete, TVisXMLDelete, kElement)
KELVADO_VIS_XML_DEF(TVisXMLElementOpRead, TVisXMLRead, kElementOp)
KELVADO_VIS_XML_DEF(TVisXMLElementOpCreate, TVisXMLCreate, kElementOp)
KELVADO_VIS_XML_DEF(TVisXMLElementOpUpdate, TVisXMLUpdate, kElementOp)
KELVADO_VIS_XML_DEF(TVisXMLElementOpDelete, TVisXMLDelete, kElementOp)
KELVADO_VIS_XML_DEF(TVisXMLBlocRead, TVisXMLRead, kBloc)
KELVADO_VIS_XML_DEF(TVisXMLBlocCreate, TVisXMLCreate, kBloc)
KELVADO_VIS_XML_DEF(TVisXMLBlocUpdate, TVisXMLUpdate, kBloc)
KELVADO_VIS_XML_DEF(TVisXMLBlocDelete, TVisXMLDelete, kBloc)
KELVADO_VIS_XML_DEF(TVisXMLBlocOpRead, TVisXMLRead, kBlocOp)
KELVADO_VIS_XML_DEF(TVisXMLBlocOpCreate, TVisXMLCreate, kBlocOp)
KELVADO_VIS_XML_DEF(TVisXMLBlocOpUpdate, TVisXMLUpdate, kBlocOp)
KELVADO_VIS_XML_DEF(TVisXMLBlocOpDelete, TVisXMLDelete, kBlocOp)
KELVADO_VIS_XML_DEF(TVisXMLChannelRead, TVisXMLRead, kChannel)
KELVADO_VIS_XML_DEF(TVisXMLChannelCreate, TVisXMLCreate, kChannel)
KELVADO_VIS_XML_DEF(TVisXMLChannelUpdate, TVisXMLUpdate, kChannel)
KELVADO_VIS_XML_DEF(TVisXMLChannelDelete, TVisXMLDelete, kChannel)
KELVADO_VIS_XML_DEF(TVisXMLTestChannelRead, TVisXMLRead, kTestChannel)
KELVADO_VIS_XML_DEF(TVisXMLTestChannelCreate, TVisXMLCreate, kTestChannel)
KELVADO_VIS_XML_DEF(TVisXMLTestChannelUpdate, TVisXMLUpdate, kTestChannel)
KELVADO_VIS_XML_DEF(TVisXMLTestChannelDelete, TVisXMLDelete, kTestChannel)
KELVADO_VIS_XML_DEF(TVisXMLChannelOpRead, TVisXMLRead, kChannelOp)
KELVADO_VIS_XML_DEF(TVisXMLChannelOpCreate, TVisXMLCreate, kChannelOp)
KELVADO_VIS_XML_DEF(TVisXMLChannelOpUpdate, TVisXMLUpdate, kChannelOp)
KELVADO_VIS_XML_DEF(TVisXMLChannelOpDelete, TVisXMLDelete, kChannelOp)
KELVADO_VIS_XML_DEF(TVisXMLComponentRead, TVisXMLRead, kComponent)
KELVADO_VIS_XML_DEF(TVisXMLComponentCreate, TVisXMLCreate, kComponent)
KELVADO_VIS_XML_DEF(TVisXMLComponentUpdate, TVisXMLUpdate, kComponent)
KELVADO_VIS_XML_DEF(TVisXMLComponentDelete, TVisXMLDelete, kComponent)
KELVADO_VIS_XML_DEF(TVisXMLComponentOpRead, TVisXMLRead, kComponentOp)
KELVADO_VIS_XML_DEF(TVisXMLComponentOpCreate, TVisXMLCreate, kComponentOp)
KELVADO_VIS_XML_DEF(TVisXMLComponentOpUpdate, TVisXMLUpdate, kComponentOp)
KELVADO_VIS_XML_DEF(TVisXMLComponentOpDelete, TVisXMLDelete, kComponentOp)
KELVADO_VIS_XML_DEF(TVisXMLSFRead, TVisXMLRead, kSF)
KELVADO_VIS_XML_DEF(TVisXMLSFCreate, TVisXMLCreate, kSF)
KELVADO_VIS_XML_DEF(TVisXMLSFUpdate, TVisXMLUpdate, kSF)
KELVADO_VIS_XML_DEF(TVisXMLSFDelete, TVisXMLDelete, kSF)
KELVADO_VIS_XML_DEF(TVisXMLSFOpRead, TVisXMLRead, kSFOp)
KELVADO_VIS_XML_DEF(TVisXMLSFOpCreate, TVisXMLCreate, kSFOp)
KELVADO_VIS_XML_DEF(TVisXMLSFOpUpdate, TVisXMLUpdate, kSFOp)
KELVADO_VIS_XML_DEF(TVisXMLSFOpDelete, TVisXMLDelete, kSFOp)
KELVADO_VIS_XML_DEF(TVisXMLProjectRead, TVisXMLRead, kProject)
KELVADO_VIS_XML_DEF(TVisXMLProjectCreate, TVisXMLCreate, kProject)
KELVADO_VIS_XML_DEF(TVisXMLProjectUpdate, TVisXMLUpdate, kProject)
KELVADO_VIS_XML_DEF(TVisXMLProjectDelete, TVisXMLDelete, kProject)
KELVADO_VIS_XML_DEF(TVisXMLProjectOpRead, TVisXMLRead, kProjectOp)
KELVADO_VIS_XML_DEF(TVisXMLProjectOpCreate, TVisXMLCreate, kProjectOp)
KELVADO_VIS_XML_DEF(TVisXMLProjectOpUpdate, TVisXMLUpdate, kProjectOp)
KELVADO_VIS_XML_DEF(TVisXMLProjectOpDelete, TVisXMLDelete, kProjectOp)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureRead, TVisXMLRead, kDCMeasure)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureCreate, TVisXMLCreate, kDCMeasure)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureUpdate, TVisXMLUpdate, kDCMeasure)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureDelete, TVisXMLDelete, kDCMeasure)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureOpRead, TVisXMLRead, kDCMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureOpCreate, TVisXMLCreate, kDCMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureOpUpdate, TVisXMLUpdate, kDCMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureOpDelete, TVisXMLDelete, kDCMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureRead, TVisXMLRead, kCCFMeasure)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureCreate, TVisXMLCreate, kCCFMeasure)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureUpdate, TVisXMLUpdate, kCCFMeasure)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureDelete, TVisXMLDelete, kCCFMeasure)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureOpRead, TVisXMLRead, kCCFMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureOpCreate, TVisXMLCreate, kCCFMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureOpUpdate, TVisXMLUpdate, kCCFMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureOpDelete, TVisXMLDelete, kCCFMeasureOp)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionRead, TVisXMLRead, kCatCondition)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionCreate, TVisXMLCreate, kCatCondition)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionUpdate, TVisXMLUpdate, kCatCondition)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionDelete, TVisXMLDelete, kCatCondition)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionOpRead, TVisXMLRead, kCatConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionOpCreate, TVisXMLCreate, kCatConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionOpUpdate, TVisXMLUpdate, kCatConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionOpDelete, TVisXMLDelete, kCatConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionRead, TVisXMLRead, kPLCondition)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionCreate, TVisXMLCreate, kPLCondition)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionUpdate, TVisXMLUpdate, kPLCondition)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionDelete, TVisXMLDelete, kPLCondition)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionOpRead, TVisXMLRead, kPLConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionOpCreate, TVisXMLCreate, kPLConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionOpUpdate, TVisXMLUpdate, kPLConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionOpDelete, TVisXMLDelete, kPLConditionOp)
KELVADO_VIS_XML_DEF(TVisXMLMetaDataRead, TVisXMLRead, kMetaData)
KELVADO_VIS_XML_DEF(TVisXMLMetaDataCreate, TVisXMLCreate, kMetaData)
KELVADO_VIS_XML_DEF(TVisXMLMetaDataUpdate, TVisXMLUpdate, kMetaData)
KELVADO_VIS_XML_DEF(TVisXMLMetaDataDelete, TVisXMLDelete, kMetaData)
KELVADO_VIS_XML_DEF(TVisXMLElementOpListRead, TVisXMLListRead, kElementOpList)
KELVADO_VIS_XML_DEF(TVisXMLBlocOpListRead, TVisXMLListRead, kBlocOpList)
KELVADO_VIS_XML_DEF(TVisXMLChannelOpListRead, TVisXMLListRead, kChannelOpList)
KELVADO_VIS_XML_DEF(TVisXMLComponentOpListRead, TVisXMLListRead, kComponentOpList)
KELVADO_VIS_XML_DEF(TVisXMLSFOpListRead, TVisXMLListRead, kSFOpList)
KELVADO_VIS_XML_DEF(TVisXMLProjectOpListRead, TVisXMLListRead, kProjectOpList)
KELVADO_VIS_XML_DEF(TVisXMLDCMeasureOpListRead, TVisXMLListRead, kDCMeasureOpList)
KELVADO_VIS_XML_DEF(TVisXMLCCFMeasureOpListRead, TVisXMLListRead, kCCFMeasureOpList)
KELVADO_VIS_XML_DEF(TVisXMLCatConditionOpListRead, TVisXMLListRead, kCatConditionOpList)
KELVADO_VIS_XML_DEF(TVisXMLPLConditionOpListRead, TVisXMLListRead, kPLConditionOpList)
KELVADO_VIS_XML_DEF(TVisXMLMetaDataListRead, TVisXMLListRead, kMetaDataList)

#undef KELVADO_VIS_XML_DEF

// ---- Registration ----

void RegisterVisitorsXML() {
  using TClassFn = const TtiClass& (*)();
  static constexpr TClassFn kRead[] = {
      &ClassOf<TVisXMLMetaDataListRead>,       &ClassOf<TVisXMLMetaDataRead>,
      &ClassOf<TVisXMLElementOpListRead>,      &ClassOf<TVisXMLBlocOpListRead>,
      &ClassOf<TVisXMLChannelOpListRead>,      &ClassOf<TVisXMLComponentOpListRead>,
      &ClassOf<TVisXMLSFOpListRead>,           &ClassOf<TVisXMLProjectOpListRead>,
      &ClassOf<TVisXMLDCMeasureOpListRead>,    &ClassOf<TVisXMLCCFMeasureOpListRead>,
      &ClassOf<TVisXMLCatConditionOpListRead>, &ClassOf<TVisXMLPLConditionOpListRead>,
      &ClassOf<TVisXMLProjectOpRead>,          &ClassOf<TVisXMLProjectRead>,
      &ClassOf<TVisXMLSFOpRead>,               &ClassOf<TVisXMLSFRead>,
      &ClassOf<TVisXMLComponentOpRead>,        &ClassOf<TVisXMLComponentRead>,
      &ClassOf<TVisXMLChannelOpRead>,          &ClassOf<TVisXMLChannelRead>,
      &ClassOf<TVisXMLTestChannelOpRead>,      &ClassOf<TVisXMLTestChannelRead>,
      &ClassOf<TVisXMLBlocOpRead>,             &ClassOf<TVisXMLBlocRead>,
      &ClassOf<TVisXMLElementOpRead>,          &ClassOf<TVisXMLElementRead>,
      &ClassOf<TVisXMLDCMeasureOpRead>,        &ClassOf<TVisXMLDCMeasureRead>,
      &ClassOf<TVisXMLCCFMeasureOpRead>,       &ClassOf<TVisXMLCCFMeasureRead>,
      &ClassOf<TVisXMLCatConditionOpRead>,     &ClassOf<TVisXMLCatConditionRead>,
      &ClassOf<TVisXMLPLConditionOpRead>,      &ClassOf<TVisXMLPLConditionRead>,
  };
  static constexpr TClassFn kSave[] = {
      &ClassOf<TVisXMLMetaDataCreate>,       &ClassOf<TVisXMLMetaDataUpdate>,
      &ClassOf<TVisXMLMetaDataDelete>,       &ClassOf<TVisXMLDCMeasureCreate>,
      &ClassOf<TVisXMLDCMeasureUpdate>,      &ClassOf<TVisXMLDCMeasureOpCreate>,
      &ClassOf<TVisXMLDCMeasureOpUpdate>,    &ClassOf<TVisXMLProjectCreate>,
      &ClassOf<TVisXMLProjectUpdate>,        &ClassOf<TVisXMLProjectOpCreate>,
      &ClassOf<TVisXMLProjectOpUpdate>,      &ClassOf<TVisXMLSFCreate>,
      &ClassOf<TVisXMLSFUpdate>,             &ClassOf<TVisXMLSFOpCreate>,
      &ClassOf<TVisXMLSFOpUpdate>,           &ClassOf<TVisXMLComponentCreate>,
      &ClassOf<TVisXMLComponentUpdate>,      &ClassOf<TVisXMLComponentOpCreate>,
      &ClassOf<TVisXMLComponentOpUpdate>,    &ClassOf<TVisXMLChannelCreate>,
      &ClassOf<TVisXMLChannelUpdate>,        &ClassOf<TVisXMLTestChannelCreate>,
      &ClassOf<TVisXMLTestChannelUpdate>,    &ClassOf<TVisXMLChannelOpCreate>,
      &ClassOf<TVisXMLChannelOpUpdate>,      &ClassOf<TVisXMLBlocCreate>,
      &ClassOf<TVisXMLBlocUpdate>,           &ClassOf<TVisXMLBlocOpCreate>,
      &ClassOf<TVisXMLBlocOpUpdate>,         &ClassOf<TVisXMLElementCreate>,
      &ClassOf<TVisXMLElementUpdate>,        &ClassOf<TVisXMLElementOpCreate>,
      &ClassOf<TVisXMLElementOpUpdate>,      &ClassOf<TVisXMLCCFMeasureCreate>,
      &ClassOf<TVisXMLCCFMeasureUpdate>,     &ClassOf<TVisXMLCCFMeasureOpCreate>,
      &ClassOf<TVisXMLCCFMeasureOpUpdate>,   &ClassOf<TVisXMLCatConditionCreate>,
      &ClassOf<TVisXMLCatConditionUpdate>,   &ClassOf<TVisXMLPLConditionCreate>,
      &ClassOf<TVisXMLPLConditionUpdate>,    &ClassOf<TVisXMLCatConditionOpCreate>,
      &ClassOf<TVisXMLCatConditionOpUpdate>, &ClassOf<TVisXMLPLConditionOpCreate>,
      &ClassOf<TVisXMLPLConditionOpUpdate>,
      // Deleters, children first.
      &ClassOf<TVisXMLCCFMeasureOpDelete>,   &ClassOf<TVisXMLCCFMeasureDelete>,
      &ClassOf<TVisXMLCatConditionOpDelete>, &ClassOf<TVisXMLCatConditionDelete>,
      &ClassOf<TVisXMLPLConditionOpDelete>,  &ClassOf<TVisXMLPLConditionDelete>,
      &ClassOf<TVisXMLElementOpDelete>,      &ClassOf<TVisXMLElementDelete>,
      &ClassOf<TVisXMLBlocOpDelete>,         &ClassOf<TVisXMLBlocDelete>,
      &ClassOf<TVisXMLChannelOpDelete>,      &ClassOf<TVisXMLChannelDelete>,
      &ClassOf<TVisXMLTestChannelOpDelete>,  &ClassOf<TVisXMLTestChannelDelete>,
      &ClassOf<TVisXMLComponentOpDelete>,    &ClassOf<TVisXMLComponentDelete>,
      &ClassOf<TVisXMLSFOpDelete>,           &ClassOf<TVisXMLSFDelete>,
      &ClassOf<TVisXMLProjectOpDelete>,      &ClassOf<TVisXMLProjectDelete>,
      &ClassOf<TVisXMLDCMeasureOpDelete>,    &ClassOf<TVisXMLDCMeasureDelete>,
  };
  static_assert(std::size(kRead) == 34 && std::size(kSave) == 67);
  TtiVisitorManager& vm = tiPerMgr().GetVisitorManager();
  vm.UnRegisterVisitors(cTask_ReadXML);
  vm.UnRegisterVisitors(cTask_SaveXML);
  for (TClassFn c : kRead) vm.RegisterVisitor(cTask_ReadXML, c());
  for (TClassFn c : kSave) vm.RegisterVisitor(cTask_SaveXML, c());
}

}  // namespace kelvado
