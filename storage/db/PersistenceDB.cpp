#include "storage/db/PersistenceDB.h"

#include <algorithm>
#include <cmath>
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
}

void TPersistenceDB_FB::Disconnect() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
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
                            bool allRows) {
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
    if (reportedTables_.insert(table).second)
      ShowMessage("KELVADO",
                  tiFormat("Reading table %s of the general database \"%s\" failed. Results that depend on it "
                           "are shown without a value or with their most cautious value.\n%s",
                           {table, databaseName_, e.Message()}),
                  MsgIcon::Error);
    return false;
  }
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
  list->Clear();  // what a failed read left
  TReadScope scope(*this);
  TtiFBStatement& q = Query(
      "SELECT CatCondition, OID, Text, CCID FROM CatReqConditions INNER JOIN CatConditions ON CatCondition = OID "
      "WHERE (Cat = :Cat) AND (CatReqConditions.NormVersion = :NormVersion)");
  q.SetParamString("Cat", Name(Cat));
  TCatConditionList& l = *list;
  const bool ok = Run(q, "CatReqConditions",
                      [&l](TtiFBStatement& s) {
                        auto c = std::make_unique<TCatCondition>();
                        c->GetOID().SetAsString(s.FieldAsString("OID"));
                        c->SetText(s.FieldAsString("Text"));
                        c->SetCCID(s.FieldAsString("CCID"));
                        l.Add(std::move(c));
                      },
                      true);
  scope.CommitIf(ok);
  catConditionsLoaded_[Cat] = ok;
  return ok ? list.get() : nullptr;
}

TPLConditionList* TPersistenceDB_FB::GetPLConditions(TPL PL) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (PL > plN)
    throw EtiPerProgrammerException("Invalid PL %d for the PL conditions", {static_cast<int>(PL)});
  auto& list = plConditions_[PL];
  if (!list) list = std::make_unique<TPLConditionList>();
  if (plConditionsLoaded_[PL]) return list.get();
  list->Clear();
  TReadScope scope(*this);
  TtiFBStatement& q = Query(
      "SELECT PLCondition, OID, Text, PLCID FROM PLReqConditions INNER JOIN PLConditions ON PLCondition = OID "
      "WHERE (PL = :PL) AND (PLReqConditions.NormVersion = :NormVersion)");
  q.SetParamString("PL", std::string(EnumName(PL)));
  TPLConditionList& l = *list;
  const bool ok = Run(q, "PLReqConditions",
                      [&l](TtiFBStatement& s) {
                        auto c = std::make_unique<TPLCondition>();
                        c->GetOID().SetAsString(s.FieldAsString("OID"));
                        c->SetText(s.FieldAsString("Text"));
                        c->SetPLCID(s.FieldAsString("PLCID"));
                        l.Add(std::move(c));
                      },
                      true);
  scope.CommitIf(ok);
  plConditionsLoaded_[PL] = ok;
  return ok ? list.get() : nullptr;
}

// ---- categories ----

