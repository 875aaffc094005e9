// Opens a project file through the project manager (by default the example project beside the program,
// example_press.kvd), evaluates it on the general database beside the program and prints the tree: MTTFd,
// DCavg, CCF, PFH, PL, PLr and the status of every node down to the elements, with the status messages.
//
//   kelvado_example [FILE.kvd]
//
// A file that cannot be opened is reported with the reason, and the program ends with status 1.
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsLookups.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"
#include "model/VisitorsCalc.h"
#include "storage/db/PersistenceDB.h"
#include "storage/xml/PersistenceXML.h"

using namespace kelvado;

namespace {

std::string StatusName(TItemStatus s) { return std::string(EnumName(s)).substr(2); }

void PrintMessages(TPerObjAbsEx& node, const std::string& indent) {
  TStatusMessages messages;
  node.CheckStatus(&messages, false);
  for (int i = 0; i < messages.Count(); ++i) {
    const TStatusMessage& m = messages.Item(i);
    std::string text = m.Text.empty() ? "(no text)" : m.Text;
    for (size_t p; (p = text.find("\r\n")) != std::string::npos;) text.replace(p, 2, " ");
    std::cout << indent << "  - " << StatusName(m.Status) << ": " << text << "\n";
  }
}

// DC as a percentage with one decimal; "-" when it cannot be determined, the infinity text when no block
// can fail.
std::string DCPercent(double dc) {
  if (dc < 0.0) return "-";
  return ReplaceInfinity(FloatToStr(RoundToDigits(-1, dc * 100.0)));
}

// The channels, blocks and elements below a subsystem.
void PrintChannels(TComponentOp& s) {
  TChannelOpList& channels = *s.GetChannelOpList();
  for (int c = 0; c < channels.GetCount(); ++c) {
    TChannelOp& ch = *channels.Items(c);
    std::cout << "      " << ch.GetCaption() << "  MTTFd [years] " << ch.GetMTTFdString() << " ("
              << ch.GetMTTFdDenotationString() << ")  DC [%] " << DCPercent(ch.GetDCLazy()) << "  status "
              << StatusName(ch.CheckStatus(nullptr, true)) << "\n";
    PrintMessages(ch, "      ");
    TBlocOpList& blocs = *ch.GetBlocOpList();
    for (int b = 0; b < blocs.GetCount(); ++b) {
      TBlocOp& bloc = *blocs.Items(b);
      std::cout << "        Block \"" << bloc.GetBlocName() << "\"  MTTFd [years] " << bloc.GetMTTFdString()
                << "  DC [%] " << bloc.GetDCString() << "  status " << StatusName(bloc.CheckStatus(nullptr, true))
                << "\n";
      PrintMessages(bloc, "        ");
      TElementOpList& elements = *bloc.GetElementOpList();
      for (int e = 0; e < elements.GetCount(); ++e) {
        TElementOp& el = *elements.Items(e);
        std::cout << "          Element \"" << el.GetElementName() << "\"  MTTFd [years] " << el.GetMTTFdString()
                  << "  DC [%] " << el.GetDCString() << "  status " << StatusName(el.CheckStatus(nullptr, true))
                  << "\n";
        PrintMessages(el, "          ");
      }
    }
  }
}

void PrintProject(TProjectOp& project) {
  std::cout << "Project \"" << project.GetProjectName() << "\"  status "
            << StatusName(project.CheckStatus(nullptr, true)) << "  checksum " << project.GetHashString() << "\n";
  PrintMessages(project, "");
  TSFOpList& sfs = *project.GetSFOpList();
  for (int i = 0; i < sfs.GetCount(); ++i) {
    TSFOp& sf = *sfs.Items(i);
    if (sf.GetDeleted()) continue;
    std::cout << "\n  Safety function \"" << sf.GetSFName() << "\"\n"
              << "    PLr " << sf.GetPLrString() << "  PL " << sf.GetPLString() << "  PFH [1/h] " << sf.GetPFHString()
              << "  Cat " << sf.GetCatString() << "  status " << StatusName(sf.CheckStatus(nullptr, true)) << "\n";
    PrintMessages(sf, "    ");
    TComponentOpList& subs = *sf.GetComponentOpList();
    for (int j = 0; j < subs.GetCount(); ++j) {
      TComponentOp& s = *subs.Items(j);
      if (s.GetDeleted()) continue;
      std::cout << "    Subsystem \"" << s.GetComponentName() << "\"  Cat " << s.GetCatString() << "\n"
                << "      MTTFd [years] " << s.GetMTTFdString() << "  DCavg [%] " << s.GetDCavgPCString()
                << "  CCF " << s.GetCCFString() << "\n"
                << "      PFH [1/h] " << s.GetPFHString() << "  PL " << s.GetPLString() << "  status "
                << StatusName(s.CheckStatus(nullptr, true)) << "\n";
      PrintMessages(s, "      ");
      PrintChannels(s);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    std::cerr << "usage: kelvado_example [FILE.kvd]\n";
    return 2;
  }
  int status = 0;
  try {
    const std::filesystem::path dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string file = argc == 2 ? argv[1] : (dir / "example_press.kvd").string();
    auto db = std::make_unique<TPersistenceDB_FB>((dir / "db" / "KELVADO_GEN_DE.FDB").string());
    db->Connect();
    SetPersistenceDB(std::move(db));
    {
      TProjectManager manager;
      // A bare name that does not exist would give no project at all: look for it where it was named.
      const std::string path = file.find('/') == std::string::npos ? "./" + file : file;
      TProjectOp* project = manager.OpenProjectFile(path, true);
      if (!project) throw EIOError(msgProjectFileMissing, {path});
      PrintProject(*project);
      XMLMapperShutdown();
    }
  } catch (const std::exception& e) {
    std::cerr << "kelvado_example: " << e.what() << "\n";
    status = 1;
  }
  XMLMapperShutdown();
  CalcPoolShutdown();
  PersistenceDBShutdown();
  return status;
}
