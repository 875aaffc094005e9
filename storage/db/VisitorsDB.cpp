#include "storage/db/VisitorsDB.h"

#include <cmath>
#include <iterator>
#include <memory>
#include <string_view>
#include <vector>

#include "framework/tiPerManager.h"
#include "framework/tiQuery.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/Exceptions.h"
#include "model/GlobalsTexts.h"
#include "model/MetaData.h"
#include "storage/db/GlobalsPer.h"

namespace kelvado {

namespace {

// ---- Hooks ----

struct THooks {
  TNotifyEvent AfterRead;
  TNotifyEvent BeforeRead;
  TNotifyEvent AfterSave;
  TNotifyEvent BeforeSave;
};

THooks& Hooks() {
  static THooks h;
  return h;
}

void Fire(const TNotifyEvent& hook, TtiObject* object) {
  if (hook && object) hook(object);
}

// ---- Objects ----

std::string OIDText(const TtiObject& o) { return o.HasOID() ? o.GetOID().GetAsString() : std::string(); }

bool HasOIDValue(const TtiObject* o) { return o && o->HasOID() && !o->GetOID().IsNull() && !OIDText(*o).empty(); }

// The object a node row belongs to: its Owner, past the list that holds the node, when that is exactly of one
// of the given classes (a subclass does not count); null otherwise.
const TtiObject* ExactOwner(const TtiObject& o, std::initializer_list<const TtiClass*> classes) {
  const TtiObject* owner = o.GetOwner();
  while (owner && dynamic_cast<const TtiObjectList*>(owner)) owner = owner->GetOwner();
  if (!owner) return nullptr;
  for (const TtiClass* c : classes)
    if (&owner->Class() == c) return owner;
  return nullptr;
}

// A new empty object with the OID a row names, for the reader of its class to fill later in the same run.
template <class T>
std::unique_ptr<T> WithOID(const std::string& oid) {
  auto o = std::make_unique<T>();
  o->GetOID().SetAsString(oid);
  return o;
}

std::string TrimRight(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// ---- The current row of a reader ----

// The current row; it keeps the column read last, the one whose value a setter refuses, and errors name the
// library, the table, the row and the column.
class TDBRow {
public:
  TDBRow(TtiQuery& q, const std::string& table, const std::string& oid, int index)
      : q_(q), table_(table), oid_(oid), index_(index) {}

  // 0 for the first row of the visit.
  int Index() const { return index_; }
  bool IsNull(const char* col) const {
    col_ = col;
    return q_.FieldIsNull(col);
  }
  std::string Text(const char* col) const {
    col_ = col;
    return q_.FieldAsString(col);
  }
  int64_t Int(const char* col) const {
    col_ = col;
    return q_.FieldAsInteger(col);
  }
  bool Flag(const char* col) const { return Int(col) != 0; }
  double Float(const char* col) const {
    col_ = col;
    return q_.FieldAsFloat(col);
  }
  // A column in which -2.0 stands for +infinity.
  double Inf(const char* col) const { return StoredFloatToInf(Float(col)); }
  DateTime Date(const char* col) const {
    col_ = col;
    return DateTime{q_.FieldAsDateTime(col)};
  }
  // An enumeration by the identifier text of its value (CHAR columns come padded); any other text is refused.
  template <class E>
  E Enum(const char* col) const {
    const std::string t = TrimRight(Text(col));
    E v{};
    if (!EnumFromName(t, v)) Invalid(col, t);
    return v;
  }
  // The OID text of a reference column; empty for NULL.
  std::string Ref(const char* col) const { return IsNull(col) ? std::string() : TrimRight(Text(col)); }
  // A node's reference to its data object, which is never NULL or empty: such a node would be read with an
  // object the file does not hold.
  std::string DataRef(const char* col, const std::string& targetTable) const {
    std::string oid = Ref(col);
    if (oid.empty()) {
      raised_ = true;
      throw EIOError(msgXMLDanglingReference, {File(), table_, oid_, col, "", targetTable});
    }
    return oid;
  }

  [[noreturn]] void Invalid(const char* col, const std::string& value) const {
    raised_ = true;
    throw EIOError(msgXMLInvalidValue, {File(), table_, oid_, col, value});
  }

  // Runs `apply` (setters given the row's values); an error it raises that does not name its place yet gets
  // the place of the column read last in front of its text (class, number and arguments stay).
  template <class F>
  void Applying(F&& apply) const {
    try {
      apply();
    } catch (Exception& e) {
      if (!raised_) Locate(e, col_);
      throw;
    }
  }
  void Locate(Exception& e, const char* col) const {
    // The place names the value's item: a name the model put in front of its refusal would only repeat it.
    e.SetMessage(PlaceOfValue(File(), table_, oid_, col) + TextWithoutItem(e));
  }

private:
  std::string File() const { return q_.Database() ? q_.Database()->DatabaseName() : std::string(); }

  TtiQuery& q_;
  const std::string& table_;
  const std::string& oid_;
  int index_;
  mutable const char* col_ = "OID";
  mutable bool raised_ = false;  // the error passing is the row's own and names its place
};

}  // namespace

// ---- The values of a row to write ----

// Collected by name in the order of the statement's columns; the statement is built from the names, so the
// columns written and the parameters bound cannot differ.
class TDBValues {
public:
  void Text(const char* col, const std::string& v) { items_.push_back({col, Kind::Text, v, 0.0, 0}); }
  void Int(const char* col, int64_t v) { items_.push_back({col, Kind::Int, {}, 0.0, v}); }
  void Flag(const char* col, bool v) { Int(col, v ? 1 : 0); }
  // +infinity (and NaN) are written as the stored -2.0.
  void Float(const char* col, double v) {
    items_.push_back({col, Kind::Float, {}, std::isnan(v) || std::isinf(v) ? StoredInfinity : v, 0});
  }
  void Date(const char* col, DateTime v) { items_.push_back({col, Kind::Date, {}, v.Days, 0}); }
  template <class E>
  void Enum(const char* col, E v) {
    Text(col, std::string(EnumName(v)));
  }
  // The OID of the object referred to; NULL when there is none (or it has no OID yet).
  void Ref(const char* col, const TtiObject* o) {
    if (HasOIDValue(o)) Text(col, OIDText(*o));
    else items_.push_back({col, Kind::Null, {}, 0.0, 0});
  }
  // A constant written into the statement itself.
  void Literal(const char* col, const char* sqlValue) { items_.push_back({col, Kind::Literal, sqlValue, 0.0, 0}); }

