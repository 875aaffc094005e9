#include "storage/db/PersistenceDB.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "framework/tiFirebird.h"
#include "framework/tiFormat.h"
#include "model/BOMMeasures.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "platform/MessageBox.h"
#include "storage/db/LibSchema.h"

namespace kelvado {

namespace {

constexpr double kDCMin = 0.0;                // the smallest DC a measure may give
constexpr double kHoursPerYear = 8760.0;
constexpr double kCatBFloorPFH = 4.23e-6;     // catB: never better than this
constexpr double kCat1FloorPFH = 1.14e-6;     // cat1: never better than this
constexpr double kCat3FloorPFH = 1.01e-7;     // cat3 with a DCavg at the bottom of the low band
constexpr double kCat3FloorDCLow = 0.55;
constexpr double kCat3FloorDCHigh = 0.6;
constexpr double kPLNoBandPFH = 1e-4;         // from here on no PL applies

// PFH as it meets the PL bands: the nearest multiple of 1e-14. (MTTFd and DC meet the tables through the
// model's RoundForBounds.)
double PFHValue(double v) {
  if (!std::isfinite(v) || std::fabs(v * 1e14) >= 4.0e15) return v;
  return std::nearbyint(v * 1e14) / 1e14;
}

// A parameter the engine can compare: +infinity lies above every grid value.
double Finite(double v) {
  if (v == std::numeric_limits<double>::infinity()) return std::numeric_limits<double>::max();
  if (v == -std::numeric_limits<double>::infinity()) return std::numeric_limits<double>::lowest();
  return v;
}

std::string Name(TCat c) { return std::string(EnumName(c)); }

void CheckCat(TCat Cat) {
  if (!EnumInRange<TCat>(static_cast<int>(Cat)))
    throw EtiPerProgrammerException("Invalid category %d for the general database", {static_cast<int>(Cat)});
}

}  // namespace

double InterpolateLinear(double X, double XLow, double XHigh, double YLow, double YHigh) {
  if (XLow == XHigh) return YLow;
  return YHigh - (YHigh - YLow) * (XHigh - X) / (XHigh - XLow);
}

double InterpolateLogLog(double X, double XLow, double XHigh, double YLow, double YHigh) {
  if (XLow == XHigh) return YLow;
  return std::exp(InterpolateLinear(std::log(X), std::log(XLow), std::log(XHigh), std::log(YLow), std::log(YHigh)));
}

// One look-up's read-only transaction: started by the constructor, rolled back when the scope ends unless
// Commit was called (a look-up that failed or raised leaves nothing open for the next one).
class TPersistenceDB_FB::TReadScope {
public:
  explicit TReadScope(TPersistenceDB_FB& owner) : owner_(owner) {
    if (!owner_.db_->Connected())
      throw EtiFBException(
          tiFormat("Cannot read the standard's tables: %s is not connected", {owner_.db_->Describe()}));
    owner_.tr_->Start(true);
  }
  ~TReadScope() {
    try {
      if (owner_.q_->Active()) owner_.q_->Close();
      if (owner_.tr_->Active()) owner_.tr_->RollBack();
    } catch (const std::exception&) {
      // A read-only transaction has nothing to lose; the attachment drops it at the latest.
    }
  }
  TReadScope(const TReadScope&) = delete;
  TReadScope& operator=(const TReadScope&) = delete;
  void Commit() {
    if (owner_.q_->Active()) owner_.q_->Close();
    owner_.tr_->Commit();
  }
  // Commits when the look-up succeeded; a failed one is rolled back by the destructor.
  void CommitIf(bool ok) {
    if (ok) Commit();
  }

private:
  TPersistenceDB_FB& owner_;
};

// ---- the tables in memory ----

enum TPersistenceDB_FB::TTable : int {
  tConst,
  tDC,
  tMTTFd,
  tPLs,
  tRiskParams,
  tSFTypes,
  tPFH,
  tPFHi,
  tCat,
  tCatReqMTTFd,
  tCatReqDCavg,
  tCatReqConditions,
  tPLReqConditions,
  kTableCount
};

namespace {

// Text keys compare as Firebird compares them: trailing blanks do not count.
std::string Key(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// A number column; NULL is NaN, which no comparison holds (as no SQL comparison holds NULL).
double Number(const TtiFBStatement& s, int column) {
  return s.FieldIsNull(column) ? std::numeric_limits<double>::quiet_NaN() : s.FieldAsFloat(column);
}

// A value read as an answer: NULL is 0, as a look-up always took it.
double AnswerOf(const TtiFBStatement& s, int column) { return s.FieldIsNull(column) ? 0.0 : s.FieldAsFloat(column); }

struct TBandRow {
  std::string Name;
  double Lower, Upper;
  int Band = -1;  // the answer the name stands for, taken once when the table is read
};

// Each band row's answer, taken from its name once the table is read; `unknown` for a name that is none.
template <class E>
void ParseBands(std::vector<TBandRow>& rows, E unknown, E highest) {
  for (TBandRow& r : rows) {
    E v = unknown;
    if (!EnumFromName(r.Name, v) || v > highest) v = unknown;
    r.Band = static_cast<int>(v);
  }
}

// The band row holding `v` (lower <= v <= upper) with the largest lower bound; null when none does.
const TBandRow* BandOf(const std::vector<TBandRow>& rows, double v) {
  const TBandRow* best = nullptr;
  for (const TBandRow& r : rows)
    if (v >= r.Lower && v <= r.Upper && (!best || r.Lower > best->Lower)) best = &r;
  return best;
}

// The interpolation grid of one category: its distinct DCavg and MTTFd values and the PFH at each point.
struct TGrid {
  std::vector<double> DCs, Ms;  // ascending
  std::vector<double> PFH;      // [dc * Ms.size() + m], 0 where the table has no row

  // Largest grid value <= x, smallest >= x; 0 when there is none on that side.
  static double Below(const std::vector<double>& v, double x) {
    auto it = std::upper_bound(v.begin(), v.end(), x);
    return it == v.begin() ? 0.0 : *(it - 1);
  }
  static double Above(const std::vector<double>& v, double x) {
    auto it = std::lower_bound(v.begin(), v.end(), x);
    return it == v.end() ? 0.0 : *it;
  }
  static std::ptrdiff_t IndexOf(const std::vector<double>& v, double x) {
    auto it = std::lower_bound(v.begin(), v.end(), x);
    return it != v.end() && *it == x ? it - v.begin() : -1;
  }
  // The PFH at exactly (MTTFd, DCavg); 0 when the table has no such row.
  double At(double m, double dc) const {
    const std::ptrdiff_t i = IndexOf(DCs, dc), j = IndexOf(Ms, m);
    return i < 0 || j < 0 ? 0.0 : PFH[static_cast<size_t>(i) * Ms.size() + static_cast<size_t>(j)];
  }
};

}  // namespace

// The rows of each table for the edition in force, as read. Never changed once published.
struct TPersistenceDB_FB::TTables {
  // Unique in the run, for the answers remembered of these tables (a copy gets its own, see Publish).
  uint64_t Id = 0;
  std::array<bool, kTableCount> Loaded{};
  std::optional<double> MinServiceLife, ReqCCFScore;  // nullopt: no row
  std::vector<TBandRow> DC, MTTFd, PLs;
  struct TRisk {
    int64_t S, F, P;
    std::string PL;
  };
  std::vector<TRisk> Risk;
  std::vector<std::string> SFTypes;
  struct TPFHRow {
    std::string Cat, DCavg;
    double MTTFd, PFH;
  };
  std::vector<TPFHRow> PFH;
  std::array<TGrid, 5> Grid;  // PFHi by category
  struct TCatRow {
    std::string Cat;
    int64_t CCFRelevant, ChannelCount;
  };
  std::vector<TCatRow> Cats;
  std::vector<std::pair<std::string, std::string>> CatReqMTTFd, CatReqDCavg;  // category, band
  struct TConditionRow {
    std::string Key, OID, Text, ID;
  };
  std::vector<TConditionRow> CatConditions, PLConditions;  // by category / PL

