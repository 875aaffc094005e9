// kv_pf_opener: a program of its own for the tests of the memory an open takes. Nothing another test built lies
// freed in its memory for the open to reuse, so what an open takes shows as it does for a user who starts the
// program and opens a file.
//
//   kv_pf_opener --home DIR --lang FILE WARMUP FILE [LIMIT]
//
// Opens WARMUP first (what any first open costs once: the schema, the language texts), then FILE; with LIMIT,
// under an address-space limit (RLIMIT_AS) of LIMIT bytes beyond what it holds then. Prints one line:
// "opened N PEAK" (N safety functions; PEAK the bytes the open took at its highest point, the resident memory or
// the address space, whichever grew more), "error NUMBER|ARG|..." (a refusal with its text number and
// arguments) or "error: MESSAGE". Exit status 0 but for a wrong call.
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "framework/tiQueryXML.h"
#include "model/BOMProject.h"
#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "storage/xml/PersistenceXML.h"

using namespace kelvado;

namespace {

int64_t StatusBytes(const std::string& key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(key, 0) == 0) return std::stoll(line.substr(key.size())) * 1024;
  return 0;
}

std::string Opened(TProjectManager& manager, const std::string& file) {
  TProjectOp* op = manager.OpenProjectFile(file, true);
  return op ? "opened " + std::to_string(op->GetSFOpList()->GetCount()) : "nothing";
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a(argv + 1, argv + argc);
  if ((a.size() != 6 && a.size() != 7) || a[0] != "--home" || a[2] != "--lang") {
    std::cout << "error: usage kv_pf_opener --home DIR --lang FILE WARMUP FILE [LIMIT]" << std::endl;
    return 2;
  }
  // A connection pool's monitor thread would get an allocator arena of its own: 64 MB of address space
  // reserved, untouched, whenever it first allocates (and done without under an address-space limit). With one
  // arena the address space shows what the open takes.
  ::mallopt(M_ARENA_MAX, 1);
  SetCurrentUserRegistry(std::make_unique<FileRegistry>(a[1] + "/reg"));
  RegWriteString("lang", "lngdll", a[3]);
  ResetConfig();
  std::string answer;
  try {
    TXMLMapper_tiPer mapper(cTIPersistXML, std::string());
    TProjectManager manager(ProgramFolder() + cProjectSchemaFileName);
    manager.SetMapper(&mapper);
    if (Opened(manager, a[4]).rfind("opened", 0) != 0) throw std::runtime_error("the warm-up file was not opened");
    if (a.size() == 7) {
      const rlim_t limit = static_cast<rlim_t>(StatusBytes("VmSize:") + std::stoll(a[6]));
      const struct rlimit rl {limit, limit};
      if (::setrlimit(RLIMIT_AS, &rl) != 0) throw std::runtime_error("no address-space limit");
    }
    // The highest resident point counts from here; the address space's cannot be reset (the warm-up is small).
    std::ofstream("/proc/self/clear_refs") << "5";
    const int64_t space = StatusBytes("VmSize:"), resident = StatusBytes("VmRSS:");
    answer = Opened(manager, a[5]);
    answer += " " + std::to_string(std::max(StatusBytes("VmPeak:") - space, StatusBytes("VmHWM:") - resident));
  } catch (const EKelvado& e) {
    answer = "error " + std::to_string(e.MsgNumber());
    for (const FmtArg& arg : e.MsgArgs()) answer += "|" + arg.AsString();
  } catch (const std::exception& e) {
    answer = std::string("error: ") + e.what();
  }
  std::cout << answer << std::endl;
  SetCurrentUserRegistry(nullptr);
  return 0;
}