void TPersistenceDB_FB::GetCatRequirements(TCat Cat, TMTTFdDenotationSet& MTTFd, TDCDenotationSet& DCavg,
                                           bool& CCFRelevant) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  CheckCat(Cat);
  TCatRequirements& rec = catRequirements_[Cat];
  if (!rec.Loaded) {
    TCatRequirements r;
    bool ok = true;

    TReadScope scope(*this);
    TtiFBStatement& q1 = Query("SELECT CCFRelevant FROM Cat WHERE (Cat = :Cat) AND (NormVersion = :NormVersion)");
    q1.SetParamString("Cat", Name(Cat));
    bool ok1 = Run(q1, "Cat", [&r](TtiFBStatement& s) { r.CCFRelevant = s.FieldAsInteger(0) != 0; }, false);
    if (!ok1) r.CCFRelevant = true;  // not known: the CCF must count rather than be waved through
    ok = ok && ok1;

    TtiFBStatement& q2 = Query(
        "SELECT MTTFd FROM Cat INNER JOIN CatReqMTTFd ON (Cat.Cat = CatReqMTTFd.Cat) WHERE (Cat.Cat = :Cat) AND "
        "(Cat.NormVersion = :NormVersion)");
    q2.SetParamString("Cat", Name(Cat));
    bool ok2 = Run(q2, "CatReqMTTFd",
                   [&r](TtiFBStatement& s) {
                     TMTTFdDenotation d;
                     if (EnumFromName(s.FieldAsString(0), d)) r.MTTFd.Include(d);
                   },
                   true);
    ok = ok && ok2;

    TtiFBStatement& q3 = Query(
        "SELECT DCavg FROM Cat INNER JOIN CatReqDCavg ON (Cat.Cat = CatReqDCavg.Cat) WHERE (Cat.Cat = :Cat) AND "
        "(Cat.NormVersion = :NormVersion)");
    q3.SetParamString("Cat", Name(Cat));
    bool ok3 = Run(q3, "CatReqDCavg",
                   [&r](TtiFBStatement& s) {
                     TDCDenotation d;
                     if (EnumFromName(s.FieldAsString(0), d) && d != dcForward) r.DCavg.Include(d);
                   },
                   true);
    ok = ok && ok3;
    scope.CommitIf(ok);

    if (!ok) {  // answer what was read, ask again next time
      MTTFd = r.MTTFd;
      DCavg = r.DCavg;
      CCFRelevant = r.CCFRelevant;
      return;
    }
    r.Loaded = true;
    rec = r;
  }
  MTTFd = rec.MTTFd;
  DCavg = rec.DCavg;
  CCFRelevant = rec.CCFRelevant;
}

int32_t TPersistenceDB_FB::GetChannelCount(TCat Cat) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  CheckCat(Cat);
  if (channelCounts_[Cat] >= 0) return channelCounts_[Cat];
  TReadScope scope(*this);
  TtiFBStatement& q =
      Query("SELECT ChannelCount FROM Cat WHERE (Cat = :Cat) AND (Cat.NormVersion = :NormVersion)");
  q.SetParamString("Cat", Name(Cat));
  int32_t n = -1;
  const bool ok = Run(q, "Cat", [&n](TtiFBStatement& s) { n = static_cast<int32_t>(s.FieldAsInteger(0)); }, false);
  scope.CommitIf(ok);
  if (!ok || n < 1) return -1;  // a category without a row has no channel count
  channelCounts_[Cat] = n;
  return n;
}

// ---- bands ----

TDCDenotation TPersistenceDB_FB::GetDCDenotation(double DC) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (std::isnan(DC)) return dcForward;
  // Values that meet the table as the same value share one answer.
  const double d = RoundForBounds(DC);
  const int32_t cached = dcCache_.ValueOf(d);
  if (cached >= 0) return static_cast<TDCDenotation>(cached);
  TReadScope scope(*this);
  TtiFBStatement& q = Query(
      "SELECT DC FROM DC WHERE (:DC BETWEEN DClower AND DCupper) AND (NormVersion = :NormVersion) ORDER BY "
      "DClower DESC ");
  q.SetParamDouble("DC", Finite(d));
  std::optional<std::string> name;
  const bool ok = FirstText(q, "DC", name);
  scope.CommitIf(ok);
  if (!ok) return dcForward;
  TDCDenotation band = dcForward;
  if (name && !EnumFromName(*name, band)) band = dcForward;
  dcCache_.Add(band, d);
  return band;
}

