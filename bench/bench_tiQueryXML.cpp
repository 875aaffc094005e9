// The XML store on project-sized and larger files: writing a table of 100,000 rows and committing it; connecting
// and reading every row; selecting rows by key at 1,000, 10,000 and 100,000 rows (the time per select should
// not grow with the table); and, for comparison, a plain libxml2 parse and walk of the same file. Set
// KELVADO_BENCH_XML_BIG=1 to add a file of 1,000,000 rows (about 250 MB) to the read benchmarks.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "framework/tiQueryXML.h"

using namespace kelvado;

namespace {

const char* const cColumns[] = {"OID",        "Name",       "Owner",      "IsProtected", "NormVersion",
                                "KVDVersion", "MissionTime", "DC",        "Amount",      "Documentation"};

std::string Oid(int64_t i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%08llX-0000-4000-8000-%012llX", static_cast<unsigned long long>(i & 0xFFFFFFFF),
                static_cast<unsigned long long>((i * 7919) & 0xFFFFFFFFFFFF));
  return buf;
}

std::string Folder() {
  static const std::string dir = [] {
    std::string tmpl = "/tmp/kelvado-bench-xml-XXXXXX";
    if (!::mkdtemp(tmpl.data())) std::abort();
    return tmpl;
  }();
  return dir;
}

// A new store with table Items holding `rows` rows, committed.
void WriteStore(const std::string& file, int64_t rows) {
  TtiDatabaseXML db;
  db.CreateDatabase(file, "", "");
  db.Connect(file, "", "", "");
  TtiDBMetaDataTable t;
  t.SetName("Items");
  for (const char* c : cColumns) t.AddField(c, c == std::string("Amount") ? qfkInteger : qfkString, 1024);
  db.CreateTable(t);
  TtiQueryXML q;
  q.AttachDatabase(&db);
  db.StartTransaction();
  for (int64_t i = 0; i < rows; ++i) {
    TtiQueryParams p;
    p.SetValueAsString("OID", Oid(i));
    p.SetValueAsString("Name", "Element " + std::to_string(i));
    p.SetValueAsString("Owner", Oid(i % 100));
    p.SetValueAsString("IsProtected", "0");
    p.SetValueAsString("NormVersion", "EN ISO 13849-1:2006");
    p.SetValueAsString("KVDVersion", "1.1.2");
    p.SetValueAsString("MissionTime", "20");
    p.SetValueAsString("DC", "0.99");
    p.SetValueAsInteger("Amount", i);
    p.SetValueAsString("Documentation", "Checked against the data sheet.\r\nSecond line of the note.");
    q.InsertRow("Items", &p);
  }
  db.Commit();
}

// One file per size, written once per run.
const std::string& StoreFile(int64_t rows) {
  static std::map<int64_t, std::string> files;
  auto it = files.find(rows);
  if (it == files.end()) {
    const std::string file = Folder() + "/items-" + std::to_string(rows) + ".kvd";
    WriteStore(file, rows);
    it = files.emplace(rows, file).first;
  }
  return it->second;
}

void BM_InsertAndCommit(benchmark::State& state) {
  const std::string file = Folder() + "/insert.kvd";
  for (auto _ : state) WriteStore(file, state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  ::unlink(file.c_str());
}

void BM_ConnectAndReadAll(benchmark::State& state) {
  const std::string& file = StoreFile(state.range(0));
  size_t bytes = 0;
  for (auto _ : state) {
    TtiDatabaseXML db;
    db.Connect(file, "", "", "");
    TtiQueryXML q;
    q.AttachDatabase(&db);
    q.SelectRow("Items", nullptr);
    for (; !q.Eof(); q.Next())
      for (const char* c : cColumns) bytes += q.FieldAsString(c).size();
    q.DetachDatabase();
  }
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// What any reader of the file has to do at least: parse it into a tree and copy every value out.
void BM_PlainParseAndWalk(benchmark::State& state) {
  const std::string& file = StoreFile(state.range(0));
  size_t bytes = 0;
  for (auto _ : state) {
    xmlDocPtr doc = xmlReadFile(file.c_str(), nullptr, XML_PARSE_NONET);
    for (xmlNode* tables = xmlDocGetRootElement(doc)->children; tables; tables = tables->next)
      for (xmlNode* table = tables->children; table; table = table->next)
        for (xmlNode* part = table->children; part; part = part->next)
          for (xmlNode* row = part->children; row; row = row->next)
            for (xmlAttr* a = row->properties; a; a = a->next) {
              const std::string value(a->children ? reinterpret_cast<const char*>(a->children->content) : "");
              bytes += value.size();
            }
    xmlFreeDoc(doc);
  }
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// 10,000 selects by key on a connected store, each reading one field of the row found.
void BM_SelectByKey(benchmark::State& state) {
  const int64_t rows = state.range(0);
  TtiDatabaseXML db;
  db.Connect(StoreFile(rows), "", "", "");
  TtiQueryXML q;
  q.AttachDatabase(&db);
  size_t found = 0;
  int64_t key = 0;
  for (auto _ : state) {
    for (int i = 0; i < 10000; ++i) {
      TtiQueryParams where;
      where.SetValueAsString("OID", Oid(key));
      key = (key + 7919) % rows;
      q.SelectRow("Items", &where);
      if (!q.Eof()) found += q.FieldAsString("Name").size();
    }
  }
  benchmark::DoNotOptimize(found);
  q.DetachDatabase();
  state.SetItemsProcessed(state.iterations() * 10000);
  state.counters["per_select"] = benchmark::Counter(static_cast<double>(state.iterations()) * 10000,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

int main(int argc, char** argv) {
  const bool big = std::getenv("KELVADO_BENCH_XML_BIG") != nullptr;
  benchmark::RegisterBenchmark("BM_InsertAndCommit", BM_InsertAndCommit)->Arg(100000)->Unit(benchmark::kMillisecond);
  for (auto* b : {benchmark::RegisterBenchmark("BM_ConnectAndReadAll", BM_ConnectAndReadAll),
                  benchmark::RegisterBenchmark("BM_PlainParseAndWalk", BM_PlainParseAndWalk)}) {
    b->Arg(100000)->Unit(benchmark::kMillisecond);
    if (big) b->Arg(1000000);
  }
  benchmark::RegisterBenchmark("BM_SelectByKey", BM_SelectByKey)
      ->Arg(1000)
      ->Arg(10000)
      ->Arg(100000)
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::system(("rm -rf " + Folder()).c_str());
  return 0;
}
