// Project files through the project manager, at three sizes: the evaluation benchmark's project (1,000 safety
// functions, 90,000 elements) and two of the same build with 11 and 111 safety functions (990 and 9,990
// elements). Measured in the same run:
// - Save: SaveProject of the project over its file (the columns computed for readers included, the file written
//   atomically and flushed to disk).
// - Open: OpenProjectFile (schema check, the checks of the content, reading, the tree built), the project then
//   closed again (not timed).
// - PlainParseValidate: libxml2 alone reads the same file into a document and validates it against kvd.xsd.
// - PlainSerialise: libxml2 alone writes a document of the same size (the file read back) to a new file and
//   flushes it to disk, as a save must (the file removed again, not timed).
// The summary at the end states each budget and whether it is met: open at most 3x the plain parse and
// validate, save at most 3x the plain serialisation, each time the median of three repetitions, and the memory
// an open project holds at most 3x its file (resident memory after the open against before, in a process of its
// own that does nothing else), and the estimate that opening makes before it builds anything honest: at least
// the memory the open takes at its highest point (resident or address space, whichever grew more) and at most
// 1.25 times it. For information: the time per element at 90,000 elements against 990.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxml/xmlschemas.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchProject.h"
#include "framework/tiLibXml.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryXML.h"
#include "model/GlobalsConfig.h"
#include "model/VisitorsCalc.h"
#include "platform/CachedRegistry.h"
#include "platform/Registry.h"
#include "storage/db/PersistenceDB.h"
#include "storage/xml/PersistenceXML.h"

using namespace kelvado;

namespace {

struct TSize {
  int SFs;
  int Elements;
  std::string File;
  std::unique_ptr<TProjectOp> Project;
  int64_t FileBytes = 0;
  double PeakOpen = 0;    // resident or address-space bytes more than before, at the highest point while opening
  double AfterOpen = 0;   // resident bytes more than before, once open
  double Estimate = 0;    // what opening estimated it would take (ProjectFileOpenEstimate)
};

std::vector<TSize> gSizes;
std::string gFolder;
std::string gSchema;
std::unique_ptr<TXMLMapper_tiPer> gMapper;
std::unique_ptr<TProjectManager> gManager;

std::string ExeFolder() { return std::filesystem::read_symlink("/proc/self/exe").parent_path().string(); }

// Resident set size now and its highest point, in bytes.
int64_t StatusKB(const char* key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::stoll(line.substr(std::string(key).size())) * 1024;
  return 0;
}

// In a process of its own (this program started again with --open-memory FILE WARMUP), so that nothing built
// before hides in memory the open reuses: the resident bytes and the address space before, at the highest
// point while opening and once open (what the process holds, also what its allocator keeps of what was freed).
// The small project is opened first, so that what any first open costs once (the program's code read in, the
// language texts, the schema) is not counted as the project's.
void MeasureOpenMemory(TSize& s) {
  const std::string command = "'" + ExeFolder() + "/bench_projectfile' --open-memory '" + s.File + "' '" + gFolder +
                              "/small.kvd'";
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) throw std::runtime_error("can not start " + command);
  long long before = 0, peak = 0, after = 0, vmBefore = 0, vmPeak = 0;
  const int n = std::fscanf(p, "%lld %lld %lld %lld %lld", &before, &peak, &after, &vmBefore, &vmPeak);
  if (::pclose(p) != 0 || n != 5) throw std::runtime_error("measuring the memory of opening failed");
  s.PeakOpen = static_cast<double>(std::max(peak - before, vmPeak - vmBefore));
  s.AfterOpen = static_cast<double>(after - before);
  TtiXMLCensus census;
  struct TCounted {};
  try {
    tiXMLReadCheckedFile(s.File, nullptr, [&](const TtiXMLCensus& c) {
      census = c;
      throw TCounted{};
    });
  } catch (const TCounted&) {
  }
  s.Estimate = static_cast<double>(ProjectFileOpenEstimate(census));
}