  // "INSERT INTO T (A, B) VALUES (:A, :B)".
  std::string InsertSQL(const std::string& table) const {
    std::string cols, vals;
    for (const Item& i : items_) {
      cols += (cols.empty() ? "" : ", ") + std::string(i.Col);
      vals += (vals.empty() ? "" : ", ") + Placeholder(i);
    }
    return "INSERT INTO " + table + " (" + cols + ") VALUES (" + vals + ")";
  }
  // "UPDATE OR INSERT INTO T (A, B) VALUES (:A, :B) MATCHING (OID)".
  std::string UpsertSQL(const std::string& table) const {
    return "UPDATE OR " + InsertSQL(table) + " MATCHING (OID)";
  }
  // "UPDATE T SET A = :A, B = :B WHERE OID = :OID".
  std::string UpdateSQL(const std::string& table) const {
    std::string sets;
    for (const Item& i : items_)
      if (std::string_view(i.Col) != "OID") sets += (sets.empty() ? "" : ", ") + std::string(i.Col) + " = " + Placeholder(i);
    return "UPDATE " + table + " SET " + sets + " WHERE OID = :OID";
  }
  void Bind(TtiQuery& q) const {
    for (const Item& i : items_) {
      switch (i.K) {
        case Kind::Text: q.SetParamAsString(i.Col, i.S); break;
        case Kind::Int: q.SetParamAsInteger(i.Col, i.I); break;
        case Kind::Float: q.SetParamAsFloat(i.Col, i.D); break;
        case Kind::Date: q.SetParamAsDateTime(i.Col, i.D); break;
        case Kind::Null: q.SetParamIsNull(i.Col, true); break;
        case Kind::Literal: break;
      }
    }
  }
  void Clear() { items_.clear(); }

private:
  enum class Kind : uint8_t { Text, Int, Float, Date, Null, Literal };
  struct Item {
    const char* Col;
    Kind K;
    std::string S;
    double D;
    int64_t I;
  };
  static std::string Placeholder(const Item& i) { return i.K == Kind::Literal ? i.S : ":" + std::string(i.Col); }
  std::vector<Item> items_;
};

namespace {

// The values every business row starts with: the protection flag and the running program's stamps.
void WriteCommon(TDBValues& v, const TtiObject& o) {
  const auto& b = static_cast<const TPerObjAbsEx&>(o);
  v.Flag("IsProtected", b.GetIsProtected());
  v.Text("NormVersion", NormVersionText(CurrentNormVersion));
  v.Text("KVDVersion", VersionText(CurrentKVDVersion));
}

// The stamps of a row; the protection flag is set by the reader after the last row.
void ReadStamps(const TDBRow& r, TtiObject& o, const char* normCol = "NormVersion",
                const char* kvdCol = "KVDVersion") {
  auto& b = static_cast<TPerObjAbsEx&>(o);
  b.SetNormVersion(TextToNormVersion(r.Text(normCol)));
  b.SetKVDVersion(TextToVersion(r.Text(kvdCol)));
}

constexpr const char* kCommonCols = "NormVersion, KVDVersion, IsProtected";

}  // namespace

// How one business class maps to its table.
struct TDBClassMap {
  const TtiClass& (*Cls)();
  // Objects of this subclass are not served (the plain channel visitors leave test channels alone); may be null.
  const TtiClass& (*Excluded)();
  // The reader's SELECT (":OID" its one parameter).
  std::string (*ReadSQL)();
  // Maps one row (joined readers get several); the stamps and the protection flag are the caller's.
  void (*Read)(const TDBRow&, TtiObject&);
  // Whether the row carries the common columns (all but the metadata record).
  bool Business;
  // Own columns of create and update (OID and, for business rows, the common columns come from the caller).
  void (*Write)(TDBValues&, const TtiObject&, TDBWrite);
  // Statements run before the row's own (the link rows of a DC measure); may be null.
  void (*BeforeWrite)(TtiQuery&, const TtiObject&, TDBWrite);
  // After the commit, for every object written (the subsystem's lists); may be null.
  void (*AfterCommit)(TtiObject&, TDBWrite);
  // Whether update and delete statements end with ";" (as the release that made the files wrote them).
  bool Semicolon;
  // Whether the file holds a row for the object; null: always. Create and update delete the row of an object
  // the file does not hold, and update writes the row anew when it is gone.
  bool (*Held)(const TtiObject&);
};

struct TDBListMap {
  const TtiClass& (*Cls)();
  std::string (*SQL)();
  std::unique_ptr<TtiObject> (*NewItem)();
  // Whether ":NormVersion" is bound to the running program's edition.
  bool ByEdition;
};

namespace {

template <class T>
const TtiClass& ClassOf() {
  return T::StaticClass();
}

template <class T>
std::string Tbl() {
  return TableNameForClass<T>();
}

// SELECT <common columns>, <cols> FROM <table of T> WHERE OID = :OID
template <class T>
std::string Select(const char* cols) {
  return std::string("SELECT ") + kCommonCols + ", " + cols + " FROM " + Tbl<T>() + " WHERE OID = :OID";
}

// ---- Element and element node ----

void ReadElement(const TDBRow& r, TtiObject& o) {
  auto& e = static_cast<TElement&>(o);
  e.SetName(r.Text("Name"));
  e.SetB10d(r.Inf("B10d"));
  e.SetDC(r.Float("DC"));
  e.SetDCDet(r.Enum<TDetermination>("DCDet"));
  e.SetDCDocumentation(r.Text("DCDocumentation"));
  const std::string m = r.Ref("DCMeasureOp");
  if (m.empty()) e.SetDCMeasureOp(nullptr);
  else if (!e.GetDCMeasureOp() || OIDText(*e.GetDCMeasureOp()) != m) e.SetDCMeasureOp(WithOID<TDCMeasureOp>(m));
  e.SetDescription(r.Text("Description"));
  e.SetDocument(r.Text("Document"));
  e.SetDocumentation(r.Text("Documentation"));
  e.SetManufacturer(r.Text("Manufacturer"));
  e.SetMissionTime(r.Inf("MissionTime"));
  e.SetMTTFd(r.Inf("MTTFd"));
  e.SetPartNo(r.Text("PartNo"));
  e.SetTechnology(r.Enum<TTechnology>("Technology"));
  e.SetUseB10d(r.Flag("UseB10d"));
}

void WriteElement(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& e = static_cast<const TElement&>(o);
  v.Text("Name", e.GetName());
  v.Float("B10d", e.GetB10d());
  v.Float("DC", e.GetDC());
  v.Enum("DCDet", e.GetDCDet());
  v.Text("DCDocumentation", e.GetDCDocumentation());
  v.Ref("DCMeasureOp", e.GetDCMeasureOp());
  v.Text("Description", e.GetDescription());
  v.Text("Document", e.GetDocument());
  v.Text("Documentation", e.GetDocumentation());
  v.Text("Manufacturer", e.GetManufacturer());
  v.Float("MissionTime", e.GetMissionTime());
  v.Float("MTTFd", e.GetMTTFd());
  v.Text("PartNo", e.GetPartNo());
  v.Enum("Technology", e.GetTechnology());
  v.Flag("UseB10d", e.GetUseB10d());
}

std::string ElementSQL() {
  return Select<TElement>(
      "Name, B10d, DC, DCDet, DCDocumentation, DCMeasureOp, Description, Document, Documentation, Manufacturer, "
      "MissionTime, MTTFd, PartNo, Technology, UseB10d");
}

void ReadElementOp(const TDBRow& r, TtiObject& o) {
  auto& op = static_cast<TElementOp&>(o);
  op.SetNop(r.Inf("Nop"));
  op.SetElement(WithOID<TElement>(r.DataRef("Element", Tbl<TElement>())));
}

void WriteElementOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TElementOp&>(o);
  v.Ref("Element", op.GetElement());
  v.Ref("BlocOp", ExactOwner(op, {&TBlocOp::StaticClass()}));
  v.Float("Nop", op.GetNop());
  v.Float("ElmOrder", op.GetElmOrder());
}

std::string ElementOpSQL() { return Select<TElementOp>("Element, Nop"); }

// ---- Block and block node ----

void ReadBloc(const TDBRow& r, TtiObject& o) {
  auto& b = static_cast<TBloc&>(o);
  b.SetName(r.Text("Name"));
  b.SetDC(r.Float("DC"));
  b.SetDCDet(r.Enum<TDetermination>("DCDet"));
  b.SetDCDocumentation(r.Text("DCDocumentation"));
  const std::string m = r.Ref("DCMeasureOp");
  if (m.empty()) b.SetDCMeasureOp(nullptr);
  else if (!b.GetDCMeasureOp() || OIDText(*b.GetDCMeasureOp()) != m) b.SetDCMeasureOp(WithOID<TDCMeasureOp>(m));
  b.SetDescription(r.Text("Description"));
  b.SetDocument(r.Text("Document"));
  b.SetDocumentation(r.Text("Documentation"));
  b.SetManufacturer(r.Text("Manufacturer"));
  b.SetMissionTime(r.Inf("MissionTime"));
  b.SetMTTFd(r.Inf("MTTFd"));
  b.SetMTTFdDet(r.Enum<TDetermination>("MTTFdDet"));
  b.SetPartNo(r.Text("PartNo"));
}

void WriteBloc(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& b = static_cast<const TBloc&>(o);
  v.Text("Name", b.GetName());
  v.Float("DC", b.GetDC());
  v.Enum("DCDet", b.GetDCDet());
  v.Text("DCDocumentation", b.GetDCDocumentation());
  v.Ref("DCMeasureOp", b.GetDCMeasureOp());
  v.Text("Description", b.GetDescription());
  v.Text("Document", b.GetDocument());
  v.Text("Documentation", b.GetDocumentation());
  v.Text("Manufacturer", b.GetManufacturer());
  v.Float("MissionTime", b.GetMissionTime());
  v.Float("MTTFd", b.GetMTTFd());
  v.Enum("MTTFdDet", b.GetMTTFdDet());
  v.Text("PartNo", b.GetPartNo());
}

std::string BlocSQL() {
  return Select<TBloc>(
      "Name, DC, DCDet, DCDocumentation, DCMeasureOp, Description, Document, Documentation, Manufacturer, "
      "MissionTime, MTTFd, MTTFdDet, PartNo");
}

void ReadBlocOp(const TDBRow& r, TtiObject& o) {
  auto& op = static_cast<TBlocOp&>(o);
  if (r.Index() == 0) {
    op.GetElementOpList()->Clear();
    if (!op.GetBloc()) op.SetBloc(WithOID<TBloc>(r.DataRef("Bloc", Tbl<TBloc>())));
  }
  if (const std::string e = r.Ref("ElementOp_OID"); !e.empty()) op.GetElementOpList()->Add(WithOID<TElementOp>(e));
}

void WriteBlocOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TBlocOp&>(o);
  v.Ref("Bloc", op.GetBloc());
  v.Ref("ChannelOp", ExactOwner(op, {&TChannelOp::StaticClass(), &TTestChannelOp::StaticClass()}));
  v.Float("BlocOrder", op.GetBlocOrder());
}

std::string BlocOpSQL() {
  const std::string b = Tbl<TBlocOp>(), e = Tbl<TElementOp>();
  return "SELECT " + b + ".NormVersion, " + b + ".KVDVersion, " + b + ".IsProtected, " + b + ".Bloc, " + e +
         ".OID AS ElementOp_OID FROM " + b + " LEFT JOIN " + e + " ON " + b + ".OID = " + e + ".BlocOp WHERE " + b +
         ".OID = :OID ORDER BY " + e + ".ElmOrder ASC";
}

// ---- Channels and channel nodes ----

void ReadNothing(const TDBRow&, TtiObject&) {}

void WriteChannel(TDBValues& v, const TtiObject&, TDBWrite) { v.Literal("IsTestChannel", "0"); }
void WriteTestChannel(TDBValues& v, const TtiObject&, TDBWrite) { v.Literal("IsTestChannel", "1"); }

std::string ChannelSQL() { return Select<TChannel>("IsTestChannel"); }

// The channel list that holds the node (its subsystem node's, or a list of its own); null when none.
TChannelOpList* ChannelListOf(TChannelOp& op) {
  TtiObject* owner = op.GetOwner();
  TChannelOpList* list = dynamic_cast<TChannelOpList*>(owner);
  if (auto* comp = dynamic_cast<TComponentOp*>(owner)) list = comp->GetChannelOpList();
  return list && list->IndexOf(&op) >= 0 ? list : nullptr;
}

void ReadChannelOp(const TDBRow& r, TtiObject& o) {
  auto& op = static_cast<TChannelOp&>(o);
  if (r.Index() == 0) {
    op.GetBlocOpList()->Clear();
    if (!op.GetChannel()) {
      const std::string channel = r.DataRef("Channel", Tbl<TChannel>());
      if (r.Flag("IsTestChannelOp")) op.SetChannel(WithOID<TTestChannel>(channel));
      else op.SetChannel(WithOID<TChannel>(channel));
    }
    // A channel node read on its own is paired with the test-channel node its row names when its list holds
    // that node; a pairing is never made with a node that nothing owns.
    const std::string pair = r.Ref("TestChannelOp");
    if (!pair.empty() && !op.GetTestChannelOp() && !op.IsTestChannelNode())
      if (TChannelOpList* list = ChannelListOf(op))
        if (auto* tc = dynamic_cast<TTestChannelOp*>(list->FindByOIDAsString(pair))) op.SetTestChannelOp(tc);
  }
  if (const std::string b = r.Ref("BlocOp_OID"); !b.empty()) op.GetBlocOpList()->Add(WithOID<TBlocOp>(b));
}

void WriteChannelOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TChannelOp&>(o);
  v.Ref("Channel", op.GetChannel());
  v.Float("ChnOrder", op.GetChnOrder());
  // A deleted test channel counts as absent: its row goes with this save, so no row may still name it.
  const TTestChannelOp* tc = op.GetTestChannelOp();
  v.Ref("TestChannelOp", tc && !tc->GetDeleted() ? tc : nullptr);
  v.Flag("IsTestChannelOp", op.IsTestChannelNode());
  v.Ref("ComponentOp", ExactOwner(op, {&TComponentOp::StaticClass()}));
}

