// Item libraries: 10,000 elements with their nodes, written to a new library file in one transaction and read
// back. This program holds the yardstick: the same rows inserted with plain prepared statements through the
// Firebird access layer, and read back with one plain select. A library write through the library mapper
// (one visitor group) belongs beside it with the same rows and the same counter ("items_per_second", one item
// per element with its node), so that the two rates compare directly; the target is that the library write
// reaches 30 % of the plain insert rate and the library read 30 % of the plain select rate.
// Beside them, what a writer pays to open a library of 10,000 elements: a clean one, and one whose last writer
// was killed in the middle of a write (which Firebird's validation checks and tidies first).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ibase.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "framework/tiFirebird.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "model/BOM.h"
#include "storage/db/LibSchema.h"
#include "storage/db/VisitorsDB.h"

using namespace kelvado;
namespace fs = std::filesystem;

namespace {

constexpr int kElements = 10000;

// A folder of its own for the run's library files.
fs::path Folder() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("kv_bench_library_" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

// The identifiers of element k and of its node (GUID texts, as the program writes them).
std::string Oid(int k, char kind) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08d-0000-4000-8000-%c00000000000", k, kind);
  return buf;
}

const char* const kInsertElement =
    "INSERT INTO Elements (KVDVersion, NormVersion, IsProtected, B10d, DC, DCDet, DCDocumentation, DCMeasureOp, "
    "Description, Document, Documentation, Manufacturer, MissionTime, MTTFd, Name, OID, PartNo, Technology, UseB10d) "
    "VALUES (:KVDVersion, :NormVersion, :IsProtected, :B10d, :DC, :DCDet, :DCDocumentation, :DCMeasureOp, "
    ":Description, :Document, :Documentation, :Manufacturer, :MissionTime, :MTTFd, :Name, :OID, :PartNo, "
    ":Technology, :UseB10d)";
const char* const kInsertElementOp =
    "INSERT INTO ElementOps (KVDVersion, NormVersion, IsProtected, BlocOp, Element, ElmOrder, Nop, OID) "
    "VALUES (:KVDVersion, :NormVersion, :IsProtected, :BlocOp, :Element, :ElmOrder, :Nop, :OID)";

// The rows of element k and its node, as the library writer would bind them.
void BindElement(TtiFBStatement& e, TtiFBStatement& op, int k) {
  e.SetParamString("KVDVersion", "1.1.2");
  e.SetParamString("NormVersion", "ISO 13849-1:2006, ISO 13849-2:2003");
  e.SetParamInteger("IsProtected", 0);
  e.SetParamDouble("B10d", 2000000.0 + k);
  e.SetParamDouble("DC", 0.9);
  e.SetParamString("DCDet", "detDirect");
  e.SetParamString("DCDocumentation", "Monitored by the safety relay, plausibility check each cycle");
  e.SetParamNull("DCMeasureOp");
  e.SetParamString("Description", "Position switch with positive opening, element " + std::to_string(k));
  e.SetParamString("Document", "/data/sheets/switch-" + std::to_string(k) + ".pdf");
  e.SetParamString("Documentation", "Manufacturer's data sheet, edition 2019");
  e.SetParamString("Manufacturer", "Wendraht & Söhne GmbH");
  e.SetParamDouble("MissionTime", 20.0);
  e.SetParamDouble("MTTFd", 150.0 + k % 50);
  e.SetParamString("Name", "Element " + std::to_string(k));
  e.SetParamString("OID", Oid(k, 'e'));
  e.SetParamString("PartNo", "PS-" + std::to_string(100000 + k));
  e.SetParamString("Technology", "tecElectromechanic");
  e.SetParamInteger("UseB10d", 1);
  op.SetParamString("KVDVersion", "1.1.2");
  op.SetParamString("NormVersion", "ISO 13849-1:2006, ISO 13849-2:2003");
  op.SetParamInteger("IsProtected", 0);
  op.SetParamNull("BlocOp");
  op.SetParamString("Element", Oid(k, 'e'));
  op.SetParamDouble("ElmOrder", k);
  op.SetParamDouble("Nop", 8760.0);
  op.SetParamString("OID", Oid(k, 'n'));
}

// A new, empty library file.
std::string NewLibrary(const std::string& name) {
  const std::string file = (Folder() / name).string();
  std::error_code ec;
  fs::remove(file, ec);
  CreateLibraryDatabaseFile(file, "SYSDBA", "");
  return file;
}

// The rows of `count` elements and their nodes, in one transaction.
void InsertPlain(TtiFBDatabase& db, int count) {
  TtiFBTransaction tr(db);
  tr.Start();
  TtiFBStatement e(db, tr), op(db, tr);
  e.SetSQL(kInsertElement);
  op.SetSQL(kInsertElementOp);
  for (int k = 0; k < count; ++k) {
    BindElement(e, op, k);
    e.Execute();
    op.Execute();
  }
  tr.Commit();
}

void BM_PlainInsert10000Elements(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const std::string file = NewLibrary("insert.klb");
    {
      TtiFBDatabase db(file);
      db.Connect();
      state.ResumeTiming();
      InsertPlain(db, kElements);
      state.PauseTiming();
    }
    fs::remove(file);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
}
BENCHMARK(BM_PlainInsert10000Elements)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_PlainSelect10000Elements(benchmark::State& state) {
  const std::string file = NewLibrary("select.klb");
  {
    TtiFBDatabase db(file);
    db.Connect();
    InsertPlain(db, kElements);
  }
  TtiFBDatabase db(file);
  db.SetReadOnlyAccess(true);
  db.Connect();
  for (auto _ : state) {
    TtiFBTransaction tr(db);
    tr.Start(true);
    TtiFBStatement q(db, tr);
    // Every column of the node and of its element, as a reader maps them to objects.
    q.SetSQL("SELECT o.OID AS Op_OID, o.KVDVersion AS Op_KVDVersion, o.NormVersion AS Op_NormVersion, "
             "o.IsProtected AS Op_IsProtected, o.BlocOp, o.ElmOrder, o.Nop, e.* "
             "FROM ElementOps o JOIN Elements e ON e.OID = o.Element ORDER BY o.ElmOrder");
    q.Open();
    int rows = 0;
    for (; !q.Eof(); q.Next(), ++rows) {
      for (int c = 0; c < q.FieldCount(); ++c) {
        const unsigned type = q.Column(c).SQLType & ~1u;
        if (type == SQL_DOUBLE)
          benchmark::DoNotOptimize(q.FieldAsFloat(c));
        else if (type == SQL_SHORT)
          benchmark::DoNotOptimize(q.FieldAsInteger(c));
        else
          benchmark::DoNotOptimize(q.FieldAsString(c));
      }
    }
    q.Close();
    tr.Commit();
    if (rows != kElements) state.SkipWithError("the library does not hold the rows written");
  }
  state.SetItemsProcessed(state.iterations() * kElements);
  db.Disconnect();
  fs::remove(file);
}
BENCHMARK(BM_PlainSelect10000Elements)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// The same elements and nodes as business objects, new (posCreate), with the values the plain insert binds.
std::unique_ptr<TElementOpList> NewElements(int count) {
  auto list = std::make_unique<TElementOpList>();
  for (int k = 0; k < count; ++k) {
    auto e = TtiObject::CreateNew<TElement>();
    e->SetB10d(2000000.0 + k);
    e->SetDC(0.9);
    e->SetDCDocumentation("Monitored by the safety relay, plausibility check each cycle");
    e->SetDescription("Position switch with positive opening, element " + std::to_string(k));
    e->SetDocument("/data/sheets/switch-" + std::to_string(k) + ".pdf");
    e->SetDocumentation("Manufacturer's data sheet, edition 2019");
    e->SetManufacturer("Wendraht & Söhne GmbH");
    e->SetMissionTime(20.0);
    e->SetMTTFd(150.0 + k % 50);
    e->SetName("Element " + std::to_string(k));
    e->SetPartNo("PS-" + std::to_string(100000 + k));
    e->SetTechnology(tecElectromechanic);
    e->SetUseB10d(true);
    auto op = TtiObject::CreateNew<TElementOp>();
    op->SetElement(std::move(e));
    op->SetNop(8760.0);
    list->Add(std::move(op));
  }
  return list;
}

// The library store on a fresh persistence manager: the layer, the visitors, the file connected.
void ConnectLibrary(const std::string& file) {
  tiPerMgrShutdown();
  RegisterPersistenceLayerIBX();
  RegisterVisitorsDB();
  tiPerMgr().ConnectDatabase(file, "SYSDBA", "", {}, cTIPersistIBX);
}

// One group of the library visitors writes the 10,000 elements with their nodes.
void BM_LibraryWrite10000Elements(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    const std::string file = NewLibrary("write.klb");
    ConnectLibrary(file);
    std::unique_ptr<TElementOpList> list = NewElements(kElements);
    state.ResumeTiming();
    tiPerMgr().Save(list.get(), file, cTIPersistIBX);
    state.PauseTiming();
    tiPerMgrShutdown();
    list.reset();
    fs::remove(file);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
}
BENCHMARK(BM_LibraryWrite10000Elements)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// One group of the library visitors reads the 10,000 elements with their nodes into objects.
void BM_LibraryRead10000Elements(benchmark::State& state) {
  const std::string file = NewLibrary("read.klb");
  ConnectLibrary(file);
  tiPerMgr().Save(NewElements(kElements).get(), file, cTIPersistIBX);
  for (auto _ : state) {
    TElementOpList list;
    tiPerMgr().Read(&list, file, cTIPersistIBX);
    if (list.GetCount() != kElements || !list.Items(kElements - 1)->GetElement())
      state.SkipWithError("the library does not hold the elements written");
    state.PauseTiming();
    list.Clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kElements);
  tiPerMgrShutdown();
  fs::remove(file);
}
BENCHMARK(BM_LibraryRead10000Elements)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

// The writer that gets killed: `bench_library --interrupted-writer FILE` inserts 3,000 more elements with their
// nodes in one transaction, prints "mid" after 1,000 of them and goes on, and waits before it would commit.
constexpr const char* kInterruptedWriter = "--interrupted-writer";

int RunInterruptedWriter(const std::string& file) {
  TtiFBDatabase db(file);
  db.Connect();
  TtiFBTransaction tr(db);
  tr.Start();
  TtiFBStatement e(db, tr), op(db, tr);
  e.SetSQL(kInsertElement);
  op.SetSQL(kInsertElementOp);
  for (int k = kElements; k < kElements + 3000; ++k) {
    BindElement(e, op, k);
    e.Execute();
    op.Execute();
    if (k == kElements + 1000) std::cout << "mid" << std::endl;
  }
  for (;;) ::pause();
}

// Starts the writer on `file` and kills it (SIGKILL) as soon as it says it is in the middle. False when that
// failed.
bool KillAWriterOf(const std::string& file) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  std::string self = "/proc/self/exe", flag = kInterruptedWriter, name = file;
  char* argv[] = {self.data(), flag.data(), name.data(), nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  pid_t pid = -1;
  const bool started = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ) == 0;
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  std::string said;
  char c;
  while (started && said.find("mid\n") == std::string::npos && ::read(out[0], &c, 1) == 1) said += c;
  ::close(out[0]);
  if (!started) return false;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return said.find("mid\n") != std::string::npos;
}