// The child of MeasureOpenMemory.
int OpenMemory(const std::string& file, const std::string& warmUp) {
  if (!gManager->OpenProjectFile(warmUp, true)) return 1;
  // The highest resident point counts from here (the address space's cannot be reset: the warm-up is small).
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
  const int64_t before = StatusKB("VmRSS:");
  const int64_t vmBefore = StatusKB("VmSize:");
  TProjectOp* op = gManager->OpenProjectFile(file, true);
  if (!op) return 1;
  std::printf("%lld %lld %lld %lld %lld\n", static_cast<long long>(before), static_cast<long long>(StatusKB("VmHWM:")),
              static_cast<long long>(StatusKB("VmRSS:")), static_cast<long long>(vmBefore),
              static_cast<long long>(StatusKB("VmPeak:")));
  return 0;
}

void BM_Save(benchmark::State& state) {
  TSize& s = gSizes[static_cast<size_t>(state.range(0))];
  gManager->SaveProject(*s.Project);  // the file attached, as when a project is saved again
  for (auto _ : state) gManager->SaveProject(*s.Project);
  state.counters["elements"] = s.Elements;
  state.counters["us_per_element"] =
      benchmark::Counter(static_cast<double>(s.Elements), benchmark::Counter::kIsIterationInvariantRate |
                                                              benchmark::Counter::kInvert);
}

void BM_Open(benchmark::State& state) {
  TSize& s = gSizes[static_cast<size_t>(state.range(0))];
  // The file attached once before, as it is after the first open: every open then drops the document it
  // replaces, as the plain parse frees its own.
  gManager->RemoveProject(gManager->OpenProjectFile(s.File, true));
  for (auto _ : state) {
    TProjectOp* op = gManager->OpenProjectFile(s.File, true);
    benchmark::DoNotOptimize(op);
    state.PauseTiming();
    gManager->RemoveProject(op);
    state.ResumeTiming();
  }
  state.counters["elements"] = s.Elements;
  state.counters["file_MB"] = static_cast<double>(s.FileBytes) / 1e6;
  state.counters["us_per_element"] =
      benchmark::Counter(static_cast<double>(s.Elements), benchmark::Counter::kIsIterationInvariantRate |
                                                              benchmark::Counter::kInvert);
}

void BM_PlainParseValidate(benchmark::State& state) {
  TSize& s = gSizes[static_cast<size_t>(state.range(0))];
  xmlSchemaParserCtxtPtr pctxt = xmlSchemaNewParserCtxt(gSchema.c_str());
  xmlSchemaPtr schema = xmlSchemaParse(pctxt);
  xmlSchemaValidCtxtPtr vctxt = xmlSchemaNewValidCtxt(schema);
  for (auto _ : state) {
    xmlDocPtr doc = xmlReadFile(s.File.c_str(), nullptr, XML_PARSE_NONET);
    if (!doc || xmlSchemaValidateDoc(vctxt, doc) != 0) state.SkipWithError("the file does not validate");
    xmlFreeDoc(doc);
  }
  xmlSchemaFreeValidCtxt(vctxt);
  xmlSchemaFree(schema);
  xmlSchemaFreeParserCtxt(pctxt);
}

void BM_PlainSerialise(benchmark::State& state) {
  TSize& s = gSizes[static_cast<size_t>(state.range(0))];
  xmlDocPtr doc = xmlReadFile(s.File.c_str(), nullptr, XML_PARSE_NONET);
  const std::string out = gFolder + "/plain.xml";
  for (auto _ : state) {
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    xmlOutputBufferPtr buf = fd < 0 ? nullptr : xmlOutputBufferCreateFd(fd, nullptr);
    if (!buf || xmlSaveFileTo(buf, doc, nullptr) < 0 || ::fsync(fd) != 0) state.SkipWithError("not written");
    if (fd >= 0) ::close(fd);
    state.PauseTiming();
    std::filesystem::remove(out);
    state.ResumeTiming();
  }
  xmlFreeDoc(doc);
}