  const TCatRow* Cat(std::string_view name) const {
    for (const TCatRow& r : Cats)
      if (r.Cat == name) return &r;
    return nullptr;
  }
};

const TtiClass& TPersistenceDB_FB::StaticClass() {
  static const TtiClass c(TtiClass::Of<TPersistenceDB_FB, TPersistenceDB>(), "TPersistenceDB_FB");
  return c;
}

TPersistenceDB_FB::TPersistenceDB_FB() : TPersistenceDB_FB(GetDatabaseDatabaseNameGen()) {}

TPersistenceDB_FB::TPersistenceDB_FB(std::string databaseName)
    : databaseName_(std::move(databaseName)), normVersion_(NormVersionText(CurrentNormVersion)) {
  db_ = std::make_unique<TtiFBDatabase>(databaseName_, GetDatabaseUserNameGen(), GetDatabasePasswordGen());
  db_->SetReadOnlyAccess(true);  // only read: other programs may read the file at the same time
  tr_ = std::make_unique<TtiFBTransaction>(*db_);
  q_ = std::make_unique<TtiFBStatement>(*db_, *tr_);
}

TPersistenceDB_FB::~TPersistenceDB_FB() {
  try {
    Disconnect();
  } catch (...) {
    // Closing a read-only attachment has nothing to lose; a destructor must not throw.
  }
}

bool TPersistenceDB_FB::IsConnected() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return db_->Connected();
}

std::string TPersistenceDB_FB::LastError() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return lastError_;
}

