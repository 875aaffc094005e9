// Evaluating a large project: 1,000 safety functions, each of 3 subsystems (categories 2, 3 and 4) with
// 2 channels of 5 blocks of 3 elements (90,000 elements), on the general database beside the program.
//
// Figures printed:
// - cold evaluation (every node cache empty) of all safety functions, once with a fresh general-database object
//   (its look-up caches empty too) and once with a warm one;
// - the same numbers computed by a plain loop over arrays (same formulas, same look-ups on the warm object),
//   measured in the same run: the ratio model / plain loop;
// - re-evaluation after one element changes, with the nodes the calculators computed again, per level;
// - the queries the general-database object sent to the file, against the number of distinct look-up
//   arguments (each distinct question asked once of a fresh object).
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bench/BenchProject.h"
#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/VisitorsCalc.h"
#include "platform/CachedRegistry.h"
#include "platform/Registry.h"
#include "storage/db/PersistenceDB.h"

using namespace kelvado;

namespace {

constexpr int kSFs = 1000;
using bench::kBlocs;
using bench::kCats;
using bench::kChannels;
using bench::kElements;
using bench::kSubsystems;

// The numbers of element (sf, sub, ch, bl, el): a small set of values. In the varied project the safety
// functions differ (a few hundred distinct look-up arguments); in the uniform one they are all alike (a few
// dozen), so the general database's caches of 64 answers per look-up hold them all.
bool gUniform = false;
double ElementMTTFd(int sf, int sub, int ch, int bl, int el) {
  static const double v[] = {300, 450, 600, 900, 1200, 1500, 2000};
  if (gUniform) sf = 0;
  return v[(sf + sub * 3 + ch + bl * 2 + el) % 7];
}
double ElementDC(int sf, int sub, int ch, int bl, int el) {
  static const double v[] = {0.6, 0.9, 0.99, 0.99};
  (void)ch;
  if (gUniform) sf = 0;
  return sub == 2 ? 0.99 : v[(sf + bl + el) % 4];
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- Counting calculators: which nodes the pool computed ----

struct Counts {
  std::set<const void*> elements, blocs, channels, subsystems, sfs;
  long calls = 0;
  void Clear() { *this = Counts{}; }
  size_t Nodes() const { return elements.size() + blocs.size() + channels.size() + subsystems.size() + sfs.size(); }
};
Counts gCounts;

class CountingMTTFd : public TMTTFdCalc13849 {
public:
  double CalcComponentMTTFd(TComponentOp& n, TMTTFdDenotation& b, TDetermination d) override {
    ++gCounts.calls, gCounts.subsystems.insert(&n);
    return TMTTFdCalc13849::CalcComponentMTTFd(n, b, d);
  }
  double CalcChannelMTTFd(TChannelOp& n, TMTTFdDenotation& b) override {
    ++gCounts.calls, gCounts.channels.insert(&n);
    return TMTTFdCalc13849::CalcChannelMTTFd(n, b);
  }
  double CalcBlocMTTFd(TBlocOp& n, TMTTFdDenotation& b, TDetermination d) override {
    ++gCounts.calls, gCounts.blocs.insert(&n);
    return TMTTFdCalc13849::CalcBlocMTTFd(n, b, d);
  }
  double CalcElementMTTFd(TElementOp& n, TMTTFdDenotation& b, TDetermination d) override {
    ++gCounts.calls, gCounts.elements.insert(&n);
    return TMTTFdCalc13849::CalcElementMTTFd(n, b, d);
  }
};
class CountingDC : public TDCCalc13849 {
public:
  double CalcComponentDC(TComponentOp& n, TDCDenotation& b, TDetermination d) override {
    ++gCounts.calls, gCounts.subsystems.insert(&n);
    return TDCCalc13849::CalcComponentDC(n, b, d);
  }
  double CalcChannelDC(TChannelOp& n, TDCDenotation& b) override {
    ++gCounts.calls, gCounts.channels.insert(&n);
    return TDCCalc13849::CalcChannelDC(n, b);
  }
  double CalcBlocDC(TBlocOp& n, TDCDenotation& b, TDetermination d) override {
    ++gCounts.calls, gCounts.blocs.insert(&n);
    return TDCCalc13849::CalcBlocDC(n, b, d);
  }
  double CalcElementDC(TElementOp& n, TDCDenotation& b, TDetermination d) override {
    ++gCounts.calls, gCounts.elements.insert(&n);
    return TDCCalc13849::CalcElementDC(n, b, d);
  }
};
class CountingPL : public TPLCalc13849 {
public:
  TPL CalcSFPL(TSFOp& n, double& pfh) override {
    ++gCounts.calls, gCounts.sfs.insert(&n);
    return TPLCalc13849::CalcSFPL(n, pfh);
  }
  TPL CalcComponentPL(TComponentOp& n, double& pfh, TDetermination d) override {
    ++gCounts.calls, gCounts.subsystems.insert(&n);
    return TPLCalc13849::CalcComponentPL(n, pfh, d);
  }
};

// ---- Recording general database: the distinct questions asked ----

class RecordingDB : public TPersistenceDB {
public:
  explicit RecordingDB(std::unique_ptr<TPersistenceDB_FB> db) : db_(std::move(db)) {}
  TPersistenceDB_FB& Real() { return *db_; }
  std::set<std::tuple<int, double, double, double>> keys;
  long calls = 0;

  bool IsConnected() const override { return db_->IsConnected(); }
  void EmptyLibraryTables() override { db_->EmptyLibraryTables(); }
  void Connect() override { db_->Connect(); }
  void CreateNewDatabase(const std::string& f) override { db_->CreateNewDatabase(f); }
  void Disconnect() override { db_->Disconnect(); }
  TCatConditionList* GetCatConditions(TCat c) override { return Note(1, c), db_->GetCatConditions(c); }
  TPLConditionList* GetPLConditions(TPL p) override { return Note(2, p), db_->GetPLConditions(p); }
  void GetCatRequirements(TCat c, TMTTFdDenotationSet& m, TDCDenotationSet& d, bool& r) override {
    Note(3, c);
    db_->GetCatRequirements(c, m, d, r);
  }
  int32_t GetChannelCount(TCat c) override { return Note(4, c), db_->GetChannelCount(c); }
  TDCDenotation GetDCDenotation(double v) override { return Note(5, v), db_->GetDCDenotation(v); }
  double GetMinServiceLife() override { return Note(6), db_->GetMinServiceLife(); }
  TMTTFdDenotation GetMTTFdDenotation(double v) override { return Note(7, v), db_->GetMTTFdDenotation(v); }
  double GetPFH(TDCDenotation d, TCat c, double m) override { return Note(8, d, c, m), db_->GetPFH(d, c, m); }
  double GetPFHInterpolated(TCat c, double m, double d) override {
    return Note(9, c, m, d), db_->GetPFHInterpolated(c, m, d);
  }
  double GetPLMeanPFH(TPL p) override { return Note(10, p), db_->GetPLMeanPFH(p); }
  TPL GetPLFromPFH(double v) override { return Note(11, v), db_->GetPLFromPFH(v); }
  TPL GetPLrFromRiskParams(uint8_t s, uint8_t f, uint8_t p) override {
    return Note(12, s, f, p), db_->GetPLrFromRiskParams(s, f, p);
  }
  double GetReqCCFScore() override { return Note(13), db_->GetReqCCFScore(); }
  const std::vector<std::string>& GetSFTypes() override { return Note(14), db_->GetSFTypes(); }
  std::string GetOpenLibFileName() override { return db_->GetOpenLibFileName(); }

private:
  void Note(int op, double a = 0, double b = 0, double c = 0) {
    ++calls;
    keys.insert({op, a, b, c});
  }
  std::unique_ptr<TPersistenceDB_FB> db_;
};

std::string GeneralFile() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "db" / "KELVADO_GEN_DE.FDB").string();
}

