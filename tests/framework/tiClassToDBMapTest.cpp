// Class-to-database maps and the automatic visitors: the maps' look-ups and registration, and a small mapped
// model (an inherited class stored in its own and its ancestor's table, a collection tied to its owner by a
// foreign key, booleans, an enumeration, a date-time) saved, read back and compared on the in-memory layer and on
// a real Firebird file through the IBX layer.
#include "framework/tiClassToDBMap_BOM.h"
#include "framework/tiClassToDBMap_Srv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "framework/tiFirebird.h"
#include "framework/tiPerManager.h"
#include "framework/tiPool.h"
#include "framework/tiQueryIBX.h"
#include "platform/TextCase.h"
#include "tests/framework/MemoryLayer.h"
#include "tests/framework/StoreConformance.h"
#include "tests/support/FirebirdCheck.h"
#include "tests/support/Raised.h"

namespace kelvado::test {

namespace {

using kelvado::testing::Raised;

// ---- the mapped model ----

enum TRole : uint8_t { roEngineer, roTechnician, roManager };
constexpr std::string_view cRoleNames[] = {"roEngineer", "roTechnician", "roManager"};

class TPerson : public TtiObject {
public:
  TI_CLASS(TPerson)
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  DateTime GetBorn() const { return born_; }
  void SetBorn(DateTime v) { born_ = v; }
  double GetHeight() const { return height_; }
  void SetHeight(double v) { height_ = v; }
  bool GetActive() const { return active_; }
  void SetActive(bool v) { active_ = v; }

private:
  std::string name_;
  DateTime born_;
  double height_ = 0;
  bool active_ = false;
};

class TSkill : public TtiObject {
public:
  TI_CLASS(TSkill)
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  int64_t GetLevel() const { return level_; }
  void SetLevel(int64_t v) { level_ = v; }
  bool GetCertified() const { return certified_; }
  void SetCertified(bool v) { certified_ = v; }

private:
  std::string name_;
  int64_t level_ = 0;
  bool certified_ = false;
};

class TSkills : public TtiObjectList {
public:
  TI_CLASS(TSkills)
  TSkill* Items(int i) const { return static_cast<TSkill*>(GetItems(i)); }
};

class TEmployee : public TPerson {
public:
  TI_CLASS(TEmployee)
  TEmployee() : skills_(std::make_unique<TSkills>()) { skills_->SetOwner(this); }
  double GetSalary() const { return salary_; }
  void SetSalary(double v) { salary_ = v; }
  int64_t GetGrade() const { return grade_; }
  void SetGrade(int64_t v) { grade_ = v; }
  bool GetManager() const { return manager_; }
  void SetManager(bool v) { manager_ = v; }
  TRole GetRole() const { return role_; }
  void SetRole(TRole v) { role_ = v; }
  TSkills& GetSkills() const { return *skills_; }

private:
  double salary_ = 0;
  int64_t grade_ = 0;
  bool manager_ = false;
  TRole role_ = roEngineer;
  std::unique_ptr<TSkills> skills_;
};

class TStaff : public TtiObjectList {
public:
  TI_CLASS(TStaff)
  TEmployee* Items(int i) const { return static_cast<TEmployee*>(GetItems(i)); }
  TEmployee* ByName(const std::string& name) const {
    for (TtiObject* o : *this)
      if (static_cast<TEmployee*>(o)->GetName() == name) return static_cast<TEmployee*>(o);
    return nullptr;
  }
};

// A list held through an Object property: the walk visits the list itself.
class TCourses : public TtiObjectList {
public:
  TI_CLASS(TCourses)
  TSkill* Items(int i) const { return static_cast<TSkill*>(GetItems(i)); }
};

class TTrainer : public TtiObject {
public:
  TI_CLASS(TTrainer)
  TTrainer() : courses_(std::make_unique<TCourses>()) { courses_->SetOwner(this); }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  TCourses& GetCourses() const { return *courses_; }

private:
  std::string name_;
  std::unique_ptr<TCourses> courses_;
};

const TtiClass& TPerson::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPerson, TtiObject>(), "TPerson", [](TtiPropTableBuilder<TPerson>& b) {
    b.String("Name", &TPerson::GetName, &TPerson::SetName)
        .DateTime("Born", &TPerson::GetBorn, &TPerson::SetBorn)
        .Float("Height", &TPerson::GetHeight, &TPerson::SetHeight)
        .Boolean("Active", &TPerson::GetActive, &TPerson::SetActive);
  });
  return c;
}
const TtiClass& TSkill::StaticClass() {
  static const TtiClass c(TtiClass::Of<TSkill, TtiObject>(), "TSkill", [](TtiPropTableBuilder<TSkill>& b) {
    b.String("Name", &TSkill::GetName, &TSkill::SetName)
        .Integer("Level", &TSkill::GetLevel, &TSkill::SetLevel)
        .Boolean("Certified", &TSkill::GetCertified, &TSkill::SetCertified);
  });
  return c;
}
const TtiClass& TSkills::StaticClass() {
  static const TtiClass c(TtiClass::Of<TSkills, TtiObjectList>(), "TSkills");
  return c;
}
const TtiClass& TEmployee::StaticClass() {
  static const TtiClass c(TtiClass::Of<TEmployee, TPerson>(), "TEmployee", [](TtiPropTableBuilder<TEmployee>& b) {
    b.Float("Salary", &TEmployee::GetSalary, &TEmployee::SetSalary)
        .Integer("Grade", &TEmployee::GetGrade, &TEmployee::SetGrade)
        .Boolean("Manager", &TEmployee::GetManager, &TEmployee::SetManager)
        .Enumeration("Role", &TEmployee::GetRole, &TEmployee::SetRole, cRoleNames)
        .List("Skills", &TEmployee::GetSkills);
  });
  return c;
}
const TtiClass& TCourses::StaticClass() {
  static const TtiClass c(TtiClass::Of<TCourses, TtiObjectList>(), "TCourses");
  return c;
}
const TtiClass& TTrainer::StaticClass() {
  static const TtiClass c(TtiClass::Of<TTrainer, TtiObject>(), "TTrainer", [](TtiPropTableBuilder<TTrainer>& b) {
    b.String("Name", &TTrainer::GetName, &TTrainer::SetName).Object("Courses", &TTrainer::GetCourses);
  });
  return c;
}
const TtiClass& TStaff::StaticClass() {
  static const TtiClass c(TtiClass::Of<TStaff, TtiObjectList>(), "TStaff");
  return c;
}