void TPersistenceDB_FB::SetOpenLibFileNameSource(std::function<std::string()> source) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  openLibFileName_ = std::move(source);
}

void TPersistenceDB_FB::Connect() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (db_->Connected()) return;
  // A file on a server lies on the server's machine: this program cannot read its bytes (nor its digest) and
  // never opens it itself; the server alone does. The edition check below still applies.
  if (!tiFBIsServerName(databaseName_)) tiFBCheckDigest(databaseName_);
  db_->Connect();
  // A library file or any other database opens just as well; without this check every look-up would fail
  // quietly and answer its default.
  std::string problem;
  try {
    TReadScope scope(*this);
    TtiFBStatement& q = Query("SELECT COUNT(*) FROM Const WHERE NormVersion = :NormVersion");
    ++queryCount_;
    q.Open();
    const int64_t rows = q.Eof() ? 0 : q.FieldAsInteger(0);
    q.Close();
    scope.Commit();
    if (rows == 0) problem = tiFormat("it holds no tables of the edition \"%s\"", {normVersion_});
  } catch (const Exception& e) {
    problem = e.Message();
  }
  if (!problem.empty()) {
    try {
      Disconnect();
    } catch (...) {
    }
    throw EtiFBException(tiFormat("Cannot use %s as the general database: %s", {db_->Describe(), problem}));
  }
  // Every table now, into memory. A table that cannot be read is not reported yet: it is read again when a
  // look-up needs it, and that look-up reports it (once) and answers its most cautious value.
  auto tables = std::make_unique<TTables>();
  for (int t = 0; t < kTableCount; ++t) LoadTable(*tables, static_cast<TTable>(t), true);
  Publish(std::move(tables));
}

void TPersistenceDB_FB::Publish(std::unique_ptr<TTables> tables) {
  static std::atomic<uint64_t> lastId{0};
  tables->Id = ++lastId;
  published_.push_back(std::move(tables));
  tables_.store(published_.back().get(), std::memory_order_release);
}

thread_local TPersistenceDB_FB::TBandMemo TPersistenceDB_FB::tDCMemo;
thread_local TPersistenceDB_FB::TBandMemo TPersistenceDB_FB::tMTTFdMemo;

void TPersistenceDB_FB::Disconnect() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  tables_.store(nullptr, std::memory_order_release);
  if (q_->Active()) q_->Close();
  if (tr_->Active()) tr_->RollBack();
  if (db_->Connected()) db_->Disconnect();
}

void TPersistenceDB_FB::CreateNewDatabase(const std::string& FileName) {
  if (FileName.empty()) throw EtiFBException("Cannot create a library file: no file name given");
  CreateLibraryDatabaseFile(FileName, GetDatabaseUserNameGen(), GetDatabasePasswordGen());
}

void TPersistenceDB_FB::EmptyLibraryTables() {
  // Node rows before the data rows they refer to, children before their owners.
  static const char* const kTables[] = {"CCFMeasureOps", "CCFMeasures", "CatConditionOps", "ElementOps",
                                        "Elements",      "BlocOps",     "Blocs",           "ChannelOps",
                                        "Channels",      "ComponentOps", "Components"};
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!db_->Connected())
    throw EtiFBException(tiFormat("Cannot empty the library tables: %s is not connected", {db_->Describe()}));
  for (const char* table : kTables) {
    TtiFBTransaction tr(*db_);
    tr.Start();
    ++queryCount_;
    db_->ExecuteImmediate(tr, std::string("DELETE FROM ") + table);
    tr.Commit();
  }
}

// ---- the frame of a look-up ----

TtiFBStatement& TPersistenceDB_FB::Query(const std::string& sql) {
  q_->SetSQL(sql);
  if (q_->HasParam("NormVersion")) q_->SetParamString("NormVersion", normVersion_);
  return *q_;
}

bool TPersistenceDB_FB::Run(TtiFBStatement& q, const char* table, const std::function<void(TtiFBStatement&)>& read,
                            bool allRows, bool quiet) {
  ++queryCount_;
  try {
    q.Open();
    while (!q.Eof()) {
      read(q);
      if (!allRows) break;
      q.Next();
    }
    q.Close();
    return true;
  } catch (const Exception& e) {
    lastError_ = e.Message();
    try {
      if (q.Active()) q.Close();
    } catch (...) {
    }
    // Once per table: every node of a project asks again, and a box per question would bury the user.
    if (!quiet && reportedTables_.insert(table).second)
      ShowMessage("KELVADO",
                  tiFormat("Reading table %s of the general database \"%s\" failed. Results that depend on it "
                           "are shown without a value or with their most cautious value.\n%s",
                           {table, databaseName_, e.Message()}),
                  MsgIcon::Error);
    return false;
  }
}