void RunNow(TtiQuery& q, const std::string& sql, const TDBValues& values);

// A test-channel node that goes leaves no channel node naming it (those not saved with it keep their rows).
void BeforeChannelOpWrite(TtiQuery& q, const TtiObject& o, TDBWrite kind) {
  const auto& op = static_cast<const TChannelOp&>(o);
  if (kind != TDBWrite::Delete || !op.IsTestChannelNode()) return;
  TDBValues key;
  key.Text("TestChannelOp", OIDText(op));
  RunNow(q, "UPDATE " + Tbl<TChannelOp>() + " SET TestChannelOp = NULL WHERE TestChannelOp = :TestChannelOp", key);
}

std::string ChannelOpSQL() {
  const std::string c = Tbl<TChannelOp>(), b = Tbl<TBlocOp>();
  return "SELECT " + c + ".NormVersion, " + c + ".KVDVersion, " + c + ".IsProtected, " + c + ".Channel, " + c +
         ".TestChannelOp, " + c + ".IsTestChannelOp, " + b + ".OID AS BlocOp_OID FROM " + c + " LEFT JOIN " + b +
         " ON " + c + ".OID = " + b + ".ChannelOp WHERE " + c + ".OID = :OID ORDER BY " + b + ".BlocOrder ASC";
}

// ---- Subsystem and subsystem node ----

template <class Node, class List>
void AddNodeOnce(List& list, const std::string& oid) {
  if (oid.empty() || list.FindByOIDAsString(oid)) return;
  list.Add(WithOID<Node>(oid));
}

void ReadComponent(const TDBRow& r, TtiObject& o) {
  auto& c = static_cast<TComponent&>(o);
  if (r.Index() == 0) {
    c.GetCCFMeasureOps()->Clear();
    c.GetCatConditionOps()->Clear();
    c.GetPLConditionOps()->Clear();
  }
  c.SetName(r.Text("Name"));
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
  c.SetDocument(r.Text("Document"));
  c.SetDocumentation(r.Text("Documentation"));
  c.SetManufacturer(r.Text("Manufacturer"));
  c.SetMissionTime(r.Inf("MissionTime"));
  c.SetMTTFd(r.Inf("MTTFd"));
  c.SetMTTFdDet(r.Enum<TDetermination>("MTTFdDet"));
  c.SetPartNo(r.Text("PartNo"));
  c.SetPLDirectNoBind(r.Enum<TPL>("PLDirectNoBind"));
  c.SetIsPLPFHBind(r.Flag("IsPLPFHBind"));
  c.SetPFH(r.Inf("PFH"));
  c.SetPLDet(r.Enum<TDetermination>("PLDet"));
  c.SetPLDocumentation(r.Text("PLDocumentation"));
  c.SetUseWorstCaseMTTFd(r.Flag("UseWorstCaseMTTFd"));
  c.SetCatConditionsRelevant(r.Flag("CatConditionsRelevant"));
  // The joins multiply the rows: each node enters its list once.
  AddNodeOnce<TCCFMeasureOp>(*c.GetCCFMeasureOps(), r.Ref("CCFMeasureOp_OID"));
  AddNodeOnce<TCatConditionOp>(*c.GetCatConditionOps(), r.Ref("CatConditionOp_OID"));
  AddNodeOnce<TPLConditionOp>(*c.GetPLConditionOps(), r.Ref("PLConditionOp_OID"));
}

void WriteComponent(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& c = static_cast<const TComponent&>(o);
  v.Text("Name", c.GetName());
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
  v.Float("MissionTime", c.GetMissionTime());
  // As entered: the category's cap applies when computing, so a library item never carries a value cut
  // under the options of the program that wrote it.
  v.Float("MTTFd", c.GetMTTFdOrgValue());
  v.Enum("MTTFdDet", c.GetMTTFdDet());
  v.Text("PartNo", c.GetPartNo());
  v.Enum("PLDirectNoBind", c.GetPLDirectNoBind());
  v.Flag("IsPLPFHBind", c.GetIsPLPFHBind());
  v.Float("PFH", c.GetPFH());
  v.Enum("PLDet", c.GetPLDet());
  v.Text("PLDocumentation", c.GetPLDocumentation());
  v.Flag("UseWorstCaseMTTFd", c.GetUseWorstCaseMTTFd());
  v.Flag("CatConditionsRelevant", c.GetCatConditionsRelevant());
}

// The subsystem's three lists hold what was written: their nodes are written by their own visitors.
void AfterComponentCommit(TtiObject& o, TDBWrite kind) {
  auto& c = static_cast<TComponent&>(o);
  for (TtiObjectList* list : {static_cast<TtiObjectList*>(c.GetCatConditionOps()),
                              static_cast<TtiObjectList*>(c.GetPLConditionOps()),
                              static_cast<TtiObjectList*>(c.GetCCFMeasureOps())}) {
    if (kind == TDBWrite::Delete) {
      list->SetDirty(false);
      list->SetObjectState(posDeleted);
    } else {
      list->SetObjectState(posClean);
    }
  }
}

