// Item libraries: elements with their nodes (1,000, 10,000 and 100,000), written to a new library file in one
// transaction, and 10,000 read back. Each library write is measured beside its yardstick in the same iteration:
// the same rows with the same kind of keys (random GUID texts, as the program makes them) inserted straight
// through the Firebird API with two prepared statements into a new file, and each library read beside the same
// rows fetched straight through the Firebird API with one plain select (no sort). The counter "vs_plain" is the
// library's rate as a fraction of the plain one (targets: a library write at least 50 % of the plain insert
// rate at every size, and its time per element at 100,000 at most 1.5x that at 1,000; the summary at the end
// prints both).
// Beside them, what a writer pays to open a library of 10,000 elements: a clean one, and one whose last writer
// was killed in the middle of a write (which Firebird's validation checks and tidies first).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <ibase.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <firebird/Interface.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/tiFirebird.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "framework/tiUtils.h"
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

// The rows of `count` elements and their nodes, in one transaction (the libraries the open benchmarks start from).
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

// ---- The yardstick: the Firebird API itself ----

// Random GUID texts as the program's identifiers are made, without braces.
std::vector<std::string> NewKeys(int count) {
  std::vector<std::string> keys;
  keys.reserve(static_cast<size_t>(count));
  for (int k = 0; k < count; ++k) {
    std::string g = tiCreateGUIDString();
    if (g.size() >= 38 && g[0] == '{') g = g.substr(1, 36);
    keys.push_back(std::move(g));
  }
  return keys;
}