TMTTFdDenotation TPersistenceDB_FB::GetMTTFdDenotation(double MTTFd) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  // Below the lowest band (and "no value", and NaN) there is no band at all.
  const double m = RoundForBounds(MTTFd);
  if (!(m >= MTTFdMin())) return mttfNoBand;
  if (std::isinf(m)) return mttfHigh;
  const int32_t cached = mttfdCache_.ValueOf(m);
  if (cached >= 0) return static_cast<TMTTFdDenotation>(cached);
  TReadScope scope(*this);
  TtiFBStatement& q = Query(
      "SELECT MTTFd FROM MTTFd WHERE (:MTTFd BETWEEN MTTFdlower AND MTTFdupper) AND (NormVersion = :NormVersion) "
      "ORDER BY MTTFdlower DESC ");
  q.SetParamDouble("MTTFd", m);
  std::optional<std::string> name;
  const bool ok = FirstText(q, "MTTFd", name);
  scope.CommitIf(ok);
  if (!ok) return mttfNoBand;  // never the best band for a value the table did not place
  TMTTFdDenotation band = mttfHigh;  // above the highest band
  if (name && !EnumFromName(*name, band)) band = mttfHigh;
  mttfdCache_.Add(band, m);
  return band;
}

// ---- constants ----

double TPersistenceDB_FB::ReadConstant(const char* sql, double& cache) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (cache >= 0.0) return cache;
  TReadScope scope(*this);
  TtiFBStatement& q = Query(sql);
  std::optional<double> v;
  const bool ok = FirstDouble(q, "Const", v);
  scope.CommitIf(ok);
  // A missing row is no answer: a required CCF score of 0 would pass every subsystem.
  if (!ok || !v || !(*v >= 0.0)) return -1.0;
  cache = *v;
  return cache;
}

double TPersistenceDB_FB::GetMinServiceLife() {
  return ReadConstant("SELECT MinServiceLife FROM Const WHERE NormVersion = :NormVersion", minServiceLife_);
}

double TPersistenceDB_FB::GetReqCCFScore() {
  return ReadConstant("SELECT ReqCCFScore FROM Const WHERE NormVersion = :NormVersion", reqCCFScore_);
}

// ---- PL bands ----

double TPersistenceDB_FB::GetPLMeanPFH(TPL PL) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (PL == plE) return std::sqrt(1e-15);  // plE's band is open downwards for this purpose
  TReadScope scope(*this);
  TtiFBStatement& q = Query("SELECT PFHupper, PFHlower FROM PLs WHERE (PL = :PL) AND (NormVersion = :NormVersion)");
  q.SetParamString("PL", std::string(EnumName(PL)));
  std::optional<std::pair<double, double>> band;
  const bool ok = Run(q, "PLs", [&](TtiFBStatement& s) { band.emplace(s.FieldAsFloat(0), s.FieldAsFloat(1)); },
                      false);
  scope.CommitIf(ok);
  // No band read is no PFH (-1): a PFH of 0 would be the best of all.
  if (!ok || !band || !(band->first > 0.0) || !(band->second > 0.0)) return -1.0;
  return std::sqrt(band->first * band->second);
}

TPL TPersistenceDB_FB::GetPLFromPFH(double PFH) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (std::isnan(PFH) || PFH >= kPLNoBandPFH || PFH <= 0.0) return plN;
  const int32_t cached = plCache_.ValueOf(PFH);
  if (cached >= 0) return static_cast<TPL>(cached);
  TReadScope scope(*this);
  TtiFBStatement& q = Query(
      "SELECT PL FROM PLs WHERE (:PFH >= PFHlower) AND (:PFH < PFHupper) AND (NormVersion = :NormVersion)");
  q.SetParamDouble("PFH", PFHValue(PFH));
  std::optional<std::string> name;
  const bool ok = FirstText(q, "PLs", name);
  scope.CommitIf(ok);
  if (!ok) return plA;  // the worst PL: nothing is claimed that the tables did not confirm
  TPL pl = plN;
  if (!name || !EnumFromName(*name, pl) || pl > plE) pl = plN;
  plCache_.Add(pl, PFH);
  return pl;
}