std::string ComponentSQL() {
  const std::string c = Tbl<TComponent>(), m = Tbl<TCCFMeasureOp>(), k = Tbl<TCatConditionOp>(),
                    p = Tbl<TPLConditionOp>();
  std::string cols;
  for (const char* col :
       {"NormVersion", "KVDVersion", "IsProtected", "Name", "Cat", "CatDocumentation", "CatStandard",
        "CatStandardFile", "CCFScore", "CCFScoreDet", "DCavg", "DCavgDet", "DCavgDocumentation", "Description",
        "Document", "Documentation", "Manufacturer", "MissionTime", "MTTFd", "MTTFdDet", "PartNo", "PLDirectNoBind",
        "IsPLPFHBind", "PFH", "PLDet", "PLDocumentation", "UseWorstCaseMTTFd", "CatConditionsRelevant"})
    cols += c + "." + col + ", ";
  return "SELECT " + cols + m + ".OID AS CCFMeasureOp_OID, " + k + ".OID AS CatConditionOp_OID, " + p +
         ".OID AS PLConditionOp_OID FROM " + c + " LEFT JOIN " + m + " ON " + c + ".OID = " + m + ".Component" +
         " LEFT JOIN " + k + " ON " + c + ".OID = " + k + ".Component LEFT JOIN " + p + " ON " + c + ".OID = " + p +
         ".Component WHERE " + c + ".OID = :OID ORDER BY " + m + ".CCFMOrder ASC, " + k + ".OID ASC, " + p + ".OID ASC";
}

// Channel nodes in their order, followed by the test-channel node; each channel node paired with the
// test-channel node its row names (the test-channel rows come first in the reader's order).
void ReadComponentOp(const TDBRow& r, TtiObject& o) {
  auto& op = static_cast<TComponentOp&>(o);
  TChannelOpList& list = *op.GetChannelOpList();
  if (r.Index() == 0) {
    list.Clear();
    if (!op.GetComponent()) op.SetComponent(WithOID<TComponent>(r.DataRef("Component", Tbl<TComponent>())));
  }
  const std::string oid = r.Ref("ChannelOp_OID");
  if (oid.empty()) return;
  std::unique_ptr<TChannelOp> node;
  if (r.Flag("IsTestChannelOp")) {
    node = WithOID<TTestChannelOp>(oid);
  } else {
    node = WithOID<TChannelOp>(oid);
    if (auto* tc = dynamic_cast<TTestChannelOp*>(list.FindByOIDAsString(r.Ref("TestChannelOp"))))
      node->SetTestChannelOp(tc);
  }
  int at = list.GetCount();
  for (int i = 0; i < list.GetCount(); ++i) {
    TChannelOp* item = list.Items(i);
    if (item->IsTestChannelNode() && !item->GetDeleted()) {
      at = i;
      break;
    }
  }
  // Inserted as it is: the list's own Add would pair every channel node with a new test-channel node.
  list.TPerObjListEx::Insert(at, std::unique_ptr<TtiObject>(std::move(node)));
}

void WriteComponentOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TComponentOp&>(o);
  v.Ref("Component", op.GetComponent());
  v.Float("CompOrder", op.GetCompOrder());
}

std::string ComponentOpSQL() {
  const std::string k = Tbl<TComponentOp>(), c = Tbl<TChannelOp>();
  return "SELECT " + k + ".NormVersion, " + k + ".KVDVersion, " + k + ".IsProtected, " + k + ".Component, " + c +
         ".OID AS ChannelOp_OID, " + c + ".IsTestChannelOp, " + c + ".TestChannelOp FROM " + k + " LEFT JOIN " + c +
         " ON " + k + ".OID = " + c + ".ComponentOp WHERE " + k + ".OID = :OID ORDER BY " + c +
         ".IsTestChannelOp DESC, " + c + ".ChnOrder ASC";
}

// ---- DC measures ----

const char* const kInsuffTable = "DCMeasureInsuffPLs";

void ReadDCMeasure(const TDBRow& r, TtiObject& o) {
  auto& m = static_cast<TDCMeasure&>(o);
  m.SetHeading(r.Text("Heading"));
  // The upper bound first: a lower bound above the old upper one would move that along.
  m.SetDCmax(r.Float("DCmax"));
  m.SetDCmin(r.Float("DCmin"));
  m.SetDCmax(r.Float("DCmax"));
  m.SetDependency(r.Text("Dependency"));
  m.SetDescription(r.Text("Description"));
  m.SetDocument(r.Text("Document"));
  m.SetDocumentation(r.Text("Documentation"));
  // One row per insufficient PL; a NULL or unknown text adds nothing.
  TPLSet pls = r.Index() == 0 ? TPLSet() : m.GetInsufficient();
  TPL pl{};
  if (!r.IsNull("PL") && EnumFromName(TrimRight(r.Text("PL")), pl)) pls.Include(pl);
  m.SetInsufficient(pls);
}

void ReadDCMeasureStamps(const TDBRow& r, TtiObject& o) {
  ReadStamps(r, o, "DCMeasure_NormVersion", "DCMeasure_KVDVersion");
  ReadDCMeasure(r, o);
}

void WriteDCMeasure(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& m = static_cast<const TDCMeasure&>(o);
  v.Text("Heading", m.GetHeading());
  v.Float("DCmax", m.GetDCmax());
  v.Float("DCmin", m.GetDCmin());
  v.Text("Dependency", m.GetDependency());
  v.Text("Description", m.GetDescription());
  v.Text("Document", m.GetDocument());
  v.Text("Documentation", m.GetDocumentation());
}

void RunNow(TtiQuery& q, const std::string& sql, const TDBValues& values) {
  q.SetSQLText(sql);
  values.Bind(q);
  q.ExecSQL();
}

// The link rows of the set of insufficient PLs, in the same transaction as the measure's row.
void BeforeDCMeasureWrite(TtiQuery& q, const TtiObject& o, TDBWrite kind) {
  const auto& m = static_cast<const TDCMeasure&>(o);
  TDBValues key;
  key.Text("DCMeasure", OIDText(m));
  if (kind != TDBWrite::Create)
    RunNow(q, std::string("DELETE FROM ") + kInsuffTable + " WHERE DCMeasure = :DCMeasure", key);
  if (kind == TDBWrite::Delete) return;
  for (int p = plA; p <= plForward; ++p) {
    if (!m.GetInsufficient().Contains(static_cast<TPL>(p))) continue;
    TDBValues row;
    row.Text("DCMeasure", OIDText(m));
    row.Enum("PL", static_cast<TPL>(p));
    RunNow(q, row.InsertSQL(kInsuffTable), row);
  }
}

std::string DCMeasureSQL() {
  const std::string m = Tbl<TDCMeasure>();
  return "SELECT " + m + ".NormVersion AS DCMeasure_NormVersion, " + m +
         ".KVDVersion AS DCMeasure_KVDVersion, IsProtected, Heading, DCmax, DCmin, Dependency, Description, "
         "Document, Documentation, PL FROM " + m + " LEFT JOIN " + kInsuffTable + " ON " + m + ".OID = " +
         kInsuffTable + ".DCMeasure WHERE " + m + ".OID = :OID";
}

void ReadDCMeasureOp(const TDBRow& r, TtiObject& o) {
  auto& op = static_cast<TDCMeasureOp&>(o);
  const std::string m = r.DataRef("DCMeasure", Tbl<TDCMeasure>());
  if (!op.GetDCMeasure() || OIDText(*op.GetDCMeasure()) != m) {
    // Taking a measure moves the DC into the measure's range, and the measure is still empty here; with the
    // widest range the DC read stays as it is until the measure's reader sets the stored range.
    auto measure = WithOID<TDCMeasure>(m);
    measure->SetDCmax(cDCMaximum);
    measure->SetDCmin(cDCMinimum);
    op.SetDCMeasure(std::move(measure));
  }
  op.SetDC(r.Float("DC"));
}

void WriteDCMeasureOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TDCMeasureOp&>(o);
  v.Float("DC", op.GetDC());
  v.Ref("DCMeasure", op.GetDCMeasure());
}

std::string DCMeasureOpSQL() { return Select<TDCMeasureOp>("DC, DCMeasure"); }

// ---- CCF measures, category and PL conditions ----

void ReadCCFMeasure(const TDBRow& r, TtiObject& o) {
  auto& m = static_cast<TCCFMeasure&>(o);
  m.SetHeading(r.Text("Heading"));
  m.SetDescription(r.Text("Description"));
  m.SetDocument(r.Text("Document"));
  m.SetDocumentation(r.Text("Documentation"));
  m.SetNumber(r.Text("Number"));
  m.SetScore(r.Float("Score"));
}

void WriteCCFMeasure(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& m = static_cast<const TCCFMeasure&>(o);
  v.Text("Heading", m.GetHeading());
  v.Text("Description", m.GetDescription());
  v.Text("Number", m.GetNumber());
  v.Float("Score", m.GetScore());
  v.Text("Document", m.GetDocument());
  v.Text("Documentation", m.GetDocumentation());
}