// A writer opens a library of 10,000 elements: `interrupted` after its last writer was killed in the middle of a
// write (validation first), else a clean one.
void OpenForWriting(benchmark::State& state, bool interrupted) {
  const std::string master = NewLibrary(interrupted ? "interrupted-master.klb" : "clean-master.klb");
  {
    TtiFBDatabase db(master);
    db.Connect();
    InsertPlain(db, kElements);
  }
  const std::string file = (Folder() / (interrupted ? "interrupted.klb" : "clean.klb")).string();
  const int64_t repairs = tiFBInterruptedWriteRepairs();
  for (auto _ : state) {
    state.PauseTiming();
    fs::copy_file(master, file, fs::copy_options::overwrite_existing);
    if (interrupted && !KillAWriterOf(file)) state.SkipWithError("the writer to be killed did not start");
    TtiFBDatabase db(file);
    state.ResumeTiming();
    db.Connect();
    state.PauseTiming();
    db.Disconnect();
    state.ResumeTiming();
  }
  state.counters["validations"] = static_cast<double>(tiFBInterruptedWriteRepairs() - repairs);
  fs::remove(file);
  fs::remove(master);
}

void BM_OpenClean10000Elements(benchmark::State& state) { OpenForWriting(state, false); }
BENCHMARK(BM_OpenClean10000Elements)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_OpenAfterInterruptedWrite10000Elements(benchmark::State& state) { OpenForWriting(state, true); }
BENCHMARK(BM_OpenAfterInterruptedWrite10000Elements)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == kInterruptedWriter) return RunInterruptedWriter(argv[2]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(Folder(), ec);
  return 0;
}