// What a test may change in the maps to make them wrong.
struct TMapOptions {
  std::string SalaryColumn = "Salary";
  std::string SkillTable = "Skill";
  std::string SkillCertifiedTable = "Skill";
  std::string SkillForeignKey = "Employee_OID";
};

void MapModel(TtiClassDBMappingMgr& m, const TMapOptions& o = {}) {
  const TtiClass& person = TPerson::StaticClass();
  m.RegisterMapping(person, "Person", "OID", "OID", true);
  m.RegisterMapping(person, "Person", "Name", "Name");
  m.RegisterMapping(person, "Person", "Born", "Born");
  m.RegisterMapping(person, "Person", "Height", "Height");
  m.RegisterMapping(person, "Person", "Active", "Active");
  const TtiClass& employee = TEmployee::StaticClass();
  m.RegisterMapping(employee, "Employee", "OID", "OID", true);
  m.RegisterMapping(employee, "Employee", "Salary", o.SalaryColumn);
  m.RegisterMapping(employee, "Employee", "Grade", "Grade");
  m.RegisterMapping(employee, "Employee", "Manager", "IsManager");
  m.RegisterMapping(employee, "Employee", "Role", "Role");
  const TtiClass& skill = TSkill::StaticClass();
  m.RegisterMapping(skill, o.SkillTable, "OID", "OID", true);
  m.RegisterMapping(skill, o.SkillTable, "Name", "Name");
  m.RegisterMapping(skill, o.SkillTable, "Level", "SkillLevel");
  m.RegisterMapping(skill, o.SkillCertifiedTable, "Certified", "Certified");
  m.RegisterCollection(TStaff::StaticClass(), employee);
  m.RegisterCollection(TSkills::StaticClass(), skill, {o.SkillForeignKey});
}

// The tables as the layer's own CreateTable makes them (no keys, no foreign keys).
void CreateTables(TtiDatabase& db) {
  TtiDBMetaDataTable person;
  person.SetName("Person");
  person.AddField("OID", qfkString, 36);
  person.AddField("Name", qfkString, 60);
  person.AddField("Born", qfkDateTime);
  person.AddField("Height", qfkFloat);
  person.AddField("Active", qfkLogical);
  TtiDBMetaDataTable employee;
  employee.SetName("Employee");
  employee.AddField("OID", qfkString, 36);
  employee.AddField("Salary", qfkFloat);
  employee.AddField("Grade", qfkInteger);
  employee.AddField("IsManager", qfkLogical);
  employee.AddField("Role", qfkString, 20);
  TtiDBMetaDataTable skill;
  skill.SetName("Skill");
  skill.AddField("OID", qfkString, 36);
  skill.AddField("Employee_OID", qfkString, 36);
  skill.AddField("Name", qfkString, 60);
  skill.AddField("SkillLevel", qfkInteger);
  skill.AddField("Certified", qfkLogical);
  for (TtiDBMetaDataTable* t : {&person, &employee, &skill}) db.CreateTable(*t);
}

// The same tables as a schema of the Firebird file would declare them: keys, a foreign key from a skill to its
// employee (so that rows must be written owner first and deleted items first) and checked booleans. Person has
// no key, so that a test can give one person two rows.
const char* const cFirebirdSchema = R"(
CREATE TABLE Person (OID VARCHAR(36) NOT NULL, Name VARCHAR(60), Born TIMESTAMP, Height DOUBLE PRECISION,
  Active CHAR(1) CHECK (Active IN ('T', 'F')));
CREATE TABLE Employee (OID VARCHAR(36) NOT NULL PRIMARY KEY, Salary DOUBLE PRECISION, Grade INTEGER,
  IsManager CHAR(1) CHECK (IsManager IN ('T', 'F')), Role VARCHAR(20));