std::string CCFMeasureSQL() {
  return Select<TCCFMeasure>("Heading, Description, Document, Documentation, Number, Score");
}

// The node tables have no column for whether a subsystem's CCF measure or condition is ticked: a row read
// means ticked (so files of every release read alike). An unticked one therefore has no row and reads back as
// absent, which counts as unticked does (no score, the condition not met); read back ticked it would give a
// better result than the user's. A catalogue entry, on no subsystem, always has its row.
template <class Op>
bool HeldWhenTicked(const TtiObject& o) {
  const auto& op = static_cast<const Op&>(o);
  return op.GetIsSatisfied() || !op.template GetComponent<TComponent>();
}

// A node of a subsystem that refers to one definition (CCF measure, category or PL condition).
template <class Op, class Def, Def* (Op::*Get)() const, void (Op::*Set)(std::unique_ptr<Def>)>
void ReadRefNode(const TDBRow& r, TtiObject& o, const char* col) {
  auto& op = static_cast<Op&>(o);
  const std::string d = r.DataRef(col, Tbl<Def>());
  if (!(op.*Get)() || OIDText(*(op.*Get)()) != d) (op.*Set)(WithOID<Def>(d));
}

void ReadCCFMeasureOp(const TDBRow& r, TtiObject& o) {
  ReadRefNode<TCCFMeasureOp, TCCFMeasure, &TCCFMeasureOp::GetCCFMeasure, &TCCFMeasureOp::SetCCFMeasure>(
      r, o, "CCFMeasure");
}

void WriteCCFMeasureOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TCCFMeasureOp&>(o);
  v.Ref("CCFMeasure", op.GetCCFMeasure());
  v.Ref("Component", op.GetComponent<TComponent>());
  v.Float("CCFMOrder", op.GetCCFMOrder());
}

std::string CCFMeasureOpSQL() { return Select<TCCFMeasureOp>("CCFMeasure, Component"); }

void ReadCatCondition(const TDBRow& r, TtiObject& o) {
  auto& c = static_cast<TCatCondition&>(o);
  c.SetText(r.Text("Text"));
  c.SetCCID(r.Text("CCID"));
}

void WriteCatCondition(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& c = static_cast<const TCatCondition&>(o);
  v.Text("Text", c.GetText());
  v.Text("CCID", c.GetCCID());
}

std::string CatConditionSQL() { return Select<TCatCondition>("Text, CCID"); }

void ReadCatConditionOp(const TDBRow& r, TtiObject& o) {
  ReadRefNode<TCatConditionOp, TCatCondition, &TCatConditionOp::GetCatCondition,
              &TCatConditionOp::SetCatCondition>(r, o, "CatCondition");
}

void WriteCatConditionOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TCatConditionOp&>(o);
  v.Ref("CatCondition", op.GetCatCondition());
  v.Ref("Component", op.GetComponent<TComponent>());
}

std::string CatConditionOpSQL() { return Select<TCatConditionOp>("CatCondition, Component"); }

void ReadPLCondition(const TDBRow& r, TtiObject& o) {
  auto& c = static_cast<TPLCondition&>(o);
  c.SetText(r.Text("Text"));
  c.SetPLCID(r.Text("PLCID"));
}

void WritePLCondition(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& c = static_cast<const TPLCondition&>(o);
  v.Text("Text", c.GetText());
  v.Text("PLCID", c.GetPLCID());
}

std::string PLConditionSQL() { return Select<TPLCondition>("Text, PLCID"); }

void ReadPLConditionOp(const TDBRow& r, TtiObject& o) {
  ReadRefNode<TPLConditionOp, TPLCondition, &TPLConditionOp::GetPLCondition, &TPLConditionOp::SetPLCondition>(
      r, o, "PLCondition");
}

void WritePLConditionOp(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& op = static_cast<const TPLConditionOp&>(o);
  v.Ref("PLCondition", op.GetPLCondition());
  v.Ref("Component", op.GetComponent<TComponent>());
}

std::string PLConditionOpSQL() { return Select<TPLConditionOp>("PLCondition, Component"); }

// ---- Metadata ----

void ReadMetaData(const TDBRow& r, TtiObject& o) {
  auto& m = static_cast<TMetaData&>(o);
  m.SetIsProtected(r.Flag("IsProtected"));
  m.SetDateTime(r.Date("DateTime"));
  m.SetInfo(r.Text("Info"));
  m.SetName(r.Text("Name"));
  m.SetOwnerName(r.Text("Owner"));
  m.SetNormVersionString(r.Text("NormVersion"));
  m.SetKelvadoVersionString(r.Text("KVDVersion"));
  m.SetKVDVersionOriginalString(r.Text("KVDVersion"));
}

void WriteMetaData(TDBValues& v, const TtiObject& o, TDBWrite) {
  const auto& m = static_cast<const TMetaData&>(o);
  v.Flag("IsProtected", m.GetIsProtected());
  v.Date("DateTime", m.GetDateTime());
  v.Text("Info", m.GetInfo());
  v.Text("Name", m.GetName());
  v.Text("Owner", m.GetOwnerName());
  v.Text("NormVersion", NormVersionText(CurrentNormVersion));
  v.Text("KVDVersion", VersionText(CurrentKVDVersion));
}

std::string MetaDataSQL() {
  return "SELECT IsProtected, DateTime, Info, Name, Owner, NormVersion, KVDVersion FROM " + Tbl<TMetaData>() +
         " WHERE OID = :OID";
}

// ---- The maps ----

constexpr TDBClassMap kElement{&ClassOf<TElement>, nullptr, ElementSQL, ReadElement, true, WriteElement,
                               nullptr, nullptr, false, nullptr};
constexpr TDBClassMap kElementOp{&ClassOf<TElementOp>, nullptr, ElementOpSQL, ReadElementOp, true, WriteElementOp,
                                 nullptr, nullptr, false, nullptr};
constexpr TDBClassMap kBloc{&ClassOf<TBloc>, nullptr, BlocSQL, ReadBloc, true, WriteBloc, nullptr, nullptr, false,
                            nullptr};
constexpr TDBClassMap kBlocOp{&ClassOf<TBlocOp>, nullptr, BlocOpSQL, ReadBlocOp, true, WriteBlocOp, nullptr,
                              nullptr, false, nullptr};
constexpr TDBClassMap kChannel{&ClassOf<TChannel>, &ClassOf<TTestChannel>, ChannelSQL, ReadNothing, true,
                               WriteChannel, nullptr, nullptr, false, nullptr};
constexpr TDBClassMap kTestChannel{&ClassOf<TTestChannel>, nullptr, ChannelSQL, ReadNothing, true, WriteTestChannel,
                                   nullptr, nullptr, false, nullptr};
constexpr TDBClassMap kChannelOp{&ClassOf<TChannelOp>, nullptr, ChannelOpSQL, ReadChannelOp, true, WriteChannelOp,
                                 BeforeChannelOpWrite, nullptr, false, nullptr};
constexpr TDBClassMap kComponent{&ClassOf<TComponent>, nullptr, ComponentSQL, ReadComponent, true, WriteComponent,
                                 nullptr, AfterComponentCommit, false, nullptr};
constexpr TDBClassMap kComponentOp{&ClassOf<TComponentOp>, nullptr, ComponentOpSQL, ReadComponentOp, true,
                                   WriteComponentOp, nullptr, nullptr, false, nullptr};
constexpr TDBClassMap kDCMeasure{&ClassOf<TDCMeasure>, nullptr, DCMeasureSQL, ReadDCMeasureStamps, true,
                                 WriteDCMeasure, BeforeDCMeasureWrite, nullptr, true, nullptr};
constexpr TDBClassMap kDCMeasureOp{&ClassOf<TDCMeasureOp>, nullptr, DCMeasureOpSQL, ReadDCMeasureOp, true,
                                   WriteDCMeasureOp, nullptr, nullptr, false, nullptr};
constexpr TDBClassMap kCCFMeasure{&ClassOf<TCCFMeasure>, nullptr, CCFMeasureSQL, ReadCCFMeasure, true,
                                  WriteCCFMeasure, nullptr, nullptr, true, nullptr};
constexpr TDBClassMap kCCFMeasureOp{&ClassOf<TCCFMeasureOp>, nullptr, CCFMeasureOpSQL, ReadCCFMeasureOp, true,
                                    WriteCCFMeasureOp, nullptr, nullptr, false, HeldWhenTicked<TCCFMeasureOp>};
constexpr TDBClassMap kCatCondition{&ClassOf<TCatCondition>, nullptr, CatConditionSQL, ReadCatCondition, true,
                                    WriteCatCondition, nullptr, nullptr, true, nullptr};
