// Look-ups of the standard's tables: answered from the caches (what every status check and calculator does on
// every change) and the first, uncached answer (a round trip to the general database file).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>

#include "model/GlobalsConfig.h"
#include "platform/CachedRegistry.h"
#include "platform/Registry.h"
#include "storage/db/PersistenceDB.h"

using namespace kelvado;
namespace fs = std::filesystem;

namespace {

// A private settings store and the object on the general database beside the program.
struct Env {
  Env() {
    dir = fs::temp_directory_path() / ("kv_bench_pdb_" + std::to_string(getpid()));
    fs::create_directories(dir / "reg");
    // As the program does: the settings read once are kept in memory.
    SetCurrentUserRegistry(std::make_unique<CachedRegistry>(std::make_unique<FileRegistry>((dir / "reg").string())));
    db = std::make_unique<TPersistenceDB_FB>(
        (fs::read_symlink("/proc/self/exe").parent_path() / "db" / "KELVADO_GEN_DE.FDB").string());
    db->Connect();
  }
  ~Env() {
    db.reset();
    SetCurrentUserRegistry(nullptr);
    fs::remove_all(dir);
  }
  fs::path dir;
  std::unique_ptr<TPersistenceDB_FB> db;
};

Env& E() {
  static Env env;
  return env;
}

void BM_CachedPFHInterpolated(benchmark::State& state) {
  TPersistenceDB_FB& db = *E().db;
  db.GetPFHInterpolated(cat3, 12.5, 0.75);
  for (auto _ : state) benchmark::DoNotOptimize(db.GetPFHInterpolated(cat3, 12.5, 0.75));
  state.counters["queries"] = static_cast<double>(db.QueryCount());
}
BENCHMARK(BM_CachedPFHInterpolated)->Iterations(1000000);

// What the cached interpolated PFH pays for reading the option usedcinterlevels from the settings store.
void BM_ReadOptionUseDCInterLevels(benchmark::State& state) {
  E();
  for (auto _ : state) benchmark::DoNotOptimize(GetOptUseDCInterLevels());
}
BENCHMARK(BM_ReadOptionUseDCInterLevels)->Iterations(100000);

void BM_CachedBandsAndPL(benchmark::State& state) {
  TPersistenceDB_FB& db = *E().db;
  db.GetDCDenotation(0.75);
  db.GetMTTFdDenotation(42.0);
  db.GetPLFromPFH(2e-6);
  db.GetPLrFromRiskParams(1, 0, 1);
  const int64_t before = db.QueryCount();
  // One iteration is one look-up, the four kinds in turn.
  int i = 0;
  for (auto _ : state) {
    switch (i++ & 3) {
      case 0: benchmark::DoNotOptimize(db.GetDCDenotation(0.75)); break;
      case 1: benchmark::DoNotOptimize(db.GetMTTFdDenotation(42.0)); break;
      case 2: benchmark::DoNotOptimize(db.GetPLFromPFH(2e-6)); break;
      default: benchmark::DoNotOptimize(db.GetPLrFromRiskParams(1, 0, 1)); break;
    }
  }
  state.counters["queries"] = static_cast<double>(db.QueryCount() - before);
}
BENCHMARK(BM_CachedBandsAndPL)->Iterations(1000000);

void BM_CachedCategoryRequirements(benchmark::State& state) {
  TPersistenceDB_FB& db = *E().db;
  TMTTFdDenotationSet m;
  TDCDenotationSet d;
  bool ccf = false;
  for (auto _ : state) {
    db.GetCatRequirements(cat3, m, d, ccf);
    benchmark::DoNotOptimize(m);
  }
}
BENCHMARK(BM_CachedCategoryRequirements)->Iterations(1000000);

// The first answer to a new question: a new PFH each time (one query).
void BM_FirstPLFromPFH(benchmark::State& state) {
  TPersistenceDB_FB& db = *E().db;
  double pfh = 2e-6;
  for (auto _ : state) {
    pfh += 1e-13;
    benchmark::DoNotOptimize(db.GetPLFromPFH(pfh));
  }
}
BENCHMARK(BM_FirstPLFromPFH)->Unit(benchmark::kMicrosecond);

// The first interpolated PFH for a new MTTFd (eight queries: four neighbours, four corners).
void BM_FirstPFHInterpolated(benchmark::State& state) {
  TPersistenceDB_FB& db = *E().db;
  double mttfd = 12.0;
  db.GetDCDenotation(0.75);
  for (auto _ : state) {
    mttfd += 1e-6;
    benchmark::DoNotOptimize(db.GetPFHInterpolated(cat3, mttfd, 0.75));
  }
}
BENCHMARK(BM_FirstPFHInterpolated)->Unit(benchmark::kMicrosecond);

// A new object's first question: connect, then the interpolated PFH with its DC band (nine queries).
void BM_ConnectAndFirstLookup(benchmark::State& state) {
  E();
  const std::string file = (fs::read_symlink("/proc/self/exe").parent_path() / "db" / "KELVADO_GEN_DE.FDB").string();
  for (auto _ : state) {
    TPersistenceDB_FB db(file);
    db.Connect();
    benchmark::DoNotOptimize(db.GetPFHInterpolated(cat3, 12.5, 0.75));
  }
}
BENCHMARK(BM_ConnectAndFirstLookup)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