CREATE TABLE Skill (OID VARCHAR(36) NOT NULL PRIMARY KEY,
  Employee_OID VARCHAR(36) NOT NULL REFERENCES Employee (OID), Name VARCHAR(60), SkillLevel INTEGER,
  Certified CHAR(1) CHECK (Certified IN ('T', 'F')));
)";

TEmployee& AddEmployee(TStaff& staff, const std::string& name, double born, double height, bool active,
                       double salary, int64_t grade, bool manager, TRole role) {
  auto e = TtiObject::CreateNew<TEmployee>();
  e->SetName(name);
  e->SetBorn(DateTime{born});
  e->SetHeight(height);
  e->SetActive(active);
  e->SetSalary(salary);
  e->SetGrade(grade);
  e->SetManager(manager);
  e->SetRole(role);
  TEmployee& r = *e;
  staff.Add(std::move(e));
  return r;
}

TSkill& AddSkill(TEmployee& e, const std::string& name, int64_t level, bool certified) {
  auto s = TtiObject::CreateNew<TSkill>();
  s->SetName(name);
  s->SetLevel(level);
  s->SetCertified(certified);
  TSkill& r = *s;
  e.GetSkills().Add(std::move(s));
  return r;
}

// Alice (two skills, active) and Bob (one skill, a manager, not active).
void FillStaff(TStaff& staff) {
  TEmployee& alice = AddEmployee(staff, "Alice", 30000.0, 1.68, true, 5200.5, 3, false, roEngineer);
  AddSkill(alice, "Welding", 2, true);
  AddSkill(alice, "CAD", 4, false);
  TEmployee& bob = AddEmployee(staff, "Bob", 29000.75, 1.91, false, 6100.25, 4, true, roManager);
  AddSkill(bob, "Safety", 5, true);
}

// The live employees' debug texts (OIDs, states and every attribute, skills included), by name.
std::string Snapshot(TStaff& staff) {
  staff.SortByProps({"Name"});
  std::string s;
  for (TtiObject* o : staff) {
    auto* e = static_cast<TEmployee*>(o);
    if (e->GetDeleted()) continue;
    e->GetSkills().SortByProps({"Name"});
    s += e->DebugText(false, false);
  }
  return s;
}

std::vector<std::string> States(const TStaff& staff) {
  std::vector<std::string> s;
  for (TtiObject* o : staff) {
    s.push_back(o->GetObjectStateAsString());
    for (TtiObject* k : static_cast<TEmployee*>(o)->GetSkills()) s.push_back(k->GetObjectStateAsString());
  }
  return s;
}

// ---- the stores ----

struct TMemoryMapStore {
  static std::string LayerName() { return cMemoryLayerName; }
  void RegisterLayer() { RegisterMemoryLayer(); }
  std::string NewDatabase() {
    MemStore("maps.mem");
    return "maps.mem";
  }
  std::string UserName() { return "tester"; }
  std::string Password() { return ""; }
  void CreateTables(const std::string& db) {
    TMemDatabase mem;
    mem.Connect(db, UserName(), Password(), "");
    ::kelvado::test::CreateTables(mem);
  }
  // A second row of the table with the same OID (the memory layer refuses one through a statement).
  void DuplicateRow(const std::string& db, const std::string& table, const std::string& oid) {
    TMemTable& t = MemStore(db).Tables[UpperAscii(table)];
    for (const TMemRow& r : t.Rows)
      if (r.at("OID").AsString() == oid) {
        t.Rows.push_back(r);
        return;
      }
  }
  void TearDown() { MemStoresClear(); }
};

struct TIBXMapStore {
  static std::string LayerName() { return cTIPersistIBX; }
  void RegisterLayer() { RegisterPersistenceLayerIBX(); }
  std::string NewDatabase() {
    std::string tmpl = "/tmp/kelvado-classmaps-XXXXXX";
    dir_ = ::mkdtemp(tmpl.data());
    file_ = dir_ + "/maps.fdb";
    TtiDatabase::CreateDatabase(TtiDatabaseIBX::StaticClass(), file_, "SYSDBA", "");
    return file_;
  }
  std::string UserName() { return "SYSDBA"; }
  std::string Password() { return ""; }
  void CreateTables(const std::string& db) {
    TtiFBDatabase fb(db);
    fb.Connect();
    tiFBRunScript(fb, cFirebirdSchema, "class maps");
  }
  void DuplicateRow(const std::string& db, const std::string& table, const std::string& oid) {
    tiPerMgr().ExecSQL("insert into " + table + " select * from " + table + " where OID = '" + oid + "'", db,
                       LayerName());
  }
  void TearDown() {
    EXPECT_EQ(kelvado::testing::GfixValidate(file_), "");
    std::filesystem::remove_all(dir_);
  }
  std::string dir_, file_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The same cases on both layers

template <class Store>
class ClassMaps : public ::testing::Test {
protected:
  void SetUp() override {
    tiPerMgrShutdown();
    store_.RegisterLayer();
    db_ = store_.NewDatabase();
    store_.CreateTables(db_);
    Connect();
    MapModel(Maps());
  }
  void TearDown() override {
    tiPerMgrShutdown();
    store_.TearDown();
  }
  void Connect() { tiPerMgr().ConnectDatabase(db_, store_.UserName(), store_.Password(), "", Layer()); }
  // A fresh persistence manager on the same database, with other maps.
  void Remap(const TMapOptions& options) {
    tiPerMgrShutdown();
    store_.RegisterLayer();
    Connect();
    MapModel(Maps(), options);
  }