// Keeps the time per iteration of every repetition, for the summary's medians (neither the luckiest nor the
// most disturbed run).
class TCollector : public benchmark::ConsoleReporter {
public:
  std::map<std::string, std::vector<double>> Runs;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
      Runs[r.run_name.function_name + "/" + r.run_name.args].push_back(r.real_accumulated_time /
                                                                       static_cast<double>(r.iterations));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Median(const std::string& key) const {
    auto it = Runs.find(key);
    if (it == Runs.end() || it->second.empty()) return 0.0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2.0;
  }
};

std::string Name(const char* what, size_t i) { return std::string(what) + "/" + std::to_string(i); }

const char* Verdict(double value, double budget) { return value <= budget ? "met" : "MISSED"; }

void PrintSummary(const TCollector& c) {
  const auto t = [&](const char* what, size_t i) { return c.Median(Name(what, i)); };
  std::printf("\nSummary (seconds per operation, the median of three repetitions)\n");
  std::printf("%9s %9s %9s %9s %7s %9s %9s %7s %9s %9s %9s\n", "elements", "file MB", "open s", "plain s", "ratio",
              "save s", "plain s", "ratio", "held/file", "peak/file", "est/peak");
  bool met = true;
  for (size_t i = 0; i < gSizes.size(); ++i) {
    const TSize& s = gSizes[i];
    const double file = static_cast<double>(s.FileBytes);
    const double open = t("BM_Open", i) / t("BM_PlainParseValidate", i);
    const double save = t("BM_Save", i) / t("BM_PlainSerialise", i);
    const double held = s.AfterOpen / file;
    const double estimate = s.Estimate / s.PeakOpen;
    met = met && open <= 3.0 && save <= 3.0 && held <= 3.0 && estimate >= 1.0 && estimate <= 1.25;
    std::printf("%9d %9.2f %9.4f %9.4f %6.2fx %9.4f %9.4f %6.2fx %8.1fx %8.1fx %8.2fx\n", s.Elements, file / 1e6,
                t("BM_Open", i), t("BM_PlainParseValidate", i), open, t("BM_Save", i), t("BM_PlainSerialise", i),
                save, held, s.PeakOpen / file, estimate);
  }
  const size_t small = 0, large = gSizes.size() - 1;
  const auto perElement = [&](const char* what, size_t i) { return t(what, i) / gSizes[i].Elements; };
  std::printf("For information: time per element, %d against %d elements: open %.2fx, save %.2fx\n",
              gSizes[large].Elements, gSizes[small].Elements,
              perElement("BM_Open", large) / perElement("BM_Open", small),
              perElement("BM_Save", large) / perElement("BM_Save", small));
  const TSize& l = gSizes[large];
  std::printf("Budgets at %d elements (a %.0f MB file):\n", l.Elements, static_cast<double>(l.FileBytes) / 1e6);
  const double open = t("BM_Open", large) / t("BM_PlainParseValidate", large);
  const double save = t("BM_Save", large) / t("BM_PlainSerialise", large);
  const double held = l.AfterOpen / static_cast<double>(l.FileBytes);
  std::printf("  open  %.2f s = %.2fx the plain parse and validate   (budget <= 3x: %s)\n", t("BM_Open", large), open,
              Verdict(open, 3.0));
  std::printf("  save  %.2f s = %.2fx the plain serialisation        (budget <= 3x: %s)\n", t("BM_Save", large), save,
              Verdict(save, 3.0));
  std::printf("  memory held after the open %.0f MB = %.1fx the file (budget <= 3x: %s)\n", l.AfterOpen / 1e6, held,
              Verdict(held, 3.0));
  const double estimate = l.Estimate / l.PeakOpen;
  std::printf("  open's estimate %.0f MB = %.2fx its highest point %.0f MB (budget 1x to 1.25x: %s)\n", l.Estimate / 1e6,
              estimate, l.PeakOpen / 1e6, estimate >= 1.0 && estimate <= 1.25 ? "met" : "MISSED");
  std::printf("All sizes within the budgets: %s\n", met ? "yes" : "NO");
}