TPL TPersistenceDB_FB::GetPLrFromRiskParams(uint8_t S, uint8_t F, uint8_t P) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const TPL cached = plrCache_.ValueOf(S, F, P);
  if (cached != plForward) return cached;
  TReadScope scope(*this);
  TtiFBStatement& q = Query(
      "SELECT PL FROM RiskParams WHERE (ParamS = :RiskParamS) AND (ParamF = :RiskParamF) AND (ParamP = "
      ":RiskParamP) AND (NormVersion = :NormVersion)");
  q.SetParamInteger("RiskParamS", S);
  q.SetParamInteger("RiskParamF", F);
  q.SetParamInteger("RiskParamP", P);
  std::optional<std::string> name;
  const bool ok = FirstText(q, "RiskParams", name);
  scope.CommitIf(ok);
  TPL pl = plE;  // the strictest requirement when the graph has no answer
  if (!ok || !name || !EnumFromName(*name, pl) || pl > plE) return plE;
  plrCache_.Add(pl, S, F, P);
  return pl;
}

const std::vector<std::string>& TPersistenceDB_FB::GetSFTypes() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (sfTypesLoaded_) return sfTypes_;
  sfTypes_.clear();
  TReadScope scope(*this);
  TtiFBStatement& q = Query("SELECT Name FROM SFTypes WHERE NormVersion = :NormVersion");
  const bool ok = Run(q, "SFTypes", [this](TtiFBStatement& s) { sfTypes_.push_back(s.FieldAsString(0)); }, true);
  scope.CommitIf(ok);
  sfTypesLoaded_ = ok;
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
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  CheckCat(Cat);
  if (DC >= dcForward) return -1.0;
  const double m = RoundForBounds(MTTFd);
  if (std::isnan(m)) return -1.0;
  TReadScope scope(*this);
  TtiFBStatement& grid = Query(
      "SELECT DISTINCT MTTFd FROM PFH WHERE MTTFd <= :MTTFd AND NormVersion = :NormVersion ORDER BY MTTFd DESC");
  grid.SetParamDouble("MTTFd", Finite(m));
  std::optional<double> top;
  if (!FirstDouble(grid, "PFH", top)) {
    return -1.0;
  }
  double pfh = 0.0;
  if (top) {
    for (int level = DC; level >= dcNone && pfh == 0.0; --level) {
      TtiFBStatement& q = Query(
          "SELECT PFH FROM PFH WHERE Cat = :Cat AND DCavg = :DCavg AND MTTFd <= :MTTFd AND NormVersion = "
          ":NormVersion ORDER BY MTTFd DESC ");
      q.SetParamString("Cat", Name(Cat));
      q.SetParamString("DCavg", std::string(EnumNameOf<TDCDenotation>(level)));
      q.SetParamDouble("MTTFd", Finite(m));
      std::optional<double> v;
      // A failed try must not fall through to a lower DC level and pass its value off as the answer.
      if (!FirstDouble(q, "PFH", v)) {
        return -1.0;
      }
      if (v) pfh = *v;
    }
  }
  scope.Commit();
  return pfh == 0.0 ? -1.0 : pfh;
}