std::unique_ptr<TPersistenceDB_FB> NewDB() {
  auto db = std::make_unique<TPersistenceDB_FB>(GeneralFile());
  db->Connect();
  return db;
}

// Asks each distinct question once of a fresh object; returns the queries that took.
int64_t QueriesForDistinct(const std::set<std::tuple<int, double, double, double>>& keys) {
  auto fresh = NewDB();
  const int64_t f0 = fresh->QueryCount();
  for (const auto& [op, a, b, c] : keys) {
    switch (op) {
      case 4: fresh->GetChannelCount(static_cast<TCat>(a)); break;
      case 5: fresh->GetDCDenotation(a); break;
      case 7: fresh->GetMTTFdDenotation(a); break;
      case 9: fresh->GetPFHInterpolated(static_cast<TCat>(a), b, c); break;
      case 10: fresh->GetPLMeanPFH(static_cast<TPL>(a)); break;
      case 11: fresh->GetPLFromPFH(a); break;
      case 13: fresh->GetReqCCFScore(); break;
      default: break;
    }
  }
  return fresh->QueryCount() - f0;
}

// ---- The project ----

std::unique_ptr<TProjectOp> BuildProject() { return bench::BuildBenchProject(kSFs, ElementMTTFd, ElementDC); }

// Evaluates every safety function; returns a checksum of the PFHs so the work cannot be skipped.
double EvaluateAll(TProjectOp& project) {
  double sum = 0.0;
  TSFOpList& list = *project.GetSFOpList();
  for (int i = 0; i < list.GetCount(); ++i) {
    TSFOp& sf = *list.Items(i);
    sum += sf.GetPFHLazy() + static_cast<int>(sf.GetPLLazy());
  }
  return sum;
}