bool TPersistenceDB_FB::LoadTable(TTables& t, TTable table, bool quiet) {
  // Each table as the look-ups asked it, for every key at once: the same rows, the same joins.
  static const struct {
    const char* Name;
    const char* SQL;
  } kLoads[kTableCount] = {
      {"Const", "SELECT MinServiceLife, ReqCCFScore FROM Const WHERE NormVersion = :NormVersion"},
      {"DC", "SELECT DC, DClower, DCupper FROM DC WHERE NormVersion = :NormVersion"},
      {"MTTFd", "SELECT MTTFd, MTTFdlower, MTTFdupper FROM MTTFd WHERE NormVersion = :NormVersion"},
      {"PLs", "SELECT PL, PFHlower, PFHupper FROM PLs WHERE NormVersion = :NormVersion"},
      {"RiskParams", "SELECT ParamS, ParamF, ParamP, PL FROM RiskParams WHERE NormVersion = :NormVersion"},
      {"SFTypes", "SELECT Name FROM SFTypes WHERE NormVersion = :NormVersion"},
      {"PFH", "SELECT Cat, DCavg, MTTFd, PFH FROM PFH WHERE NormVersion = :NormVersion"},
      {"PFHi", "SELECT Cat, DCavg, MTTFd, PFH FROM PFHi WHERE NormVersion = :NormVersion"},
      {"Cat", "SELECT Cat, CCFRelevant, ChannelCount FROM Cat WHERE NormVersion = :NormVersion"},
      {"CatReqMTTFd",
       "SELECT Cat.Cat, MTTFd FROM Cat INNER JOIN CatReqMTTFd ON (Cat.Cat = CatReqMTTFd.Cat) WHERE "
       "(Cat.NormVersion = :NormVersion)"},
      {"CatReqDCavg",
       "SELECT Cat.Cat, DCavg FROM Cat INNER JOIN CatReqDCavg ON (Cat.Cat = CatReqDCavg.Cat) WHERE "
       "(Cat.NormVersion = :NormVersion)"},
      {"CatReqConditions",
       "SELECT Cat, OID, Text, CCID FROM CatReqConditions INNER JOIN CatConditions ON CatCondition = OID "
       "WHERE (CatReqConditions.NormVersion = :NormVersion)"},
      {"PLReqConditions",
       "SELECT PL, OID, Text, PLCID FROM PLReqConditions INNER JOIN PLConditions ON PLCondition = OID "
       "WHERE (PLReqConditions.NormVersion = :NormVersion)"},
  };
  std::vector<std::array<double, 4>> gridRows[5];
  std::function<void(TtiFBStatement&)> read;
  auto bands = [](std::vector<TBandRow>& out) {
    return [&out](TtiFBStatement& s) { out.push_back({Key(s.FieldAsString(0)), Number(s, 1), Number(s, 2)}); };
  };
  auto conditions = [](std::vector<TTables::TConditionRow>& out) {
    return [&out](TtiFBStatement& s) {
      out.push_back({Key(s.FieldAsString(0)), s.FieldAsString(1), s.FieldAsString(2), s.FieldAsString(3)});
    };
  };
  auto pairs = [](std::vector<std::pair<std::string, std::string>>& out) {
    return [&out](TtiFBStatement& s) { out.emplace_back(Key(s.FieldAsString(0)), Key(s.FieldAsString(1))); };
  };
  switch (table) {
    case tConst:
      read = [&t](TtiFBStatement& s) {
        if (t.MinServiceLife) return;  // the first row answers
        t.MinServiceLife = AnswerOf(s, 0);
        t.ReqCCFScore = AnswerOf(s, 1);
      };
      break;
    case tDC: read = bands(t.DC); break;
    case tMTTFd: read = bands(t.MTTFd); break;
    case tPLs: read = bands(t.PLs); break;
    case tRiskParams:
      read = [&t](TtiFBStatement& s) {
        t.Risk.push_back({s.FieldAsInteger(0), s.FieldAsInteger(1), s.FieldAsInteger(2), Key(s.FieldAsString(3))});
      };
      break;
    case tSFTypes: read = [&t](TtiFBStatement& s) { t.SFTypes.push_back(s.FieldAsString(0)); }; break;
    case tPFH:
      read = [&t](TtiFBStatement& s) {
        t.PFH.push_back({Key(s.FieldAsString(0)), Key(s.FieldAsString(1)), Number(s, 2), AnswerOf(s, 3)});
      };
      break;
    case tPFHi:
      read = [&gridRows](TtiFBStatement& s) {
        TCat c;
        if (EnumFromName(Key(s.FieldAsString(0)), c) && EnumInRange<TCat>(static_cast<int>(c)))
          gridRows[c].push_back({Number(s, 1), Number(s, 2), AnswerOf(s, 3), 0.0});
      };
      break;
    case tCat:
      read = [&t](TtiFBStatement& s) {
        t.Cats.push_back({Key(s.FieldAsString(0)), s.FieldAsInteger(1), s.FieldAsInteger(2)});
      };
      break;
    case tCatReqMTTFd: read = pairs(t.CatReqMTTFd); break;
    case tCatReqDCavg: read = pairs(t.CatReqDCavg); break;
    case tCatReqConditions: read = conditions(t.CatConditions); break;
    case tPLReqConditions: read = conditions(t.PLConditions); break;
    default: throw EtiPerProgrammerException("Unknown table %d of the general database", {static_cast<int>(table)});
  }
  TReadScope scope(*this);
  const bool ok = Run(Query(kLoads[table].SQL), kLoads[table].Name, read, true, quiet);
  scope.CommitIf(ok);
  if (ok && table == tDC) ParseBands(t.DC, dcForward, dcForward);
  if (ok && table == tMTTFd) ParseBands(t.MTTFd, mttfHigh, mttfHigh);
  if (ok && table == tPLs) ParseBands(t.PLs, plN, plE);
  if (table == tPFHi) {
    for (int c = 0; c < 5; ++c) {
      TGrid g;
      for (const auto& r : gridRows[c]) {
        // A row without DCavg or MTTFd is no grid point (no comparison would find it).
        if (std::isnan(r[0]) || std::isnan(r[1])) continue;
        g.DCs.push_back(r[0]);
        g.Ms.push_back(r[1]);
      }
      for (auto* v : {&g.DCs, &g.Ms}) {
        std::sort(v->begin(), v->end());
        v->erase(std::unique(v->begin(), v->end()), v->end());
      }
      g.PFH.assign(g.DCs.size() * g.Ms.size(), 0.0);
      // In the order read: a point given twice keeps its first value, as a query's first row would.
      for (auto it = gridRows[c].rbegin(); it != gridRows[c].rend(); ++it) {
        const std::ptrdiff_t i = TGrid::IndexOf(g.DCs, (*it)[0]), j = TGrid::IndexOf(g.Ms, (*it)[1]);
        if (i >= 0 && j >= 0) g.PFH[static_cast<size_t>(i) * g.Ms.size() + static_cast<size_t>(j)] = (*it)[2];
      }
      t.Grid[c] = ok ? std::move(g) : TGrid{};
    }
  }
  if (!ok) {
    // Nothing of a failed read is kept: the table is read again when next needed.
    switch (table) {
      case tConst: t.MinServiceLife.reset(), t.ReqCCFScore.reset(); break;
      case tDC: t.DC.clear(); break;
      case tMTTFd: t.MTTFd.clear(); break;
      case tPLs: t.PLs.clear(); break;
      case tRiskParams: t.Risk.clear(); break;
      case tSFTypes: t.SFTypes.clear(); break;
      case tPFH: t.PFH.clear(); break;
      case tCat: t.Cats.clear(); break;
      case tCatReqMTTFd: t.CatReqMTTFd.clear(); break;
      case tCatReqDCavg: t.CatReqDCavg.clear(); break;
      case tCatReqConditions: t.CatConditions.clear(); break;
      case tPLReqConditions: t.PLConditions.clear(); break;
      default: break;
    }
  }
  t.Loaded[table] = ok;
  return ok;
}