  static std::string Layer() { return Store::LayerName(); }
  static TtiClassDBMappingMgr& Maps() { return tiPerMgr().GetClassDBMappingMgr(); }
  void Save(TtiObject& o) { tiPerMgr().Save(&o, db_, Layer()); }
  void Read(TtiObject& o) { tiPerMgr().Read(&o, db_, Layer()); }

  // The column's values as stored, sorted ("<null>" for a null).
  std::vector<std::string> Column(const std::string& table, const std::string& column) {
    const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(db_, Layer());
    TtiDatabase& db = lease.Database();
    std::unique_ptr<TtiQuery> q = db.CreateTIQuery();
    q->AttachDatabase(&db);
    db.StartTransaction();
    q->SelectRow(table, nullptr);
    std::vector<std::string> values;
    for (; !q->Eof(); q->Next()) values.push_back(q->FieldIsNull(column) ? "<null>" : q->FieldAsString(column));
    q->DetachDatabase();
    db.Commit();
    std::sort(values.begin(), values.end());
    return values;
  }
  int Rows(const std::string& table) { return static_cast<int>(Column(table, "OID").size()); }
  int LockedConnections() {
    TtiPersistenceLayer& layer = *tiPerMgr().GetPersistenceLayers().FindByPerLayerName(Layer());
    return layer.GetDBConnectionPools().Find(db_)->LockedCount();
  }