constexpr TDBClassMap kCatConditionOp{&ClassOf<TCatConditionOp>, nullptr, CatConditionOpSQL, ReadCatConditionOp,
                                      true, WriteCatConditionOp, nullptr, nullptr, false,
                                      HeldWhenTicked<TCatConditionOp>};
constexpr TDBClassMap kPLCondition{&ClassOf<TPLCondition>, nullptr, PLConditionSQL, ReadPLCondition, true,
                                   WritePLCondition, nullptr, nullptr, true, nullptr};
constexpr TDBClassMap kPLConditionOp{&ClassOf<TPLConditionOp>, nullptr, PLConditionOpSQL, ReadPLConditionOp, true,
                                     WritePLConditionOp, nullptr, nullptr, false, HeldWhenTicked<TPLConditionOp>};
constexpr TDBClassMap kMetaData{&ClassOf<TMetaData>, nullptr, MetaDataSQL, ReadMetaData, false, WriteMetaData,
                                nullptr, nullptr, false, nullptr};

template <class T>
std::unique_ptr<TtiObject> NewItem() {
  return std::make_unique<T>();
}

// SELECT OID FROM <table of Item> [WHERE <owner> IS NULL] [ORDER BY <order> ASC]
template <class Item>
std::string TopLevel(const char* ownerCol, const char* orderCol) {
  const std::string t = Tbl<Item>();
  std::string sql = "SELECT OID FROM " + t;
  if (ownerCol) sql += std::string(" WHERE ") + ownerCol + " IS NULL";
  if (orderCol) sql += " ORDER BY " + t + "." + orderCol + " ASC";
  return sql;
}

// The catalogue: the DC measure nodes of the edition in force that no block and no element uses. NOT EXISTS,
// not NOT IN: a block or element without a measure holds NULL there, and "x NOT IN (..., NULL)" is never true,
// which would hide the whole catalogue as soon as one block had no measure.
std::string DCMeasureCatalogueSQL() {
  const std::string o = "DCMeasureOps", b = Tbl<TBloc>(), e = Tbl<TElement>();
  return "SELECT " + o + ".OID FROM " + o + " WHERE (" + o + ".NormVersion = :NormVersion) AND NOT EXISTS (SELECT 1 FROM " +
         b + " WHERE " + b + ".DCMeasureOp = " + o + ".OID) AND NOT EXISTS (SELECT 1 FROM " + e + " WHERE " + e +
         ".DCMeasureOp = " + o + ".OID)";
}

constexpr TDBListMap kMetaDataList{&ClassOf<TMetaDataList>, [] { return "SELECT OID FROM " + Tbl<TMetaData>(); },
                                   NewItem<TMetaData>, false};
constexpr TDBListMap kElementOpList{&ClassOf<TElementOpList>, [] { return TopLevel<TElementOp>("BlocOp", "ElmOrder"); },
                                    NewItem<TElementOp>, false};
constexpr TDBListMap kBlocOpList{&ClassOf<TBlocOpList>, [] { return TopLevel<TBlocOp>("ChannelOp", "BlocOrder"); },
                                 NewItem<TBlocOp>, false};
constexpr TDBListMap kChannelOpList{&ClassOf<TChannelOpList>,
                                    [] { return TopLevel<TChannelOp>("ComponentOp", "ChnOrder"); },
                                    NewItem<TChannelOp>, false};
constexpr TDBListMap kComponentOpList{&ClassOf<TComponentOpList>,
                                      [] { return TopLevel<TComponentOp>(nullptr, "CompOrder"); },
                                      NewItem<TComponentOp>, false};
constexpr TDBListMap kDCMeasureOpList{&ClassOf<TDCMeasureOpList>, DCMeasureCatalogueSQL, NewItem<TDCMeasureOp>, true};
constexpr TDBListMap kCCFMeasureOpList{&ClassOf<TCCFMeasureOpList>,
                                       [] { return TopLevel<TCCFMeasureOp>("Component", "CCFMOrder"); },
                                       NewItem<TCCFMeasureOp>, false};
constexpr TDBListMap kCatConditionOpList{&ClassOf<TCatConditionOpList>,
                                         [] { return TopLevel<TCatConditionOp>("Component", nullptr); },
                                         NewItem<TCatConditionOp>, false};
constexpr TDBListMap kPLConditionOpList{&ClassOf<TPLConditionOpList>,
                                        [] { return TopLevel<TPLConditionOp>("Component", nullptr); },
                                        NewItem<TPLConditionOp>, false};

bool Protected(const TtiObject& o) {
  if (const auto* b = dynamic_cast<const TPerObjAbsEx*>(&o)) return b->GetIsProtected();
  if (const auto* m = dynamic_cast<const TMetaData*>(&o)) return m->GetIsProtected();
  return false;
}

bool OfMappedClass(const TDBClassMap& m, const TtiObject* o) {
  return o && o->InheritsFrom(m.Cls()) && !(m.Excluded && o->InheritsFrom(m.Excluded()));
}

}  // namespace

// ---- Bases ----

const TtiClass& TVisSelect::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisSelect, TVisOwnedQrySelect>(), "TVisSelect");
  return c;
}

void TVisSelect::SetOnAfterRead(TNotifyEvent event) { Hooks().AfterRead = std::move(event); }
void TVisSelect::SetOnBeforeRead(TNotifyEvent event) { Hooks().BeforeRead = std::move(event); }

void TVisSelect::Final() {
  TVisOwnedQrySelect::Final();
  Fire(Hooks().AfterRead, GetVisitedObject());
}

void TVisSelect::Init() {
  Fire(Hooks().BeforeRead, GetVisitedObject());
  InitStatement();
}

const TtiClass& TVisUpdate::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisUpdate, TVisOwnedQryUpdate>(), "TVisUpdate");
  return c;
}

void TVisUpdate::SetOnAfterSave(TNotifyEvent event) { Hooks().AfterSave = std::move(event); }
void TVisUpdate::SetOnBeforeSave(TNotifyEvent event) { Hooks().BeforeSave = std::move(event); }

void TVisUpdate::Final() {
  TVisOwnedQryUpdate::Final();
  Fire(Hooks().AfterSave, GetVisitedObject());
}

void TVisUpdate::Init() {
  Fire(Hooks().BeforeSave, GetVisitedObject());
  InitStatement();
}

void TVisUpdate::SetStatement(const std::string& sql) {
  TtiQuery& q = Query();
  if (q.GetSQLText() != sql) q.SetSQLText(sql);
}

// ---- Readers ----

const TtiClass& TVisDBRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisDBRead, TVisSelect>(), "TVisDBRead");
  return c;
}

bool TVisDBRead::AcceptVisitor() {
  const TtiObject* o = GetVisitedObject();
  return OfMappedClass(*map_, o) && o->GetObjectState() == posEmpty;
}

void TVisDBRead::InitStatement() {
  rows_ = 0;
  accepted_ = true;
  isProtected_ = false;
  // A protected object read again (a refresh) takes its values like any other; the flag comes back last.
  auto* business = map_->Business ? static_cast<TPerObjAbsEx*>(GetVisitedObject()) : nullptr;
  wasProtected_ = business && business->GetIsProtected();
  if (wasProtected_) business->SetIsProtected(false);
  const std::string sql = map_->ReadSQL();
  TtiQuery& q = Query();
  if (q.GetSQLText() != sql) q.SetSQLText(sql);
}

void TVisDBRead::SetupParams() { Query().SetParamAsString("OID", OIDText(*GetVisitedObject())); }

void TVisDBRead::MapRowToObject() {
  TtiObject& o = *GetVisitedObject();
  const std::string table = TableNameForObject(o);
  const std::string oid = OIDText(o);
  const TDBRow row(Query(), table, oid, rows_);
  row.Applying([&] {
    if (map_->Business) {
      // The joined DC-measure reader names its stamps itself.
      if (map_ != &kDCMeasure) ReadStamps(row, o);
      isProtected_ = row.Flag("IsProtected");
    }
    map_->Read(row, o);
  });
  ++rows_;
  o.SetObjectState(posClean);
}

// An object that its owner holds as its data (a node's element, a block's DC measure node) and whose row the
// library lacks: the owner's row names a row that is not there. Refused as a project file's is, naming the
// owner's table, row and column: reading it would make up an object with default values (an element of
// MTTFd 10 years and DC 0) that the library does not hold. An object read on its own, held by nothing, may be
// missing: it just gets no values.
void TVisDBRead::RefuseMissingRow() {
  TtiObject& o = *GetVisitedObject();
  const TtiObject* owner = o.GetOwner();
  if (!owner) return;
  for (const TtiPropInfo* p : owner->Props().ObjectRows()) {
    if (p->Kind() != TtiPropKind::Object || p->RawObject(*owner) != &o) continue;
    std::string ownerTable;
    try {
      ownerTable = TableNameForObject(*owner);
    } catch (const EInvalidValue&) {
      return;  // not held by a row of the library
    }
    TtiDatabase* db = Query().Database();
    throw EIOError(msgXMLDanglingReference, {db ? db->DatabaseName() : std::string(), ownerTable, OIDText(*owner),
                                             p->Name(), OIDText(o), TableNameForObject(o)});
  }
}

