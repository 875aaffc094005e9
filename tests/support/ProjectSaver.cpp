// kv_pf_saver: a second program for the tests of crash safety. It opens a project file through the project
// manager, changes the project in a way the test can recognise, and saves it when told, so that the test can
// kill it at any moment of the save.
//
//   kv_pf_saver FILE COUNT [as NEW | export NEW | rescue]
//
// Opens FILE, renames the project "Variante B" and adds COUNT safety functions (one subsystem each, two channels
// of two blocks of two elements), computes every value the file will carry, prints "ready" and waits for its
// standard input to end; then saves (over FILE; "as": under the new name NEW; "export": the project exported
// into NEW; "rescue": the rescue copy beside FILE) and prints "saved". Errors: "error: <message>" (an error
// with a text number: "error NUMBER: <message>"), exit status 1.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "framework/tiPerManager.h"
#include "framework/tiQueryXML.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/Exceptions.h"
#include "model/VisitorsCalc.h"
#include "platform/Process.h"
#include "storage/db/PersistenceDB.h"
#include "storage/xml/PersistenceXML.h"

using namespace kelvado;

namespace {

std::unique_ptr<TSFOp> SafetyFunction(int n) {
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  sf->GetSF()->SetName("Funktion " + std::to_string(n));
  auto sub = std::make_unique<TComponentOp>();
  sub->SetComponent(std::make_unique<TComponent>());
  sub->GetComponent()->SetName("Subsystem " + std::to_string(n));
  sub->GetComponent()->SetCat(cat3);
  for (int c = 0; c < 2; ++c) {
    auto ch = std::make_unique<TChannelOp>();
    ch->SetChannel(std::make_unique<TChannel>());
    for (int b = 0; b < 2; ++b) {
      auto bloc = std::make_unique<TBlocOp>();
      bloc->SetBloc(std::make_unique<TBloc>());
      bloc->GetBloc()->SetName("Block " + std::to_string(b));
      for (int e = 0; e < 2; ++e) {
        auto el = std::make_unique<TElementOp>();
        el->SetElement(std::make_unique<TElement>());
        el->GetElement()->SetName("Element " + std::to_string(e));
        el->GetElement()->SetMTTFd(100.0 + 10 * e);
        el->GetElement()->SetDC(0.9);
        bloc->GetElementOpList()->Add(std::move(el));
      }
      ch->GetBlocOpList()->Add(std::move(bloc));
    }
    sub->GetChannelOpList()->Add(std::move(ch));
  }
  sf->GetComponentOpList()->Add(std::move(sub));
  return sf;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string how = argc >= 4 ? argv[3] : "";
  if (!(argc == 3 || (argc == 5 && (how == "as" || how == "export")) || (argc == 4 && how == "rescue"))) {
    std::cout << "error: usage kv_pf_saver FILE COUNT [as NEW | export NEW | rescue]" << std::endl;
    return 1;
  }
  try {
    auto db = std::make_unique<TPersistenceDB_FB>(ProgramFolder() + "db/KELVADO_GEN_DE.FDB");
    db->Connect();
    SetPersistenceDB(std::move(db));
    {
      TXMLMapper_tiPer mapper(cTIPersistXML, argv[1]);
      TProjectManager manager;
      manager.SetMapper(&mapper);
      TProjectOp* project = manager.OpenProjectFile(argv[1], true);
      if (!project) throw Exception("no project in <%s>", {std::string(argv[1])});
      project->GetProject()->SetName("Variante B");
      for (int i = 0, n = std::stoi(argv[2]); i < n; ++i) project->GetSFOpList()->Add(SafetyFunction(i));
      for (int i = 0; i < project->GetSFOpList()->GetCount(); ++i) project->GetSFOpList()->Items(i)->GetPLLazy();
      std::cout << "ready" << std::endl;
      std::string line;
      while (std::getline(std::cin, line)) {
      }
      if (how == "as") {
        project->GetProject()->SetFileName(argv[4]);
        manager.SaveProject(*project);
      } else if (how == "export") {
        manager.SaveObjectToFile(*project, argv[4]);
      } else if (how == "rescue") {
        project->SetDirty(true);
        std::vector<TProjectOp*> rescued;
        manager.SaveRescueCopies(rescued);
        if (rescued.size() != 1) throw Exception("the rescue copy was not saved");
      } else {
        manager.SaveProject(*project);
      }
      std::cout << "saved" << std::endl;
    }
    CalcPoolShutdown();
    PersistenceDBShutdown();
    tiPerMgrShutdown();
    return 0;
  } catch (const EKelvado& e) {
    std::cout << "error " << e.MsgNumber() << ": " << e.what() << std::endl;
    return 1;
  } catch (const std::exception& e) {
    std::cout << "error: " << e.what() << std::endl;
    return 1;
  }
}