void TPersistenceDB_FB::ThrowNotConnected() const {
  throw EtiFBException(tiFormat("Cannot read the standard's tables: %s is not connected", {db_->Describe()}));
}

// Every look-up asks for one table that is there: that path takes no list and no lock.
const TPersistenceDB_FB::TTables& TPersistenceDB_FB::Tables(TTable table) {
  const TTables* t = tables_.load(std::memory_order_acquire);
  if (t && t->Loaded[table]) return *t;
  return Tables({table});
}

const TPersistenceDB_FB::TTables& TPersistenceDB_FB::Tables(std::initializer_list<TTable> tables) {
  auto complete = [&](const TTables* t) {
    for (TTable table : tables)
      if (!t->Loaded[table]) return false;
    return true;
  };
  const TTables* t = tables_.load(std::memory_order_acquire);
  if (t && complete(t)) return *t;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  t = tables_.load(std::memory_order_acquire);
  if (!t) ThrowNotConnected();
  if (complete(t)) return *t;
  // A table that failed is read again, in a copy: readers of other threads keep the tables they hold.
  auto copy = std::make_unique<TTables>(*t);
  bool read = false;
  for (TTable table : tables)
    if (!copy->Loaded[table] && LoadTable(*copy, table, false)) read = true;
  if (!read) return *t;
  Publish(std::move(copy));
  return *published_.back();
}

bool TPersistenceDB_FB::FirstDouble(TtiFBStatement& q, const char* table, std::optional<double>& value) {
  value.reset();
  return Run(q, table, [&](TtiFBStatement& s) { value = s.FieldIsNull(0) ? 0.0 : s.FieldAsFloat(0); }, false);
}