// ---- The plain loop: the same formulas over arrays ----

double PlainLoop(bool cutBefore, bool fit, double cap3, double cap4) {
  (void)fit;  // no test channel in this project
  double total = 0.0;
  for (int sf = 0; sf < kSFs; ++sf) {
    double sfPFH = 0.0;
    for (int sub = 0; sub < kSubsystems; ++sub) {
      const double cap = kCats[sub] == cat4 ? cap4 : cap3;
      double chM[kChannels], chDC[kChannels];
      for (int ch = 0; ch < kChannels; ++ch) {
        double sInv = 0.0, s1 = 0.0, s2 = 0.0;
        for (int bl = 0; bl < kBlocs; ++bl) {
          double bInv = 0.0, e1 = 0.0, e2 = 0.0;
          for (int el = 0; el < kElements; ++el) {
            const double m = ElementMTTFd(sf, sub, ch, bl, el);
            const double dc = ElementDC(sf, sub, ch, bl, el);
            bInv += 1.0 / m;
            e1 += dc / m;
            e2 += 1.0 / m;
            GetMTTFdDenotation(m);  // the bands every computed value gets
            GetDCDenotation(dc);
          }
          const double bM = 1.0 / bInv, bDC = e1 / e2;
          GetMTTFdDenotation(bM);
          GetDCDenotation(bDC);
          sInv += 1.0 / bM;
          s1 += bDC / bM;
          s2 += 1.0 / bM;
        }
        chM[ch] = 1.0 / sInv;
        chDC[ch] = s1 / s2;
        GetMTTFdDenotation(chM[ch]);
      }
      const double dcavg = (chDC[0] / chM[0] + chDC[1] / chM[1]) / (1.0 / chM[0] + 1.0 / chM[1]);
      double m1 = chM[0], m2 = chM[1];
      if (cutBefore) m1 = std::min(m1, cap), m2 = std::min(m2, cap);
      double m = (2.0 / 3.0) * (m1 + m2 - 1.0 / (1.0 / m1 + 1.0 / m2));
      if (!cutBefore) m = std::min(m, cap);
      GetMTTFdDenotation(m);
      GetDCDenotation(dcavg);
      const double pfh = GetPFHInterpolated(kCats[sub], m, dcavg);
      PFHToPL(pfh);
      sfPFH += pfh;
    }
    total += sfPFH + static_cast<int>(PFHToPL(sfPFH));
  }
  return total;
}

}  // namespace

