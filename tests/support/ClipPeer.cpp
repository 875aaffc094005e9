// kv_clip_peer: the second program of the clipboard tests. It runs its own clipboard monitor on a file
// clipboard shared with the test and reports one line per action on stdout: "ok <action>[: detail]" or
// "error <action>: <message>".
//
//   kv_clip_peer --home DIR --board FILE ACTION...
//
//   --home DIR        settings of this process (and its clipboard store file) in DIR
//   --board FILE      the file clipboard
//   --lang FILE       the language file (captions are part of what the test compares)
//   paste-subsystem   waits (at most 30 s) until the clipboard holds a subsystem, pastes it into a new safety
//                     function; detail: the pasted subsystem's fingerprint (see Fingerprint)
//   copy-pasted       copies the subsystem pasted before back to the clipboard
//   shutdown          ends the monitor for good; detail: what asking for it afterwards raises
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/tiPerManager.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "platform/Clipboard.h"
#include "platform/Registry.h"
#include "storage/db/GlobalsPer.h"
#include "storage/xml/ClipMonitor.h"
#include "tests/model/CalcTestEnv.h"
#include "tests/support/ClipFingerprint.h"

using namespace kelvado;

namespace {

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  size_t i = 0;
  for (; i + 1 < a.size() && a[i].rfind("--", 0) == 0; i += 2) {
    if (a[i] == "--home") {
      ::mkdir(a[i + 1].c_str(), 0700);
      ::mkdir((a[i + 1] + "/reg").c_str(), 0700);
      SetCurrentUserRegistry(std::make_unique<FileRegistry>(a[i + 1] + "/reg"));
      RegWriteString("xml", "cbfilename", a[i + 1] + "/cb.xml");
      ResetConfig();
    } else if (a[i] == "--lang") {
      RegWriteString("lang", "lngdll", a[i + 1]);
      ResetConfig();
    } else if (a[i] == "--board") {
      SetClipboard(std::make_unique<TFileClipboard>(a[i + 1]));
    } else {
      std::cerr << "kv_clip_peer: unknown option " << a[i] << "\n";
      return 2;
    }
  }
  SetPersistenceDB(std::make_unique<kelvado::testing::TFakeStandardDB>());
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  for (; i < a.size(); ++i) {
    const std::string action = a[i];
    std::string detail;
    try {
      if (action == "paste-subsystem") {
        TClipMonitor& monitor = GetClipMonitor();
        monitor.SetClipChangeStatus(true);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (monitor.CheckClipboard(); monitor.ContentClass() != &TComponentOp::StaticClass();
             monitor.CheckClipboard()) {
          if (std::chrono::steady_clock::now() > until) throw Exception("no subsystem came to the clipboard");
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        monitor.PasteFromClipboard(*sf);
        detail = kelvado::testing::ClipFingerprint(*sf->GetComponentOpList()->Items(0));
      } else if (action == "copy-pasted") {
        GetClipMonitor().CopyToClipboard(*sf->GetComponentOpList()->Items(0));
      } else if (action == "shutdown") {
        ClipMonitorFinalize();
        try {
          GetClipMonitor();
          detail = "still there";
        } catch (const Exception& e) {
          detail = e.what();
        }
      } else {
        std::cerr << "kv_clip_peer: unknown action " << action << "\n";
        return 2;
      }
      std::cout << "ok " << action << (detail.empty() ? "" : ": " + detail) << std::endl;
    } catch (const std::exception& e) {
      std::cout << "error " << action << ": " << OneLine(e.what()) << std::endl;
    }
  }
  sf.reset();
  ClipMonitorShutdown();
  tiPerMgrShutdown();
  PersistenceDBShutdown();
  return 0;
}