bool TPersistenceDB_FB::FirstText(TtiFBStatement& q, const char* table, std::optional<std::string>& value) {
  value.reset();
  return Run(q, table, [&](TtiFBStatement& s) { value = s.FieldAsString(0); }, false);
}

// ---- conditions ----

TCatConditionList* TPersistenceDB_FB::GetCatConditions(TCat Cat) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  CheckCat(Cat);
  auto& list = catConditions_[Cat];
  if (!list) list = std::make_unique<TCatConditionList>();
  if (catConditionsLoaded_[Cat]) return list.get();
  const TTables& t = Tables(tCatReqConditions);
  if (!t.Loaded[tCatReqConditions]) return nullptr;
  list->Clear();
  const std::string name = Name(Cat);
  for (const auto& r : t.CatConditions) {
    if (r.Key != name) continue;
    auto c = std::make_unique<TCatCondition>();
    c->GetOID().SetAsString(r.OID);
    c->SetText(r.Text);
    c->SetCCID(r.ID);
    list->Add(std::move(c));
  }
  catConditionsLoaded_[Cat] = true;
  return list.get();
}

TPLConditionList* TPersistenceDB_FB::GetPLConditions(TPL PL) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (PL > plN)
    throw EtiPerProgrammerException("Invalid PL %d for the PL conditions", {static_cast<int>(PL)});
  auto& list = plConditions_[PL];
  if (!list) list = std::make_unique<TPLConditionList>();
  if (plConditionsLoaded_[PL]) return list.get();
  const TTables& t = Tables(tPLReqConditions);
  if (!t.Loaded[tPLReqConditions]) return nullptr;
  list->Clear();
  const std::string name(EnumName(PL));
  for (const auto& r : t.PLConditions) {
    if (r.Key != name) continue;
    auto c = std::make_unique<TPLCondition>();
    c->GetOID().SetAsString(r.OID);
    c->SetText(r.Text);
    c->SetPLCID(r.ID);
    list->Add(std::move(c));
  }
  plConditionsLoaded_[PL] = true;
  return list.get();
}

// ---- categories ----

void TPersistenceDB_FB::GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg,
                                           bool& CCFRelevant) {
  CheckCat(Cat);
  const TTables& t = Tables({tCat, tCatReqMTTFd, tCatReqDCavg});
  const std::string name = Name(Cat);
  // What could be read is answered; a part that could not be read answers its most cautious value.
  CCFRelevant = true;  // not known: the CCF must count rather than be waved through
  if (t.Loaded[tCat]) {
    const TTables::TCatRow* row = t.Cat(name);
    CCFRelevant = row && row->CCFRelevant != 0;
  }
  MTTFd = {};
  if (t.Loaded[tCatReqMTTFd])
    for (const auto& [cat, band] : t.CatReqMTTFd) {
      TMTTFdDenotation d;
      if (cat == name && EnumFromName(band, d)) MTTFd.Include(d);
    }
  DCavg = {};
  if (t.Loaded[tCatReqDCavg])
    for (const auto& [cat, band] : t.CatReqDCavg) {
      TDCDenotation d;
      if (cat == name && EnumFromName(band, d) && d != dcForward) DCavg.Include(d);
    }
}

int32_t TPersistenceDB_FB::GetChannelCount(TCat Cat) {
  CheckCat(Cat);
  const TTables& t = Tables(tCat);
  if (!t.Loaded[tCat]) return -1;
  const TTables::TCatRow* row = t.Cat(EnumName(Cat));
  // A category without a row has no channel count.
  if (!row || row->ChannelCount < 1 || row->ChannelCount > std::numeric_limits<int32_t>::max()) return -1;
  return static_cast<int32_t>(row->ChannelCount);
}

// ---- bands ----

TDCDenotation TPersistenceDB_FB::GetDCDenotation(double DC) {
  int band;
  if (MemoHit(tDCMemo, tDC, DC, band)) return static_cast<TDCDenotation>(band);
  return MemoBand(tDCMemo, tDC, DC, [&] {
    if (std::isnan(DC)) return dcForward;
    const TTables& t = Tables(tDC);
    if (!t.Loaded[tDC]) return dcForward;
    const TBandRow* row = BandOf(t.DC, Finite(RoundForBounds(DC)));
    return row ? static_cast<TDCDenotation>(row->Band) : dcForward;
  });
}

TMTTFdDenotation TPersistenceDB_FB::GetMTTFdDenotation(double MTTFd) {
  int band;
  if (MemoHit(tMTTFdMemo, tMTTFd, MTTFd, band)) return static_cast<TMTTFdDenotation>(band);
  return MemoBand(tMTTFdMemo, tMTTFd, MTTFd, [&] {
    // Below the lowest band (and "no value", and NaN) there is no band at all.
    const double m = RoundForBounds(MTTFd);
    if (!(m >= MTTFdMin())) return mttfNoBand;
    if (std::isinf(m)) return mttfHigh;
    const TTables& t = Tables(tMTTFd);
    if (!t.Loaded[tMTTFd]) return mttfNoBand;  // never the best band for a value the table did not place
    const TBandRow* row = BandOf(t.MTTFd, m);
    return row ? static_cast<TMTTFdDenotation>(row->Band) : mttfHigh;  // above the highest band: high
  });
}