int main() {
  try {
    // A private settings store, so the run neither reads nor writes the user's settings.
    const std::string reg = std::filesystem::temp_directory_path() / ("kv_bench_eval_" + std::to_string(getpid()));
    std::filesystem::create_directories(reg);
    SetCurrentUserRegistry(std::make_unique<CachedRegistry>(std::make_unique<FileRegistry>(reg)));
    ResetConfig();

    CalcPool().SetMTTFdCalc([]() -> std::unique_ptr<TMTTFdCalc> { return std::make_unique<CountingMTTFd>(); });
    CalcPool().SetDCCalc([]() -> std::unique_ptr<TDCCalc> { return std::make_unique<CountingDC>(); });
    CalcPool().SetPLCalc([]() -> std::unique_ptr<TPLCalc> { return std::make_unique<CountingPL>(); });

    using clock = std::chrono::steady_clock;
    auto t0 = clock::now();
    auto project = BuildProject();
    const double tBuild = Seconds(clock::now() - t0);

    // 1. Cold: fresh tree caches and a fresh general-database object.
    auto recording = std::make_unique<RecordingDB>(NewDB());
    RecordingDB* rec = recording.get();
    SetPersistenceDB(std::move(recording));
    const int64_t q0 = rec->Real().QueryCount();
    gCounts.Clear();
    t0 = clock::now();
    const double r1 = EvaluateAll(*project);
    const double tColdDB = Seconds(clock::now() - t0);
    const int64_t queriesCold = rec->Real().QueryCount() - q0;
    const size_t distinct = rec->keys.size();
    const long lookups = rec->calls;
    const size_t coldNodes = gCounts.Nodes();
    const Counts cold = gCounts;
    const long coldCalls = gCounts.calls;

    // The same distinct questions, each asked once of a fresh object: the queries it takes.
    const int64_t queriesDistinct = QueriesForDistinct(rec->keys);

    // 2. Cold tree, warm general database.
    project->Changed();
    const int64_t qWarm0 = rec->Real().QueryCount();
    t0 = clock::now();
    const double r2 = EvaluateAll(*project);
    const double tColdTree = Seconds(clock::now() - t0);
    const int64_t q1 = rec->Real().QueryCount();

    // 3. The plain loop in the same run, on the same warm object.
    const bool cutBefore = GetOptMTTFdCutBeforeSymm();
    const bool fit = GetOptMTTFdCFitBeforeSymm();
    t0 = clock::now();
    const double r3 = PlainLoop(cutBefore, fit, MTTFdCap(cat3), MTTFdCap(cat4));
    const double tPlain = Seconds(clock::now() - t0);

    // 4. One element changes; re-evaluate.
    TSFOp& sf = *project->GetSFOpList()->Items(kSFs / 2);
    TElementOp& el = *sf.GetComponentOpList()->Items(1)->GetChannelOpList()->Items(0)->GetBlocOpList()->Items(2)
                          ->GetElementOpList()->Items(1);
    el.GetElement()->SetMTTFd(el.GetElement()->GetMTTFd() * 0.5);
    gCounts.Clear();
    const int64_t q2 = rec->Real().QueryCount();
    t0 = clock::now();
    const double r4 = EvaluateAll(*project);
    const double tChange = Seconds(clock::now() - t0);
    const Counts changed = gCounts;
    const int64_t queriesChange = rec->Real().QueryCount() - q2;

    std::printf("Project: %d safety functions x %d subsystems x %d channels x %d blocks x %d elements = %d elements"
                " (built in %.3f s)\n",
                kSFs, kSubsystems, kChannels, kBlocs, kElements, kSFs * kSubsystems * kChannels * kBlocs * kElements,
                tBuild);
    std::printf("Cold evaluation, fresh general-database object: %.4f s (%ld calculator calls over %zu nodes)\n",
                tColdDB, coldCalls, coldNodes);
    std::printf("  (computed: %zu elements, %zu blocks, %zu channels, %zu subsystems, %zu safety functions)\n",
                cold.elements.size(), cold.blocs.size(), cold.channels.size(), cold.subsystems.size(), cold.sfs.size());
    std::printf("Cold evaluation, warm general-database object:  %.4f s\n", tColdTree);
    std::printf("Plain loop, same formulas and look-ups:         %.4f s  -> model / plain = %.2fx (target <= 10x)\n",
                tPlain, tColdTree / tPlain);
    std::printf("General database: %ld look-ups, %zu distinct arguments; %lld queries sent when cold, %lld for the "
                "distinct arguments asked once each; %lld queries on the warm re-evaluation\n",
                lookups, distinct, static_cast<long long>(queriesCold), static_cast<long long>(queriesDistinct),
                static_cast<long long>(q1 - qWarm0));
    {
      static const char* names[] = {"", "CatConditions", "PLConditions", "CatRequirements", "ChannelCount",
                                    "DCDenotation", "MinServiceLife", "MTTFdDenotation", "PFH", "PFHInterpolated",
                                    "PLMeanPFH", "PLFromPFH", "PLrFromRiskParams", "ReqCCFScore", "SFTypes"};
      std::map<int, int> perOp;
      for (const auto& k : rec->keys) ++perOp[std::get<0>(k)];
      std::printf("  distinct arguments per look-up:");
      for (const auto& [op, n] : perOp) std::printf(" %s %d", names[op], n);
      std::printf("\n");
    }
    std::printf("After one element changed: %.6f s, %lld queries; nodes computed again: %zu elements, %zu blocks, "
                "%zu channels, %zu subsystems, %zu safety functions (%ld calculator calls); path to the root: "
                "1 element, 1 block, 1 channel, 1 subsystem, 1 safety function\n",
                tChange, static_cast<long long>(queriesChange), changed.elements.size(), changed.blocs.size(),
                changed.channels.size(), changed.subsystems.size(), changed.sfs.size(), changed.calls);
    {
      // What one read of an option costs: the calculators read the options on every computation.
      t0 = clock::now();
      int on = 0;
      for (int i = 0; i < 10000; ++i) on += GetOptMTTFdCutBeforeSymm() ? 1 : 0;
      std::printf("One option read: %.2f us (%d)\n", Seconds(clock::now() - t0) * 100.0, on);
    }
    std::printf("(checksums %g %g %g %g)\n", r1, r2, r3, r4);

    project.reset();

    // 5. The uniform project: every safety function alike, few distinct questions.
    {
      gUniform = true;
      auto uniform = BuildProject();
      auto recU = std::make_unique<RecordingDB>(NewDB());
      RecordingDB* ru = recU.get();
      SetPersistenceDB(std::move(recU));
      const int64_t u0 = ru->Real().QueryCount();
      t0 = clock::now();
      const double ru1 = EvaluateAll(*uniform);
      const double tU = Seconds(clock::now() - t0);
      const int64_t uq = ru->Real().QueryCount() - u0;
      uniform->Changed();
      const int64_t uw0 = ru->Real().QueryCount();
      EvaluateAll(*uniform);
      std::printf("Uniform project (all safety functions alike): cold %.4f s, %zu distinct arguments, %lld queries "
                  "sent, %lld for the distinct arguments asked once each, %lld on the warm re-evaluation (%g)\n",
                  tU, ru->keys.size(), static_cast<long long>(uq), static_cast<long long>(QueriesForDistinct(ru->keys)),
                  static_cast<long long>(ru->Real().QueryCount() - uw0), ru1);
    }
    CalcPoolShutdown();
    PersistenceDBShutdown();
    SetCurrentUserRegistry(nullptr);
    std::filesystem::remove_all(reg);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_evaluate: %s\n", e.what());
    return 1;
  }
}