  Store store_;
  std::string db_;
};

TYPED_TEST_SUITE_P(ClassMaps);

TYPED_TEST_P(ClassMaps, SavedGraphReadsBackEqualAndEveryEditReachesItsTables) {
  TStaff staff;
  FillStaff(staff);
  this->Save(staff);
  EXPECT_EQ(States(staff), std::vector<std::string>(5, "posClean"));
  // An employee is a row in Person and one in Employee under the same OID; skills carry their owner's OID.
  const std::string alice = staff.ByName("Alice")->GetOID().GetAsString();
  const std::string bob = staff.ByName("Bob")->GetOID().GetAsString();
  EXPECT_EQ(this->Column("Person", "OID"), this->Column("Employee", "OID"));
  EXPECT_EQ(this->Column("Person", "Name"), (std::vector<std::string>{"Alice", "Bob"}));
  std::vector<std::string> owners = {alice, alice, bob};
  std::sort(owners.begin(), owners.end());
  EXPECT_EQ(this->Column("Skill", "Employee_OID"), owners);
  // Booleans are stored as T and F, the enumeration by its identifier.
  EXPECT_EQ(this->Column("Person", "Active"), (std::vector<std::string>{"F", "T"}));
  EXPECT_EQ(this->Column("Employee", "IsManager"), (std::vector<std::string>{"F", "T"}));
  EXPECT_EQ(this->Column("Skill", "Certified"), (std::vector<std::string>{"F", "T", "T"}));
  EXPECT_EQ(this->Column("Employee", "Role"), (std::vector<std::string>{"roEngineer", "roManager"}));

  TStaff back;
  this->Read(back);
  EXPECT_STREQ(back.GetObjectStateAsString(), "posClean");
  EXPECT_EQ(States(back), std::vector<std::string>(5, "posClean"));
  EXPECT_EQ(Snapshot(back), Snapshot(staff));

  // Edits of the copy read back: attributes of both tables, a boolean turned off, a changed, a deleted and a
  // new skill.
  TEmployee& a = *back.ByName("Alice");
  a.SetName("Alice B.");
  a.SetActive(false);
  a.SetSalary(5300.75);
  a.SetRole(roTechnician);
  a.SetDirty(true);
  TSkill& cad = *static_cast<TSkill*>(a.GetSkills().FindByProps({"Name"}, {Value("CAD")}));
  cad.SetLevel(5);
  cad.SetCertified(true);
  cad.SetDirty(true);
  TEmployee& b = *back.ByName("Bob");
  b.GetSkills().Items(0)->SetDeleted(true);
  AddSkill(b, "Rigging", 1, false);
  this->Save(back);
  EXPECT_EQ(this->Column("Person", "Active"), (std::vector<std::string>{"F", "F"}));
  EXPECT_EQ(this->Column("Skill", "Name"), (std::vector<std::string>{"CAD", "Rigging", "Welding"}));
  TStaff again;
  this->Read(again);
  EXPECT_EQ(Snapshot(again), Snapshot(back));
  EXPECT_EQ(again.ByName("Alice B.")->GetRole(), roTechnician);

  // Deleting Bob deletes his rows in both tables and his skills' rows.
  again.ByName("Bob")->SetDeleted(true);
  this->Save(again);
  EXPECT_STREQ(again.ByName("Bob")->GetObjectStateAsString(), "posDeleted");
  EXPECT_EQ(this->Column("Person", "Name"), std::vector<std::string>{"Alice B."});
  EXPECT_EQ(this->Column("Employee", "OID"), std::vector<std::string>{alice});
  EXPECT_EQ(this->Column("Skill", "Employee_OID"), (std::vector<std::string>{alice, alice}));
  TStaff last;
  this->Read(last);
  ASSERT_EQ(last.Count(), 1);
  EXPECT_EQ(Snapshot(last), Snapshot(again));
  EXPECT_EQ(this->LockedConnections(), 0);
}

TYPED_TEST_P(ClassMaps, KeysFirstThenOneObjectThenTheRestWithoutOverwritingEdits) {
  TStaff staff;
  FillStaff(staff);
  this->Save(staff);

  TStaff keys;
  tiPerMgr().ReadPK(&keys, this->db_, this->Layer());
  ASSERT_EQ(keys.Count(), 2);
  EXPECT_STREQ(keys.GetObjectStateAsString(), "posClean");
  for (TtiObject* o : keys) {
    auto* e = static_cast<TEmployee*>(o);
    EXPECT_STREQ(e->GetObjectStateAsString(), "posPK");
    EXPECT_EQ(e->GetName(), "");
    EXPECT_EQ(e->GetSkills().Count(), 0);
    EXPECT_NE(staff.FindByOID(e->GetOID()), nullptr);
  }
  // ReadThis reads the object's own tables, not its collections.
  TEmployee& first = *keys.Items(0);
  tiPerMgr().ReadThis(&first, this->db_, this->Layer());
  EXPECT_STREQ(first.GetObjectStateAsString(), "posClean");
  EXPECT_NE(first.GetName(), "");
  EXPECT_EQ(first.GetSkills().Count(), 0);
  EXPECT_STREQ(keys.Items(1)->GetObjectStateAsString(), "posPK");
  // Read fills the one still posPK and reads every unread collection.
  this->Read(keys);
  EXPECT_EQ(Snapshot(keys), Snapshot(staff));

  // One employee by its OID: both tables and the skills.
  TEmployee alone;
  alone.GetOID().Assign(staff.ByName("Bob")->GetOID());
  this->Read(alone);
  EXPECT_EQ(alone.DebugText(false, false), staff.ByName("Bob")->DebugText(false, false));

  // An object with unsaved changes and a list already read are left as they are.
  alone.SetName("Robert");
  alone.SetDirty(true);
  this->Read(alone);
  EXPECT_EQ(alone.GetName(), "Robert");
  EXPECT_EQ(alone.GetSkills().Count(), 1);
}

TYPED_TEST_P(ClassMaps, MappingToAMissingTableOrColumnIsRefusedBeforeAnythingIsWritten) {
  auto refused = [&](const TMapOptions& options) {
    this->Remap(options);
    TStaff staff;
    FillStaff(staff);
    const std::vector<std::string> before = States(staff);
    const std::string error = Raised([&] { this->Save(staff); });
    EXPECT_EQ(States(staff), before);
    EXPECT_EQ(this->Rows("Person"), 0);
    EXPECT_EQ(this->LockedConnections(), 0);
    return error;
  };
  EXPECT_EQ(refused({.SalaryColumn = "Wage"}), "Mapping of TEmployee.Salary to Employee.Wage: table Employee has no "
                                               "column Wage");
  EXPECT_EQ(refused({.SkillTable = "Skills", .SkillCertifiedTable = "Skills"}),
            "Mapping of TSkill.OID to Skills.OID: the database <" + this->db_ + "> has no table Skills");
  EXPECT_EQ(refused({.SkillForeignKey = "Boss_OID"}),
            "Collection TSkills of TSkill: table Skill has no foreign-key column Boss_OID");
  // Reading checks the same way.
  this->Remap({.SalaryColumn = "Wage"});
  TStaff staff;
  EXPECT_EQ(Raised([&] { this->Read(staff); }),
            "Mapping of TEmployee.Salary to Employee.Wage: table Employee has no column Wage");
}

TYPED_TEST_P(ClassMaps, OneObjectInTwoRowsOrInNoneIsAnErrorAndTheListStaysUnread) {
  TStaff staff;
  FillStaff(staff);
  this->Save(staff);
  const std::string alice = staff.ByName("Alice")->GetOID().GetAsString();
  this->store_.DuplicateRow(this->db_, "Person", alice);

  TEmployee one;
  one.GetOID().SetAsString(alice);
  EXPECT_EQ(Raised([&] { tiPerMgr().ReadThis(&one, this->db_, this->Layer()); }), "Query returned more than one row");
  EXPECT_STREQ(one.GetObjectStateAsString(), "posEmpty");
  // A failed read of a list leaves it empty and unread, ready to be read again.
  TStaff back;
  EXPECT_EQ(Raised([&] { this->Read(back); }), "Query returned more than one row");
  EXPECT_EQ(back.Count(), 0);
  EXPECT_STREQ(back.GetObjectStateAsString(), "posEmpty");
  EXPECT_EQ(this->LockedConnections(), 0);

  TEmployee none;
  none.GetOID().SetAsString("00000000-0000-0000-0000-000000000009");
  EXPECT_EQ(Raised([&] { this->Read(none); }),
            "No row of table Person holds the TEmployee with OID = 00000000-0000-0000-0000-000000000009");
  EXPECT_STREQ(none.GetObjectStateAsString(), "posEmpty");
}

TYPED_TEST_P(ClassMaps, AttributesOfOneClassInTwoTablesAreRefused) {
  this->Remap({.SkillCertifiedTable = "Person"});
  TStaff staff;
  FillStaff(staff);
  EXPECT_EQ(Raised([&] { this->Save(staff); }), "Inconsistent table names found in DBColMap");
  EXPECT_EQ(this->Rows("Person"), 0);
  TSkill skill;
  EXPECT_EQ(Raised([&] { tiPerMgr().ReadThis(&skill, this->db_, this->Layer()); }),
            "Inconsistent table names found in DBColMap");
}

// An item moved to another owner and saved (with the whole list, with its new owner, or on its own) is read
// back under its new owner only.
TYPED_TEST_P(ClassMaps, AnItemMovedToAnotherOwnerReadsBackUnderItOnly) {
  TStaff staff;
  FillStaff(staff);
  this->Save(staff);
  auto move = [&](const std::string& skill, const std::string& from, const std::string& to) -> TSkill& {
    TSkills& source = staff.ByName(from)->GetSkills();
    std::unique_ptr<TtiObject> item = source.Extract(source.FindByProps({"Name"}, {Value(skill)}));
    auto& moved = static_cast<TSkill&>(*item);
    staff.ByName(to)->GetSkills().Add(std::move(item));
    moved.SetDirty(true);
    return moved;
  };
  auto skillsOf = [&](const std::string& name) {
    TStaff back;
    this->Read(back);
    std::vector<std::string> names;
    for (TtiObject* o : back.ByName(name)->GetSkills()) names.push_back(static_cast<TSkill*>(o)->GetName());
    std::sort(names.begin(), names.end());
    return names;
  };
  move("CAD", "Alice", "Bob");
  this->Save(staff);
  EXPECT_EQ(skillsOf("Alice"), std::vector<std::string>{"Welding"});
  EXPECT_EQ(skillsOf("Bob"), (std::vector<std::string>{"CAD", "Safety"}));

  move("Safety", "Bob", "Alice");
  this->Save(*staff.ByName("Alice"));
  EXPECT_EQ(skillsOf("Alice"), (std::vector<std::string>{"Safety", "Welding"}));
  EXPECT_EQ(skillsOf("Bob"), std::vector<std::string>{"CAD"});

  TSkill& alone = move("Welding", "Alice", "Bob");
  this->Save(alone);
  EXPECT_STREQ(alone.GetObjectStateAsString(), "posClean");
  EXPECT_EQ(skillsOf("Alice"), std::vector<std::string>{"Safety"});
  EXPECT_EQ(skillsOf("Bob"), (std::vector<std::string>{"CAD", "Welding"}));
  EXPECT_EQ(this->LockedConnections(), 0);
}

REGISTER_TYPED_TEST_SUITE_P(ClassMaps, SavedGraphReadsBackEqualAndEveryEditReachesItsTables,
                            AnItemMovedToAnotherOwnerReadsBackUnderItOnly,
                            KeysFirstThenOneObjectThenTheRestWithoutOverwritingEdits,
                            MappingToAMissingTableOrColumnIsRefusedBeforeAnythingIsWritten,
                            OneObjectInTwoRowsOrInNoneIsAnErrorAndTheListStaysUnread,
                            AttributesOfOneClassInTwoTablesAreRefused);

INSTANTIATE_TYPED_TEST_SUITE_P(Memory, ClassMaps, ::testing::Types<TMemoryMapStore>);
INSTANTIATE_TYPED_TEST_SUITE_P(IBX, ClassMaps, ::testing::Types<TIBXMapStore>);

// ---------------------------------------------------------------------------------------------------------
// The maps themselves, and what only the memory layer can show

class ClassMapsMemory : public ClassMaps<TMemoryMapStore> {};

TEST(ClassDBMappingMgr, IsMadeOnlyWhenReadAndThenRegistersTheAutomaticVisitorsOnce) {
  tiPerMgrShutdown();
  RegisterMemoryLayer();
  TtiVisitorManager& vm = tiPerMgr().GetVisMgr();
  TtiObject nothing;
  tiPerMgr().Save(&nothing);  // groups run without the maps: nothing registers them
  EXPECT_EQ(vm.MappingCount(), 0u);
  TtiClassDBMappingMgr& maps = tiPerMgr().GetClassDBMappingMgr();
  EXPECT_EQ(vm.MappingCount(), 7u);
  EXPECT_EQ(&tiPerMgr().GetClassDBMappingMgr(), &maps);
  EXPECT_EQ(tiPerMgr().Props().Find("ClassDBMappingMgr")->GetObject(tiPerMgr()), &maps);
  EXPECT_EQ(vm.MappingCount(), 7u);
  for (TtiObject* list : {static_cast<TtiObject*>(&maps.GetClassMaps()), static_cast<TtiObject*>(&maps.GetDBMaps()),
                          static_cast<TtiObject*>(&maps.GetAttrColMaps()),
                          static_cast<TtiObject*>(&maps.GetCollections())})
    EXPECT_EQ(list->GetOwner(), &maps);
  tiPerMgrShutdown();
  EXPECT_EQ(tiPerMgr().GetVisMgr().MappingCount(), 0u);
  tiPerMgrShutdown();
}

TEST(ClassDBMappingMgr, LookUpsFollowInheritanceWhicheverClassIsMappedFirst) {
  TtiClassDBMappingMgr m;
  EXPECT_EQ(m.FindClassMap(TEmployee::StaticClass()), nullptr);
  EXPECT_TRUE(m.ClassMapChain(TEmployee::StaticClass()).empty());
  // The descendant first: its entry links to the ancestor's once that is mapped.
  m.RegisterMapping(TEmployee::StaticClass(), "Employee", "OID", "OID", true);
  m.RegisterMapping(TEmployee::StaticClass(), "Employee", "Salary", "Salary");
  EXPECT_EQ(m.FindClassMap(TEmployee::StaticClass())->GetParentClassMap(), nullptr);
  m.RegisterMapping(TPerson::StaticClass(), "PERSON", "OID", "OID", true);
  m.RegisterMapping(TPerson::StaticClass(), "person", "Name", "Name");
  TtiClassMap* person = m.FindClassMap(TPerson::StaticClass());
  TtiClassMap* employee = m.FindClassMap(TEmployee::StaticClass());
  EXPECT_EQ(employee->GetParentClassMap(), person);
  EXPECT_EQ(m.ClassMapChain(TEmployee::StaticClass()), (std::vector<TtiClassMap*>{person, employee}));
  EXPECT_EQ(m.AttrColMaps(TEmployee::StaticClass()).size(), 2u);
  ASSERT_EQ(m.PKAttrColMaps(TPerson::StaticClass()).size(), 1u);
  EXPECT_EQ(m.PKAttrColMaps(TPerson::StaticClass())[0]->AttrName(), "OID");
  // Table names are one map whatever their case.
  EXPECT_EQ(&m.TableMap(*person), &m.GetDBMaps().FindCreate("").FindCreate("Person"));
  EXPECT_EQ(m.GetDBMaps().Count(), 1);
  EXPECT_EQ(m.GetDBMaps().Items(0)->Count(), 2);

  m.RegisterCollection(TSkills::StaticClass(), TSkill::StaticClass(), {"Employee_OID"});
  ASSERT_EQ(m.Collections(TSkills::StaticClass()).size(), 1u);
  EXPECT_EQ(m.Collections(TSkills::StaticClass())[0]->GetForeignKeyColsText(), "Employee_OID");
  EXPECT_TRUE(m.Collections(TStaff::StaticClass()).empty());

  // Registrations that could never work are refused at once.
  EXPECT_EQ(Raised([&] { m.RegisterMapping(TPerson::StaticClass(), "Person", "Weight", "Weight"); }),
            "Mapping of TPerson.Weight to Person.Weight: class TPerson publishes no property Weight");
  EXPECT_EQ(Raised([&] { m.RegisterMapping(TPerson::StaticClass(), "Person", "name", "Name2"); }),
            "TPerson.name is mapped already");
  EXPECT_EQ(Raised([&] { m.RegisterMapping(TPerson::StaticClass(), "", "Height", "Height"); }),
            "Mapping of TPerson.Height names no table or no column");
  EXPECT_EQ(Raised([&] { m.RegisterCollection(TSkill::StaticClass(), TSkill::StaticClass()); }),
            "Collection class TSkill is not a list");
  EXPECT_EQ(Raised([&] { m.RegisterCollection(TSkills::StaticClass(), TSkill::StaticClass()); }),
            "Collection TSkills of TSkill is registered already");
  // A list of people and of employees would read every employee twice, once as a mere person.
  m.RegisterCollection(TStaff::StaticClass(), TEmployee::StaticClass());
  EXPECT_EQ(Raised([&] { m.RegisterCollection(TStaff::StaticClass(), TPerson::StaticClass()); }),
            "Collection TStaff of TPerson: its items could not be told from those of TEmployee");
  m.RegisterMapping(TPerson::StaticClass(), "Elsewhere", "Height", "Height");
  EXPECT_EQ(Raised([&] { m.TableMap(*person); }), "Inconsistent table names found in DBColMap");
}

TEST_F(ClassMapsMemory, ABooleanColumnHoldingAnotherTextIsRefusedNamingIt) {
  TStaff staff;
  FillStaff(staff);
  Save(staff);
  for (TMemRow& row : MemStore(db_).Tables["PERSON"].Rows)
    if (row["NAME"].AsString() == "Bob") row["ACTIVE"] = Value("yes");
  TStaff back;
  EXPECT_EQ(Raised([&] { Read(back); }),
            "Column Active of table Person holds <yes> for TEmployee.Active: a boolean is stored as T or F");
  EXPECT_EQ(back.Count(), 0);
  // A null number is no value either; a null text reads as an empty one.
  for (TMemRow& row : MemStore(db_).Tables["PERSON"].Rows) {
    row["ACTIVE"] = Value("T");
    row.erase("NAME");
  }
  MemStore(db_).Tables["EMPLOYEE"].Rows[0].erase("GRADE");
  EXPECT_EQ(Raised([&] { Read(back); }), "Column Grade of table Employee holds no value for TEmployee.Grade");
  MemStore(db_).Tables["EMPLOYEE"].Rows[0]["GRADE"] = Value(1);
  Read(back);
  ASSERT_EQ(back.Count(), 2);
  EXPECT_EQ(back.Items(0)->GetName(), "");
}

TEST_F(ClassMapsMemory, AnAttributeWithoutFieldKindIsRefused) {
  Maps().RegisterMapping(TEmployee::StaticClass(), "Employee", "Skills", "Grade");
  TStaff staff;
  FillStaff(staff);
  EXPECT_EQ(Raised([&] { Save(staff); }), "Invalid TtiQueryFieldKind");
  EXPECT_EQ(MemStore(db_).Journal.RollBacks, 1);
}

TEST_F(ClassMapsMemory, AnItemItsListWouldNotReadBackIsNotSaved) {
  // Stored as a person, it would come back from the staff list as nothing (the list reads employees).
  TStaff staff;
  FillStaff(staff);
  auto guest = TtiObject::CreateNew<TPerson>();
  guest->SetName("Guest");
  staff.Add(std::move(guest));
  EXPECT_EQ(Raised([&] { Save(staff); }),
            "TStaff holds a TPerson, but its collections hold no such items: it would not read back");
  EXPECT_EQ(Rows("Person"), 0);
}

TEST_F(ClassMapsMemory, AListHeldAsAnObjectIsTiedToItsHolder) {
  TMemTable trainers;
  trainers.Name = "Trainer";
  trainers.Columns = {"OID", "Name"};
  MemStore(db_).Tables["TRAINER"] = trainers;
  MemStore(db_).Tables["SKILL"].Columns.push_back("Trainer_OID");
  Maps().RegisterMapping(TTrainer::StaticClass(), "Trainer", "OID", "OID", true);
  Maps().RegisterMapping(TTrainer::StaticClass(), "Trainer", "Name", "Name");
  Maps().RegisterCollection(TCourses::StaticClass(), TSkill::StaticClass(), {"Trainer_OID"});
  auto tom = TtiObject::CreateNew<TTrainer>();
  tom->SetName("Tom");
  for (const char* name : {"Lifting", "First aid"}) {
    auto course = TtiObject::CreateNew<TSkill>();
    course->SetName(name);
    tom->GetCourses().Add(std::move(course));
  }
  Save(*tom);
  const std::string oid = tom->GetOID().GetAsString();
  EXPECT_EQ(Column("Skill", "Trainer_OID"), (std::vector<std::string>{oid, oid}));

  TTrainer back;
  back.GetOID().Assign(tom->GetOID());
  Read(back);
  EXPECT_EQ(back.GetName(), "Tom");
  EXPECT_STREQ(back.GetCourses().GetObjectStateAsString(), "posClean");
  back.GetCourses().SortByProps({"Name"});
  ASSERT_EQ(back.GetCourses().Count(), 2);
  EXPECT_EQ(back.GetCourses().Items(0)->GetName(), "First aid");
  back.GetCourses().Items(0)->SetDeleted(true);
  Save(back);
  EXPECT_EQ(Column("Skill", "Name"), std::vector<std::string>{"Lifting"});
}

TEST_F(ClassMapsMemory, AFailedSaveWritesNothingAndKeepsEveryState) {
  TStaff staff;
  FillStaff(staff);
  MemStore(db_).Fail.StatementContaining = "Name=Safety";  // Bob's skill, the last row of the group
  const std::vector<std::string> before = States(staff);
  EXPECT_NE(Raised([&] { Save(staff); }).find("Statement refused"), std::string::npos);
  EXPECT_EQ(States(staff), before);
  EXPECT_EQ(Rows("Person"), 0);
  EXPECT_EQ(MemStore(db_).Journal.RollBacks, 1);
  MemStore(db_).Fail.StatementContaining.clear();
  Save(staff);
  EXPECT_EQ(Rows("Skill"), 3);
}

TEST_F(ClassMapsMemory, HandWrittenVisitorsOfTheSameGroupsWorkAsBefore) {
  // The maps are read (SetUp): the automatic visitors run in every standard group and leave unmapped classes
  // to the visitors written for them, in the same transaction.
  MemStore(db_).Tables["TESTITEM"] = [] {
    TMemTable t;
    t.Name = cTestTable;
    t.Columns = {"OID", "Name", "Amount"};
    return t;
  }();
  tiPerMgr().RegSaveVisitor(TVisTestItemCreate::StaticClass());
  tiPerMgr().RegReadVisitor(TVisTestItemsRead::StaticClass());
  TTestItems items;
  items.AddItem("00000000-0000-0000-0000-000000000001", "one", 1, posCreate);
  const int commits = MemStore(db_).Journal.Commits;
  Save(items);
  EXPECT_EQ(MemStore(db_).Journal.Commits, commits + 1);
  TTestItems back;
  Read(back);
  ASSERT_EQ(back.Count(), 1);
  EXPECT_EQ(back.Items(0)->GetName(), "one");
}

}  // namespace kelvado::test