double TPersistenceDB_FB::GetPFHInterpolated(TCat Cat, double MTTFd, double DCavg) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  CheckCat(Cat);
  // Never fails dangerously; categories B and 1 keep their floor below (they never reach a PL above b and c).
  if (MTTFd == std::numeric_limits<double>::infinity() && Cat != catB && Cat != cat1) return 0.0;
  const TDCDenotation level = GetDCDenotation(DCavg);
  if (!GetOptUseDCInterLevels()) return GetPFH(level, Cat, MTTFd);

  const double cached = pfhCache_.ValueOf(Cat, DCavg, MTTFd);
  if (cached >= 0.0) return cached;

  const double m = RoundForBounds(MTTFd);
  const double d = RoundForBounds(DCavg);
  if ((Cat == catB || Cat == cat1) && m >= MTTFdMin()) {
    const double pfh = 1.0 / (m * kHoursPerYear);
    return std::max(pfh, Cat == catB ? kCatBFloorPFH : kCat1FloorPFH);
  }
  if (level == dcForward || !(m >= MTTFdMin()) || !(d >= kDCMin)) return -1.0;

  TReadScope scope(*this);
  // Grid neighbours of (DCavg, MTTFd) for the category: 0 when there is none on that side.
  auto neighbour = [&](const char* sql, const char* param, double value, double& out) {
    TtiFBStatement& q = Query(sql);
    q.SetParamDouble(param, value);
    q.SetParamString("Cat", Name(Cat));
    std::optional<double> v;
    const bool ok = FirstDouble(q, "PFHi", v);
    out = v ? *v : 0.0;
    return ok;
  };
  double dcLow = 0.0, dcHigh = 0.0, mLow = 0.0, mHigh = 0.0;
  bool ok =
      neighbour("SELECT DISTINCT DCavg FROM PFHi WHERE DCavg <= :DCavg AND       Cat = :Cat AND       NormVersion = "
                ":NormVersion ORDER BY DCavg DESC",
                "DCavg", d, dcLow) &&
      neighbour("SELECT DISTINCT DCavg FROM PFHi WHERE DCavg >= :DCavg AND       Cat = :Cat AND       NormVersion = "
                ":NormVersion ORDER BY DCavg ASC",
                "DCavg", d, dcHigh) &&
      neighbour("SELECT DISTINCT MTTFd FROM PFHi WHERE MTTFd <= :MTTFd AND       Cat = :Cat AND       NormVersion = "
                ":NormVersion ORDER BY MTTFd DESC",
                "MTTFd", m, mLow) &&
      neighbour("SELECT DISTINCT MTTFd FROM PFHi WHERE MTTFd >= :MTTFd AND       Cat = :Cat AND       NormVersion = "
                ":NormVersion ORDER BY MTTFd ASC",
                "MTTFd", m, mHigh);
  if (dcHigh == 0.0) dcHigh = dcLow;
  if (mHigh == 0.0) mHigh = mLow;

  auto corner = [&](double mttfd, double dcavg, double& out) {
    TtiFBStatement& q = Query(
        "SELECT PFH FROM PFHi WHERE Cat = :Cat AND DCavg = :DCavg AND MTTFd = :MTTFd AND NormVersion = "
        ":NormVersion ");
    q.SetParamString("Cat", Name(Cat));
    q.SetParamDouble("DCavg", dcavg);
    q.SetParamDouble("MTTFd", mttfd);
    std::optional<double> v;
    const bool r = FirstDouble(q, "PFHi", v);
    out = v ? *v : 0.0;
    return r;
  };
  double p11 = 0.0, p12 = 0.0, p21 = 0.0, p22 = 0.0;
  ok = ok && corner(mLow, dcLow, p11) && corner(mLow, dcHigh, p12) && corner(mHigh, dcLow, p21) &&
       corner(mHigh, dcHigh, p22);
  scope.CommitIf(ok);
  // A failed read gives no value and is not remembered; the next question asks again.
  if (!ok) return -1.0;

  double value = -1.0;
  if (p11 != 0.0 && p12 != 0.0 && p21 != 0.0 && p22 != 0.0) {
    const double a = InterpolateLinear(d, dcLow, dcHigh, p11, p12);
    const double b = InterpolateLinear(d, dcLow, dcHigh, p21, p22);
    value = InterpolateLogLog(m, mLow, mHigh, a, b);
  }
  // The floor raises a value; "no value" (-1) stays no value.
  if (Cat == cat3 && d >= kCat3FloorDCLow && d <= kCat3FloorDCHigh && value >= 0.0)
    value = std::max(value, kCat3FloorPFH);
  pfhCache_.Add(value, Cat, DCavg, MTTFd);
  return value;
}

// ---- registration ----

void RegisterPersistenceDB() {
  RegisterPersistenceDBFactory([] { return std::make_unique<TPersistenceDB_FB>(); });
}

}  // namespace kelvado