void TVisDBRead::Execute(TtiVisited* visited) {
  accepted_ = false;
  TVisSelect::Execute(visited);
  if (accepted_ && rows_ == 0) RefuseMissingRow();
  if (!accepted_ || !map_->Business) return;
  // Last, after every row: every setter before refuses to change a protected object.
  TtiObject& o = *GetVisitedObject();
  const TPerObjectState state = o.GetObjectState();
  static_cast<TPerObjAbsEx&>(o).SetIsProtected(rows_ > 0 ? isProtected_ : wasProtected_);
  o.SetObjectState(state);
}

// ---- Writers ----

const TtiClass& TVisDBWrite::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisDBWrite, TVisUpdate>(), "TVisDBWrite");
  return c;
}

bool TVisDBWrite::AcceptVisitor() {
  const TtiObject* o = GetVisitedObject();
  if (!OfMappedClass(*map_, o)) return false;
  switch (kind_) {
    case TDBWrite::Create: return o->GetObjectState() == posCreate;
    case TDBWrite::Update: return o->GetObjectState() == posUpdate && (WriteProtectionMode == 2 || !Protected(*o));
    case TDBWrite::Delete: return o->GetObjectState() == posDelete && (WriteProtectionMode == 2 || !Protected(*o));
  }
  return false;
}

TVisDBWrite::TVisDBWrite(const TDBClassMap& map, TDBWrite kind)
    : map_(&map), kind_(kind), values_(std::make_unique<TDBValues>()) {}
TVisDBWrite::~TVisDBWrite() = default;

void TVisDBWrite::Final() {
  // After the commit: the writer's own settling of the object, then the hook.
  if (TtiObject* o = GetVisitedObject(); o && map_->AfterCommit) map_->AfterCommit(*o, kind_);
  TVisUpdate::Final();
}

void TVisDBWrite::InitStatement() {
  TtiObject& o = *GetVisitedObject();
  // A new object without identity would be written under an empty key: it gets one now.
  if (kind_ == TDBWrite::Create && !HasOIDValue(&o)) o.GetOID().GetNextValue();
  const std::string table = TableNameForObject(o);
  if (map_->BeforeWrite) map_->BeforeWrite(Query(), o, kind_);
  (*values_).Clear();
  // An object the file holds no row for (an unticked CCF measure or condition) loses the row it was read with.
  if (kind_ == TDBWrite::Delete || (map_->Held && !map_->Held(o))) {
    (*values_).Text("OID", OIDText(o));
    SetStatement("DELETE FROM " + table + " WHERE OID = :OID" + (map_->Semicolon ? ";" : ""));
    return;
  }
  if (map_->Business) WriteCommon((*values_), o);
  map_->Write((*values_), o, kind_);
  (*values_).Text("OID", OIDText(o));
  if (kind_ == TDBWrite::Create) SetStatement((*values_).InsertSQL(table));
  // Held again after a save left it out, it has no row to update.
  else if (map_->Held) SetStatement((*values_).UpsertSQL(table));
  else SetStatement((*values_).UpdateSQL(table) + (map_->Semicolon ? ";" : ""));
}

void TVisDBWrite::SetupParams() { (*values_).Bind(Query()); }

// ---- List readers ----

const TtiClass& TVisDBListRead::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisDBListRead, TVisSelect>(), "TVisDBListRead");
  return c;
}

bool TVisDBListRead::AcceptVisitor() {
  const TtiObject* o = GetVisitedObject();
  return o && o->GetObjectState() == posEmpty && !o->GetOwner() && o->InheritsFrom(map_->Cls());
}

void TVisDBListRead::InitStatement() {
  const std::string sql = map_->SQL();
  TtiQuery& q = Query();
  if (q.GetSQLText() != sql) q.SetSQLText(sql);
}

void TVisDBListRead::SetupParams() {
  if (map_->ByEdition) Query().SetParamAsString("NormVersion", NormVersionText(CurrentNormVersion));
}

void TVisDBListRead::MapRowToObject() {
  auto& list = static_cast<TtiObjectList&>(*GetVisitedObject());
  std::unique_ptr<TtiObject> item = map_->NewItem();
  item->GetOID().SetAsString(TrimRight(Query().FieldAsString("OID")));
  list.Add(std::move(item));
}

void TVisDBListRead::Final() {
  // An empty result maps no row; the list has been read all the same.
  if (TtiObject* o = GetVisitedObject()) o->SetObjectState(posClean);
  TVisSelect::Final();
}

// ---- The concrete visitors ----

#define KELVADO_VIS_DB_DEF(Name, Base, ...) const TtiClass& Name::StaticClass() { static const TtiClass c(TtiClass::Of<Name, Base>(), #Name); return c; } Name::Name() : Base(__VA_ARGS__) {}

KELVADO_VIS_DB_DEF(TVisMetaDataRead, TVisDBRead, kMetaData)
KELVADO_VIS_DB_DEF(TVisMetaDataCreate, TVisDBWrite, kMetaData, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisMetaDataUpdate, TVisDBWrite, kMetaData, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisMetaDataDelete, TVisDBWrite, kMetaData, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisComponentRead, TVisDBRead, kComponent)
KELVADO_VIS_DB_DEF(TVisComponentCreate, TVisDBWrite, kComponent, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisComponentUpdate, TVisDBWrite, kComponent, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisComponentDelete, TVisDBWrite, kComponent, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisComponentOpRead, TVisDBRead, kComponentOp)
KELVADO_VIS_DB_DEF(TVisComponentOpCreate, TVisDBWrite, kComponentOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisComponentOpUpdate, TVisDBWrite, kComponentOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisComponentOpDelete, TVisDBWrite, kComponentOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisChannelRead, TVisDBRead, kChannel)
KELVADO_VIS_DB_DEF(TVisChannelCreate, TVisDBWrite, kChannel, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisChannelUpdate, TVisDBWrite, kChannel, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisChannelDelete, TVisDBWrite, kChannel, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisTestChannelRead, TVisDBRead, kTestChannel)
KELVADO_VIS_DB_DEF(TVisTestChannelCreate, TVisDBWrite, kTestChannel, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisTestChannelUpdate, TVisDBWrite, kTestChannel, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisTestChannelDelete, TVisDBWrite, kTestChannel, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisChannelOpRead, TVisDBRead, kChannelOp)
KELVADO_VIS_DB_DEF(TVisChannelOpCreate, TVisDBWrite, kChannelOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisChannelOpUpdate, TVisDBWrite, kChannelOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisChannelOpDelete, TVisDBWrite, kChannelOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisBlocRead, TVisDBRead, kBloc)
KELVADO_VIS_DB_DEF(TVisBlocCreate, TVisDBWrite, kBloc, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisBlocUpdate, TVisDBWrite, kBloc, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisBlocDelete, TVisDBWrite, kBloc, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisBlocOpRead, TVisDBRead, kBlocOp)
KELVADO_VIS_DB_DEF(TVisBlocOpCreate, TVisDBWrite, kBlocOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisBlocOpUpdate, TVisDBWrite, kBlocOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisBlocOpDelete, TVisDBWrite, kBlocOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisElementRead, TVisDBRead, kElement)
KELVADO_VIS_DB_DEF(TVisElementCreate, TVisDBWrite, kElement, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisElementUpdate, TVisDBWrite, kElement, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisElementDelete, TVisDBWrite, kElement, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisElementOpRead, TVisDBRead, kElementOp)
KELVADO_VIS_DB_DEF(TVisElementOpCreate, TVisDBWrite, kElementOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisElementOpUpdate, TVisDBWrite, kElementOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisElementOpDelete, TVisDBWrite, kElementOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisDCMeasureRead, TVisDBRead, kDCMeasure)
KELVADO_VIS_DB_DEF(TVisDCMeasureCreate, TVisDBWrite, kDCMeasure, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisDCMeasureUpdate, TVisDBWrite, kDCMeasure, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisDCMeasureDelete, TVisDBWrite, kDCMeasure, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisDCMeasureOpRead, TVisDBRead, kDCMeasureOp)
KELVADO_VIS_DB_DEF(TVisDCMeasureOpCreate, TVisDBWrite, kDCMeasureOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisDCMeasureOpUpdate, TVisDBWrite, kDCMeasureOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisDCMeasureOpDelete, TVisDBWrite, kDCMeasureOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisCCFMeasureRead, TVisDBRead, kCCFMeasure)
KELVADO_VIS_DB_DEF(TVisCCFMeasureCreate, TVisDBWrite, kCCFMeasure, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisCCFMeasureUpdate, TVisDBWrite, kCCFMeasure, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisCCFMeasureDelete, TVisDBWrite, kCCFMeasure, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisCCFMeasureOpRead, TVisDBRead, kCCFMeasureOp)
KELVADO_VIS_DB_DEF(TVisCCFMeasureOpCreate, TVisDBWrite, kCCFMeasureOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisCCFMeasureOpUpdate, TVisDBWrite, kCCFMeasureOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisCCFMeasureOpDelete, TVisDBWrite, kCCFMeasureOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisCatConditionRead, TVisDBRead, kCatCondition)
KELVADO_VIS_DB_DEF(TVisCatConditionCreate, TVisDBWrite, kCatCondition, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisCatConditionUpdate, TVisDBWrite, kCatCondition, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisCatConditionDelete, TVisDBWrite, kCatCondition, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisCatConditionOpRead, TVisDBRead, kCatConditionOp)
KELVADO_VIS_DB_DEF(TVisCatConditionOpCreate, TVisDBWrite, kCatConditionOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisCatConditionOpUpdate, TVisDBWrite, kCatConditionOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisCatConditionOpDelete, TVisDBWrite, kCatConditionOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisPLConditionRead, TVisDBRead, kPLCondition)
KELVADO_VIS_DB_DEF(TVisPLConditionCreate, TVisDBWrite, kPLCondition, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisPLConditionUpdate, TVisDBWrite, kPLCondition, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisPLConditionDelete, TVisDBWrite, kPLCondition, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisPLConditionOpRead, TVisDBRead, kPLConditionOp)
KELVADO_VIS_DB_DEF(TVisPLConditionOpCreate, TVisDBWrite, kPLConditionOp, TDBWrite::Create)
KELVADO_VIS_DB_DEF(TVisPLConditionOpUpdate, TVisDBWrite, kPLConditionOp, TDBWrite::Update)
KELVADO_VIS_DB_DEF(TVisPLConditionOpDelete, TVisDBWrite, kPLConditionOp, TDBWrite::Delete)
KELVADO_VIS_DB_DEF(TVisMetaDataListRead, TVisDBListRead, kMetaDataList)
KELVADO_VIS_DB_DEF(TVisElementOpListRead, TVisDBListRead, kElementOpList)
KELVADO_VIS_DB_DEF(TVisBlocOpListRead, TVisDBListRead, kBlocOpList)
KELVADO_VIS_DB_DEF(TVisChannelOpListRead, TVisDBListRead, kChannelOpList)
KELVADO_VIS_DB_DEF(TVisComponentOpListRead, TVisDBListRead, kComponentOpList)
KELVADO_VIS_DB_DEF(TVisDCMeasureOpListRead, TVisDBListRead, kDCMeasureOpList)
KELVADO_VIS_DB_DEF(TVisCCFMeasureOpListRead, TVisDBListRead, kCCFMeasureOpList)
KELVADO_VIS_DB_DEF(TVisCatConditionOpListRead, TVisDBListRead, kCatConditionOpList)
KELVADO_VIS_DB_DEF(TVisPLConditionOpListRead, TVisDBListRead, kPLConditionOpList)