// Builds and saves the three projects, measures the memory of opening each, runs the benchmarks and prints the
// summary.
void RunAll() {
  const auto mttfd = [](int sf, int sub, int ch, int bl, int el) {
    static const double v[] = {300, 450, 600, 900, 1200, 1500, 2000};
    return v[(sf + sub * 3 + ch + bl * 2 + el) % 7];
  };
  const auto dc = [](int sf, int sub, int, int bl, int el) {
    static const double v[] = {0.6, 0.9, 0.99, 0.99};
    return sub == 2 ? 0.99 : v[(sf + bl + el) % 4];
  };
  {
    auto small = bench::BuildBenchProject(1, mttfd, dc);
    small->GetProject()->SetFileName(gFolder + "/small.kvd");
    gManager->SaveProject(*small);
  }
  for (int sfs : {11, 111, 1000}) {
    TSize s;
    s.SFs = sfs;
    s.Elements = sfs * bench::kElementsPerSF;
    s.File = gFolder + "/project-" + std::to_string(s.Elements) + ".kvd";
    s.Project = bench::BuildBenchProject(sfs, mttfd, dc);
    s.Project->GetProject()->SetFileName(s.File);
    gManager->SaveProject(*s.Project);
    s.FileBytes = static_cast<int64_t>(std::filesystem::file_size(s.File));
    MeasureOpenMemory(s);
    gSizes.push_back(std::move(s));
  }
  for (const auto& [name, fn] : std::vector<std::pair<const char*, void (*)(benchmark::State&)>>{
           {"BM_Save", BM_Save},
           {"BM_Open", BM_Open},
           {"BM_PlainParseValidate", BM_PlainParseValidate},
           {"BM_PlainSerialise", BM_PlainSerialise}})
    benchmark::RegisterBenchmark(name, fn)->DenseRange(0, static_cast<int>(gSizes.size()) - 1)->UseRealTime()
        ->Unit(benchmark::kMillisecond)->Repetitions(3)->ReportAggregatesOnly(false);
  TCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  PrintSummary(collector);
}

}  // namespace

int main(int argc, char** argv) {
  // The child that measures an open: threads (a connection pool's monitor, Firebird's) would get allocator
  // arenas of their own, 64 MB of address space reserved whenever they first allocate. With one arena the
  // address space shows what the open takes.
  if (argc == 4 && std::string(argv[1]) == "--open-memory") ::mallopt(M_ARENA_MAX, 1);
  benchmark::Initialize(&argc, argv);
  int status = 0;
  try {
    char tmpl[] = "/tmp/kelvado-bench-pf-XXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("no temporary folder");
    gFolder = tmpl;
    // A private settings store, so the run neither reads nor writes the user's settings.
    std::filesystem::create_directories(gFolder + "/reg");
    SetCurrentUserRegistry(std::make_unique<CachedRegistry>(std::make_unique<FileRegistry>(gFolder + "/reg")));
    ResetConfig();
    auto db = std::make_unique<TPersistenceDB_FB>(ExeFolder() + "/db/KELVADO_GEN_DE.FDB");
    db->Connect();
    SetPersistenceDB(std::move(db));
    gSchema = ExeFolder() + "/" + cProjectSchemaFileName;
    gMapper = std::make_unique<TXMLMapper_tiPer>(cTIPersistXML, std::string());
    gManager = std::make_unique<TProjectManager>(gSchema);
    gManager->SetMapper(gMapper.get());
    if (!gManager->HasSchema()) throw std::runtime_error("no schema beside the program");
    if (argc == 4 && std::string(argv[1]) == "--open-memory") {
      status = OpenMemory(argv[2], argv[3]);
    } else {
      RunAll();
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_projectfile: %s\n", e.what());
    status = 1;
  }
  gSizes.clear();
  gManager.reset();
  gMapper.reset();
  CalcPoolShutdown();
  PersistenceDBShutdown();
  tiPerMgrShutdown();
  SetCurrentUserRegistry(nullptr);
  if (!gFolder.empty()) std::filesystem::remove_all(gFolder);
  benchmark::Shutdown();
  return status;
}