TPersistenceDB_FB::TBandMemo::TEntry& TPersistenceDB_FB::TBandMemo::Slot(uint64_t bits) {
  return Slots[(bits * 0x9E3779B97F4A7C15ull) >> (64 - cBits)];
}

bool TPersistenceDB_FB::MemoHit(TBandMemo& memo, TTable table, double value, int& band) const {
  const TTables* t = tables_.load(std::memory_order_acquire);
  if (!t || !t->Loaded[table]) return false;
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const TBandMemo::TEntry& e = memo.Slot(bits);
  if (e.Tables != t->Id || e.Bits != bits) return false;
  band = e.Band;
  return true;
}

// Out of line: the hit above is the common case and stays small.
template <class Compute>
[[gnu::noinline]] auto TPersistenceDB_FB::MemoBand(TBandMemo& memo, TTable table, double value, Compute compute)
    -> decltype(compute()) {
  const TTables* before = tables_.load(std::memory_order_acquire);
  if (!before || !before->Loaded[table]) return compute();
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const auto band = compute();
  // Kept only when the answer came from the tables seen before: a table read again in between may differ.
  if (tables_.load(std::memory_order_acquire) == before) memo.Slot(bits) = {before->Id, bits, static_cast<int>(band)};
  return band;
}

// ---- constants ----

double TPersistenceDB_FB::GetMinServiceLife() {
  const TTables& t = Tables(tConst);
  // A missing row is no answer: a required CCF score of 0 would pass every subsystem.
  if (!t.Loaded[tConst] || !t.MinServiceLife || !(*t.MinServiceLife >= 0.0)) return -1.0;
  return *t.MinServiceLife;
}

double TPersistenceDB_FB::GetReqCCFScore() {
  const TTables& t = Tables(tConst);
  if (!t.Loaded[tConst] || !t.ReqCCFScore || !(*t.ReqCCFScore >= 0.0)) return -1.0;
  return *t.ReqCCFScore;
}

// ---- PL bands ----

double TPersistenceDB_FB::GetPLMeanPFH(TPL PL) {
  if (PL == plE) return std::sqrt(1e-15);  // plE's band is open downwards for this purpose
  const TTables& t = Tables(tPLs);
  if (!t.Loaded[tPLs]) return -1.0;
  const std::string_view name = EnumName(PL);
  for (const TBandRow& r : t.PLs) {
    if (r.Name != name) continue;
    // No band read is no PFH (-1): a PFH of 0 would be the best of all.
    if (!(r.Upper > 0.0) || !(r.Lower > 0.0)) return -1.0;
    return std::sqrt(r.Upper * r.Lower);
  }
  return -1.0;
}

TPL TPersistenceDB_FB::GetPLFromPFH(double PFH) {
  if (std::isnan(PFH) || PFH >= kPLNoBandPFH || PFH <= 0.0) return plN;
  const TTables& t = Tables(tPLs);
  if (!t.Loaded[tPLs]) return plA;  // the worst PL: nothing is claimed that the tables did not confirm
  const double v = PFHValue(PFH);
  for (const TBandRow& r : t.PLs) {
    if (v >= r.Lower && v < r.Upper) return static_cast<TPL>(r.Band);
  }
  return plN;
}

TPL TPersistenceDB_FB::GetPLrFromRiskParams(uint8_t S, uint8_t F, uint8_t P) {
  const TTables& t = Tables(tRiskParams);
  if (!t.Loaded[tRiskParams]) return plE;  // the strictest requirement when the graph has no answer
  for (const auto& r : t.Risk) {
    if (r.S != S || r.F != F || r.P != P) continue;
    TPL pl = plE;
    if (!EnumFromName(r.PL, pl) || pl > plE) return plE;
    return pl;
  }
  return plE;
}

const std::vector<std::string>& TPersistenceDB_FB::GetSFTypes() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (sfTypesLoaded_) return sfTypes_;
  const TTables& t = Tables(tSFTypes);
  sfTypesLoaded_ = t.Loaded[tSFTypes];
  if (sfTypesLoaded_) sfTypes_ = t.SFTypes;
  return sfTypes_;
}