#undef KELVADO_VIS_DB_DEF

// ---- Registration ----

void RegisterVisitorsDB() {
  using TClassFn = const TtiClass& (*)();
  static constexpr TClassFn kRead[] = {
      &ClassOf<TVisMetaDataListRead>,       &ClassOf<TVisMetaDataRead>,          &ClassOf<TVisElementOpListRead>,
      &ClassOf<TVisBlocOpListRead>,         &ClassOf<TVisChannelOpListRead>,     &ClassOf<TVisComponentOpListRead>,
      &ClassOf<TVisDCMeasureOpListRead>,    &ClassOf<TVisCCFMeasureOpListRead>,  &ClassOf<TVisCatConditionOpListRead>,
      &ClassOf<TVisPLConditionOpListRead>,  &ClassOf<TVisComponentOpRead>,       &ClassOf<TVisComponentRead>,
      &ClassOf<TVisChannelOpRead>,          &ClassOf<TVisChannelRead>,           &ClassOf<TVisTestChannelRead>,
      &ClassOf<TVisBlocOpRead>,             &ClassOf<TVisBlocRead>,              &ClassOf<TVisElementOpRead>,
      &ClassOf<TVisElementRead>,            &ClassOf<TVisDCMeasureOpRead>,       &ClassOf<TVisDCMeasureRead>,
      &ClassOf<TVisCCFMeasureOpRead>,       &ClassOf<TVisCCFMeasureRead>,        &ClassOf<TVisCatConditionOpRead>,
      &ClassOf<TVisCatConditionRead>,       &ClassOf<TVisPLConditionOpRead>,     &ClassOf<TVisPLConditionRead>,
  };
  static constexpr TClassFn kSave[] = {
      &ClassOf<TVisMetaDataCreate>,       &ClassOf<TVisMetaDataUpdate>,       &ClassOf<TVisMetaDataDelete>,
      &ClassOf<TVisDCMeasureCreate>,      &ClassOf<TVisDCMeasureUpdate>,      &ClassOf<TVisDCMeasureOpCreate>,
      &ClassOf<TVisDCMeasureOpUpdate>,    &ClassOf<TVisComponentCreate>,      &ClassOf<TVisComponentUpdate>,
      &ClassOf<TVisComponentOpCreate>,    &ClassOf<TVisComponentOpUpdate>,    &ClassOf<TVisChannelCreate>,
      &ClassOf<TVisChannelUpdate>,        &ClassOf<TVisTestChannelCreate>,    &ClassOf<TVisTestChannelUpdate>,
      &ClassOf<TVisChannelOpCreate>,      &ClassOf<TVisChannelOpUpdate>,      &ClassOf<TVisBlocCreate>,
      &ClassOf<TVisBlocUpdate>,           &ClassOf<TVisBlocOpCreate>,         &ClassOf<TVisBlocOpUpdate>,
      &ClassOf<TVisElementCreate>,        &ClassOf<TVisElementUpdate>,        &ClassOf<TVisElementOpCreate>,
      &ClassOf<TVisElementOpUpdate>,      &ClassOf<TVisCCFMeasureCreate>,     &ClassOf<TVisCCFMeasureUpdate>,
      &ClassOf<TVisCCFMeasureOpCreate>,   &ClassOf<TVisCCFMeasureOpUpdate>,   &ClassOf<TVisCatConditionCreate>,
      &ClassOf<TVisCatConditionUpdate>,   &ClassOf<TVisCatConditionOpCreate>, &ClassOf<TVisCatConditionOpUpdate>,
      &ClassOf<TVisPLConditionCreate>,    &ClassOf<TVisPLConditionUpdate>,    &ClassOf<TVisPLConditionOpCreate>,
      &ClassOf<TVisPLConditionOpUpdate>,
      // Deleters: node rows before the data rows they refer to, children before their owners.
      &ClassOf<TVisCCFMeasureOpDelete>,   &ClassOf<TVisCCFMeasureDelete>,     &ClassOf<TVisCatConditionOpDelete>,
      &ClassOf<TVisCatConditionDelete>,   &ClassOf<TVisPLConditionOpDelete>,  &ClassOf<TVisPLConditionDelete>,
      &ClassOf<TVisElementOpDelete>,      &ClassOf<TVisElementDelete>,        &ClassOf<TVisBlocOpDelete>,
      &ClassOf<TVisBlocDelete>,           &ClassOf<TVisChannelOpDelete>,      &ClassOf<TVisTestChannelDelete>,
      &ClassOf<TVisChannelDelete>,        &ClassOf<TVisComponentOpDelete>,    &ClassOf<TVisComponentDelete>,
      &ClassOf<TVisDCMeasureOpDelete>,    &ClassOf<TVisDCMeasureDelete>,
  };
  static_assert(std::size(kRead) == 27 && std::size(kSave) == 54);
  TVisSelect::SetOnAfterRead(nullptr);
  TVisSelect::SetOnBeforeRead(nullptr);
  TVisUpdate::SetOnAfterSave(nullptr);
  TVisUpdate::SetOnBeforeSave(nullptr);
  TtiVisitorManager& vm = tiPerMgr().GetVisitorManager();
  vm.UnRegisterVisitors(cuStandardTask_Read);
  vm.UnRegisterVisitors(cuStandardTask_Save);
  for (TClassFn c : kRead) vm.RegisterVisitor(cuStandardTask_Read, c());
  for (TClassFn c : kSave) vm.RegisterVisitor(cuStandardTask_Save, c());
}

}  // namespace kelvado