// UTF-8 of the Latin-1 range to the single bytes a WIN1252 attachment takes (all the texts here need).
std::string Latin1(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0xC0 && i + 1 < utf8.size()) {
      out += static_cast<char>(((c & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A plain client of the engine: one attachment, one transaction, prepared statements and message buffers.
class RawFB {
public:
  explicit RawFB(const std::string& file)
      : master_(Firebird::fb_get_master_interface()), st_(master_->getStatus()) {
    Firebird::IXpbBuilder* dpb = master_->getUtilInterface()->getXpbBuilder(&st_, Firebird::IXpbBuilder::DPB, nullptr, 0);
    dpb->insertString(&st_, isc_dpb_user_name, "SYSDBA");
    dpb->insertString(&st_, isc_dpb_lc_ctype, "WIN1252");
    dpb->insertString(&st_, isc_dpb_config, "Providers=Engine12");
    dpb->insertInt(&st_, isc_dpb_num_buffers, 8192);  // the page cache the program's writers have
    Firebird::IProvider* prov = master_->getDispatcher();
    att_ = prov->attachDatabase(&st_, file.c_str(), dpb->getBufferLength(&st_), dpb->getBuffer(&st_));
    prov->release();
    dpb->dispose();
    tra_ = att_->startTransaction(&st_, 0, nullptr);
  }
  ~RawFB() {
    try {
      if (tra_) tra_->rollback(&st_);
      if (att_) att_->detach(&st_);
    } catch (...) {
    }
    st_.dispose();
  }
  void Commit() {
    tra_->commit(&st_);
    tra_ = nullptr;
  }

  // A statement with its input message; Set* write a parameter (0-based) by its type.
  class Stmt {
  public:
    Stmt(RawFB& fb, const char* sql) : fb_(fb) {
      s_ = fb.att_->prepare(&fb.st_, fb.tra_, 0, sql, 3, Firebird::IStatement::PREPARE_PREFETCH_METADATA);
      in_ = s_->getInputMetadata(&fb.st_);
      buf_.resize(in_->getMessageLength(&fb.st_));
    }
    ~Stmt() {
      in_->release();
      s_->free(&fb_.st_);
    }
    void Null(unsigned i) { *Flag(i) = -1; }
    void Set(unsigned i, double v) {
      *Flag(i) = 0;
      unsigned char* p = Data(i);
      switch (in_->getType(&fb_.st_, i) & ~1u) {
        case SQL_SHORT: { const auto x = static_cast<int16_t>(v); std::memcpy(p, &x, 2); break; }
        case SQL_LONG: { const auto x = static_cast<int32_t>(v); std::memcpy(p, &x, 4); break; }
        case SQL_INT64: { const auto x = static_cast<int64_t>(v); std::memcpy(p, &x, 8); break; }
        default: std::memcpy(p, &v, 8);
      }
    }
    void Set(unsigned i, const std::string& text) {
      *Flag(i) = 0;
      const auto n = static_cast<uint16_t>(text.size());
      std::memcpy(Data(i), &n, 2);
      std::memcpy(Data(i) + 2, text.data(), n);
    }
    void Execute() { s_->execute(&fb_.st_, fb_.tra_, in_, buf_.data(), nullptr, nullptr); }

  private:
    int16_t* Flag(unsigned i) {
      return reinterpret_cast<int16_t*>(buf_.data() + in_->getNullOffset(&fb_.st_, i));
    }
    unsigned char* Data(unsigned i) { return buf_.data() + in_->getOffset(&fb_.st_, i); }
    RawFB& fb_;
    Firebird::IStatement* s_;
    Firebird::IMessageMetadata* in_;
    std::vector<unsigned char> buf_;
  };

  // Fetches every row of `sql` and touches every column; returns the rows.
  int SelectAll(const char* sql) {
    Firebird::IStatement* s = att_->prepare(&st_, tra_, 0, sql, 3, Firebird::IStatement::PREPARE_PREFETCH_METADATA);
    Firebird::IMessageMetadata* out = s->getOutputMetadata(&st_);
    std::vector<unsigned char> buf(out->getMessageLength(&st_));
    const unsigned n = out->getCount(&st_);
    Firebird::IResultSet* rs = s->openCursor(&st_, tra_, nullptr, nullptr, out, 0);
    int rows = 0;
    while (rs->fetchNext(&st_, buf.data()) == Firebird::IStatus::RESULT_OK) {
      ++rows;
      for (unsigned c = 0; c < n; ++c) {
        if (*reinterpret_cast<int16_t*>(buf.data() + out->getNullOffset(&st_, c))) continue;
        const unsigned char* p = buf.data() + out->getOffset(&st_, c);
        if ((out->getType(&st_, c) & ~1u) == SQL_VARYING) {
          uint16_t len;
          std::memcpy(&len, p, 2);
          benchmark::DoNotOptimize(std::string(reinterpret_cast<const char*>(p) + 2, len));
        } else {
          double v;
          std::memcpy(&v, p, sizeof v);
          benchmark::DoNotOptimize(v);
        }
      }
    }
    rs->close(&st_);
    out->release();
    s->free(&st_);
    return rows;
  }

private:
  Firebird::IMaster* master_;
  Firebird::ThrowStatusWrapper st_;
  Firebird::IAttachment* att_ = nullptr;
  Firebird::ITransaction* tra_ = nullptr;
};

const char* const kRawElement =
    "INSERT INTO Elements (KVDVersion, NormVersion, IsProtected, B10d, DC, DCDet, DCDocumentation, DCMeasureOp, "
    "Description, Document, Documentation, Manufacturer, MissionTime, MTTFd, Name, OID, PartNo, Technology, UseB10d) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
const char* const kRawElementOp =
    "INSERT INTO ElementOps (KVDVersion, NormVersion, IsProtected, BlocOp, Element, ElmOrder, Nop, OID) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?)";

// The rows of `count` elements and their nodes (element k has key k, its node key count + k), in one
// transaction, straight through the API. Returns the seconds it took once attached (the library's store is
// attached before its write is timed, too).
double InsertRaw(const std::string& file, const std::vector<std::string>& keys, int count) {
  RawFB fb(file);
  const auto t0 = std::chrono::steady_clock::now();
  {
    RawFB::Stmt e(fb, kRawElement), op(fb, kRawElementOp);
    const std::string kvd = "1.1.2", norm = "ISO 13849-1:2006, ISO 13849-2:2003";
    const std::string manufacturer = Latin1("Schütz & Söhne GmbH");
    for (int k = 0; k < count; ++k) {
      const std::string& oid = keys[static_cast<size_t>(k)];
      const std::string& opOid = keys[static_cast<size_t>(count + k)];
      e.Set(0, kvd), e.Set(1, norm), e.Set(2, 0.0), e.Set(3, 2000000.0 + k), e.Set(4, 0.9), e.Set(5, "detDirect");
      e.Set(6, "Monitored by the safety relay, plausibility check each cycle"), e.Null(7);
      e.Set(8, "Position switch with positive opening, element " + std::to_string(k));
      e.Set(9, "/data/sheets/switch-" + std::to_string(k) + ".pdf");
      e.Set(10, "Manufacturer's data sheet, edition 2019"), e.Set(11, manufacturer), e.Set(12, 20.0);
      e.Set(13, 150.0 + k % 50), e.Set(14, "Element " + std::to_string(k)), e.Set(15, oid);
      e.Set(16, "PS-" + std::to_string(100000 + k)), e.Set(17, "tecElectromechanic"), e.Set(18, 1.0);
      e.Execute();
      op.Set(0, kvd), op.Set(1, norm), op.Set(2, 0.0), op.Null(3), op.Set(4, oid), op.Set(5, k), op.Set(6, 8760.0);
      op.Set(7, opOid);
      op.Execute();
    }
  }
  fb.Commit();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

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

// Seconds per element of the library write at each size, for the summary.
std::map<int, double> gWritePerElement;

// One group of the library visitors writes the elements with their nodes; beside it in the same iteration, the
// same rows straight through the API into a new file. The time reported is the library's.
void BM_LibraryWrite(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  double library = 0.0, plain = 0.0;
  for (auto _ : state) {
    const std::string file = NewLibrary("write.klb");
    ConnectLibrary(file);
    std::unique_ptr<TElementOpList> list = NewElements(n);
    auto t0 = std::chrono::steady_clock::now();
    tiPerMgr().Save(list.get(), file, cTIPersistIBX);
    const double t = Since(t0);
    state.SetIterationTime(t);
    library += t;
    tiPerMgrShutdown();
    list.reset();
    fs::remove(file);

    const std::string raw = NewLibrary("raw.klb");
    const std::vector<std::string> keys = NewKeys(2 * n);
    plain += InsertRaw(raw, keys, n);
    fs::remove(raw);
  }
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["us_per_element"] = library / static_cast<double>(state.iterations()) / n * 1e6;
  state.counters["plain_us_per_element"] = plain / static_cast<double>(state.iterations()) / n * 1e6;
  state.counters["vs_plain"] = plain / library;
  gWritePerElement[n] = library / static_cast<double>(state.iterations()) / n;
}
BENCHMARK(BM_LibraryWrite)->Arg(1000)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryWrite)->Arg(10000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibraryWrite)->Arg(100000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// One group of the library visitors reads the 10,000 elements with their nodes into objects; beside it the same
// rows (every column of the node and of its element) fetched straight through the API, without a sort.
void BM_LibraryRead10000Elements(benchmark::State& state) {
  const std::string file = NewLibrary("read.klb");
  ConnectLibrary(file);
  tiPerMgr().Save(NewElements(kElements).get(), file, cTIPersistIBX);
  double library = 0.0, plain = 0.0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    {
      TElementOpList list;
      tiPerMgr().Read(&list, file, cTIPersistIBX);
      if (list.GetCount() != kElements || !list.Items(kElements - 1)->GetElement())
        state.SkipWithError("the library does not hold the elements written");
    }
    const double t = Since(t0);
    state.SetIterationTime(t);
    library += t;
    t0 = std::chrono::steady_clock::now();
    {
      RawFB fb(file);
      const int rows =
          fb.SelectAll("SELECT o.OID, o.KVDVersion, o.NormVersion, o.IsProtected, o.BlocOp, o.ElmOrder, o.Nop, e.* "
                       "FROM ElementOps o JOIN Elements e ON e.OID = o.Element");
      fb.Commit();
      if (rows != kElements) state.SkipWithError("the plain select does not see the rows written");
    }
    plain += Since(t0);
  }
  state.SetItemsProcessed(state.iterations() * kElements);
  state.counters["vs_plain"] = plain / library;
  tiPerMgrShutdown();
  fs::remove(file);
}
BENCHMARK(BM_LibraryRead10000Elements)->Unit(benchmark::kMillisecond)->Iterations(5)->UseManualTime();

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
  if (gWritePerElement.count(1000) && gWritePerElement.count(100000))
    std::printf("Library write, time per element at 100,000 against 1,000 elements: %.2fx (target <= 1.5x)\n",
                gWritePerElement[100000] / gWritePerElement[1000]);
  std::error_code ec;
  fs::remove_all(Folder(), ec);
  return 0;
}