const std::vector<TTypicalMTTFd>* TPersistenceDB_FB::GetTypicalMTTFds() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (typicalMTTFds_) return &*typicalMTTFds_;
  std::vector<TTypicalMTTFd> rows;
  auto number = [](TtiFBStatement& s, int i) {
    return s.FieldIsNull(i) ? std::nullopt : std::optional(s.FieldAsFloat(i));
  };
  TReadScope scope(*this);
  TtiFBStatement& q = Query("SELECT PartName, WellTriedRef, Standards, TypicalMTTFd, TypicalB10d FROM GEPMTTFd WHERE "
                            "(NormVersion = :NormVersion)");
  const bool ok = Run(q, "GEPMTTFd", [&](TtiFBStatement& s) {
    rows.push_back({s.FieldAsString(0), s.FieldAsString(1), s.FieldAsString(2), number(s, 3), number(s, 4)});
  }, true);
  scope.CommitIf(ok);
  if (ok) typicalMTTFds_ = std::move(rows);
  return ok ? &*typicalMTTFds_ : nullptr;
}

std::string TPersistenceDB_FB::GetOpenLibFileName() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return openLibFileName_ ? openLibFileName_() : std::string();
}

// ---- PFH ----

double TPersistenceDB_FB::GetPFH(TDCDenotation DC, TCat Cat, double MTTFd) {
  CheckCat(Cat);
  if (DC >= dcForward) return -1.0;
  const double m = RoundForBounds(MTTFd);
  if (std::isnan(m)) return -1.0;
  const TTables& t = Tables(tPFH);
  if (!t.Loaded[tPFH]) return -1.0;
  const double limit = Finite(m);
  // Below the table's smallest MTTFd (of any category) there is no value.
  bool top = false;
  for (const auto& r : t.PFH) top = top || r.MTTFd <= limit;
  double pfh = 0.0;
  if (top) {
    const std::string cat = Name(Cat);
    // The table step: the row of the largest MTTFd not above the value; a DC band without one falls to the
    // next lower band.
    for (int level = DC; level >= dcNone && pfh == 0.0; --level) {
      const std::string_view band = EnumNameOf<TDCDenotation>(level);
      const TTables::TPFHRow* best = nullptr;
      for (const auto& r : t.PFH)
        if (r.Cat == cat && r.DCavg == band && r.MTTFd <= limit && (!best || r.MTTFd > best->MTTFd)) best = &r;
      if (best) pfh = best->PFH;
    }
  }
  return pfh == 0.0 ? -1.0 : pfh;
}

double TPersistenceDB_FB::GetPFHInterpolated(TCat Cat, double MTTFd, double DCavg) {
  CheckCat(Cat);
  // Never fails dangerously; categories B and 1 keep their floor below (they never reach a PL above b and c).
  if (MTTFd == std::numeric_limits<double>::infinity() && Cat != catB && Cat != cat1) return 0.0;
  const TDCDenotation level = GetDCDenotation(DCavg);
  if (!GetOptUseDCInterLevels()) return GetPFH(level, Cat, MTTFd);

  const double m = RoundForBounds(MTTFd);
  const double d = RoundForBounds(DCavg);
  if ((Cat == catB || Cat == cat1) && m >= MTTFdMin()) {
    const double pfh = 1.0 / (m * kHoursPerYear);
    return std::max(pfh, Cat == catB ? kCatBFloorPFH : kCat1FloorPFH);
  }
  if (level == dcForward || !(m >= MTTFdMin()) || !(d >= kDCMin)) return -1.0;

  const TTables& t = Tables(tPFHi);
  // A failed read gives no value; the next question reads the table again.
  if (!t.Loaded[tPFHi]) return -1.0;
  const TGrid& g = t.Grid[Cat];
  // Grid neighbours of (DCavg, MTTFd) for the category: 0 when there is none on that side.
  const double dcLow = TGrid::Below(g.DCs, d), mLow = TGrid::Below(g.Ms, m);
  double dcHigh = TGrid::Above(g.DCs, d), mHigh = TGrid::Above(g.Ms, m);
  if (dcHigh == 0.0) dcHigh = dcLow;
  if (mHigh == 0.0) mHigh = mLow;
  const double p11 = g.At(mLow, dcLow), p12 = g.At(mLow, dcHigh), p21 = g.At(mHigh, dcLow),
               p22 = g.At(mHigh, dcHigh);

  double value = -1.0;
  if (p11 != 0.0 && p12 != 0.0 && p21 != 0.0 && p22 != 0.0) {
    const double a = InterpolateLinear(d, dcLow, dcHigh, p11, p12);
    const double b = InterpolateLinear(d, dcLow, dcHigh, p21, p22);
    value = InterpolateLogLog(m, mLow, mHigh, a, b);
  }
  // The floor raises a value; "no value" (-1) stays no value.
  if (Cat == cat3 && d >= kCat3FloorDCLow && d <= kCat3FloorDCHigh && value >= 0.0)
    value = std::max(value, kCat3FloorPFH);
  return value;
}

// ---- registration ----

void RegisterPersistenceDB() {
  RegisterPersistenceDBFactory([] { return std::make_unique<TPersistenceDB_FB>(); });
}

}  // namespace kelvado
