// Writes the example project (two safety functions, subsystems of categories B, 1, 2, 3 and 4) into a project
// file through the project manager; the file shipped as examples/example_press.kvd was written by it:
//
//   kelvado_make_example examples/example_press.kvd
//
// The columns a project file carries for its readers (the PL and PFH of each safety function and subsystem)
// are computed on the general database beside the program.
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"

#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLookups.h"
#include "model/VisitorsCalc.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/VisitorsDB.h"
#include "storage/xml/PersistenceXML.h"

using namespace kelvado;

namespace {


std::unique_ptr<TElementOp> Element(const std::string& name, double mttfd, double dc) {
  auto e = std::make_unique<TElement>();
  e->SetName(name);
  e->SetMTTFd(mttfd);
  e->SetDC(dc);
  auto op = std::make_unique<TElementOp>();
  op->SetElement(std::move(e));
  return op;
}

// An element whose MTTFd follows from B10d and the number of operations per year.
std::unique_ptr<TElementOp> WearElement(const std::string& name, double b10d, double nop, double dc) {
  auto op = Element(name, 10, dc);
  op->GetElement()->SetB10d(b10d);
  op->GetElement()->SetUseB10d(true);
  op->SetNop(nop);
  return op;
}

std::unique_ptr<TBlocOp> Bloc(const std::string& name, std::unique_ptr<TElementOp> element) {
  auto b = std::make_unique<TBlocOp>();
  b->SetBloc(std::make_unique<TBloc>());
  b->GetBloc()->SetName(name);
  b->GetElementOpList()->Add(std::move(element));
  return b;
}

template <class C, class D>
std::unique_ptr<C> NewChannel() {
  auto ch = std::make_unique<C>();
  ch->SetChannel(std::make_unique<D>());
  return ch;
}

std::unique_ptr<TComponentOp> Subsystem(const std::string& name, TCat cat) {
  auto s = std::make_unique<TComponentOp>();
  s->SetComponent(std::make_unique<TComponent>());
  s->GetComponent()->SetName(name);
  s->GetComponent()->SetCat(cat);
  return s;
}

// The standard's CCF measures with their scores (Table F.1), as the general database ships them: a score is
// never typed in by hand.
std::unique_ptr<TCCFMeasureOpList> ReadCCFCatalogue(const std::string& generalDB) {
  if (!tiPerMgr().GetPersistenceLayers().IsLoaded(cTIPersistIBX)) RegisterPersistenceLayerIBX();
  RegisterVisitorsDB();
  tiPerMgr().ConnectDatabase(generalDB, GetDatabaseUserNameGen(), GetDatabasePasswordGen(), {}, cTIPersistIBX);
  auto catalogue = std::make_unique<TCCFMeasureOpList>();
  catalogue->SetObjectState(posEmpty);
  tiPerMgr().Read(catalogue.get(), generalDB, cTIPersistIBX);
  tiPerMgr().DisconnectDatabase(generalDB, cTIPersistIBX);
  return catalogue;
}

// Ticks the catalogue's measures of the given numbers ("1", "3.1" ...) on the subsystem as applied.
void AddCCFMeasures(TComponent& c, const TCCFMeasureOpList& catalogue, std::initializer_list<const char*> numbers) {
  for (const char* number : numbers) {
    const TCCFMeasureOp* found = nullptr;
    for (int i = 0; i < catalogue.GetCount() && !found; ++i)
      if (catalogue.Items(i)->GetNumber() == number) found = catalogue.Items(i);
    if (!found) throw std::runtime_error(std::string("no CCF measure numbered ") + number + " in the catalogue");
    auto op = std::make_unique<TCCFMeasureOp>();
    op->SetCCFMeasure(found->GetCCFMeasure()->CloneAs<TCCFMeasure>());
    op->SetIsSatisfied(true);
    c.GetCCFMeasureOps()->Add(std::move(op));
  }
}

// The measures taken against common cause failure in the example's two-channel and tested designs: signal
// paths separated (15), protection against over-voltage and over-pressure (15), contamination and EMC (25),
// other environmental influences (10): 65 points, the least categories 2, 3 and 4 ask.
constexpr std::initializer_list<const char*> kExampleCCF = {"1", "3.1", "6.1", "6.2"};

// Category conditions as the standard requires them for the category, all ticked as satisfied.
void TickCategoryConditions(TComponent& c) {
  const TCatConditionList* required = GetCatConditions(c.GetCat());
  for (int i = 0; required && i < required->GetCount(); ++i) {
    auto op = std::make_unique<TCatConditionOp>();
    op->SetCatCondition(required->Items(i)->CloneAs<TCatCondition>());
    c.GetCatConditionOps()->Add(std::move(op));
  }
}

std::unique_ptr<TProjectOp> BuildProject(const TCCFMeasureOpList& ccf) {
  auto project = std::make_unique<TProjectOp>();
  project->SetProject(std::make_unique<TProject>());
  project->GetProject()->SetName("Example press");
  // A new project names the logged-on user as its author; the shipped example names no machine's user.
  project->GetProject()->SetAuthor("KELVADO example");

  // Safety function 1: stop when the guard door opens. PLr from the risk graph: S2, F1, P2 gives d.
  auto sf1 = std::make_unique<TSFOp>();
  sf1->SetSF(std::make_unique<TSF>());
  sf1->GetSF()->SetName("Stop when the guard door opens");
  sf1->GetSF()->SetRiskParamS(1);
  sf1->GetSF()->SetRiskParamP(1);
  {
    // Category 3: two position switches, 200 and 300 years, DC 90 % and 60 %.
    auto s = Subsystem("Door position switches", cat3);
    auto ch1 = NewChannel<TChannelOp, TChannel>();
    ch1->GetBlocOpList()->Add(Bloc("Switch 1", Element("Switch S1", 200, 0.9)));
    auto ch2 = NewChannel<TChannelOp, TChannel>();
    ch2->GetBlocOpList()->Add(Bloc("Switch 2", Element("Switch S2", 300, 0.6)));
    s->GetChannelOpList()->Add(std::move(ch1));
    s->GetChannelOpList()->Add(std::move(ch2));
    AddCCFMeasures(*s->GetComponent(), ccf, kExampleCCF);
    TickCategoryConditions(*s->GetComponent());
    sf1->GetComponentOpList()->Add(std::move(s));
  }
  {
    // A safety PLC entered by its maker's figures: PFH 2.5E-9 per hour for category 4 (PL e). Its PL follows
    // the entered PFH (PLDet detDirect); its maker vouches for the category's requirements, so they are not
    // evaluated here (CatConditionsRelevant off) and the PLC needs no channels, blocks or elements. (A maker who
    // states only a PL: SetPLDirectString("d") on the node instead of SetPFH; the PL's representative PFH
    // then counts in the safety function's sum.)
    auto s = Subsystem("Safety PLC", cat4);
    TComponent& plc = *s->GetComponent();
    plc.SetManufacturer("Maker of the PLC");
    plc.SetPLDet(detDirect);
    plc.SetPFH(2.5e-9);
    plc.SetCatConditionsRelevant(false);
    sf1->GetComponentOpList()->Add(std::move(s));
  }
  {
    // Category 4: a safety relay with two channels of 150 years and DC 99 %.
    auto s = Subsystem("Safety relay", cat4);
    for (int i = 0; i < 2; ++i) {
      auto ch = NewChannel<TChannelOp, TChannel>();
      ch->GetBlocOpList()->Add(Bloc("Relay channel", Element("Relay K" + std::to_string(i + 1), 150, 0.99)));
      s->GetChannelOpList()->Add(std::move(ch));
    }
    AddCCFMeasures(*s->GetComponent(), ccf, kExampleCCF);
    TickCategoryConditions(*s->GetComponent());
    sf1->GetComponentOpList()->Add(std::move(s));
  }
  {
    // Category 1: a well-tried contactor, B10d 1,000,000 cycles at 20,000 operations a year: 500 years,
    // capped at 100.
    auto s = Subsystem("Main contactor", cat1);
    auto ch = NewChannel<TChannelOp, TChannel>();
    ch->GetBlocOpList()->Add(Bloc("Contactor", WearElement("Contactor Q1", 1e6, 20000, 0.0)));
    s->GetChannelOpList()->Add(std::move(ch));
    TickCategoryConditions(*s->GetComponent());
    sf1->GetComponentOpList()->Add(std::move(s));
  }
  project->GetSFOpList()->Add(std::move(sf1));

  // Safety function 2: hold the slide with the valve after stop. PLr entered directly: b.
  auto sf2 = std::make_unique<TSFOp>();
  sf2->SetSF(std::make_unique<TSF>());
  sf2->GetSF()->SetName("Hold the slide");
  sf2->GetSF()->SetPLrDet(detDirect);
  sf2->GetSF()->SetPLrDirect(plB);
  {
    // Category B: a command switch of 20 years.
    auto s = Subsystem("Command switch", catB);
    auto ch = NewChannel<TChannelOp, TChannel>();
    ch->GetBlocOpList()->Add(Bloc("Switch", Element("Switch S3", 20, 0.0)));
    s->GetChannelOpList()->Add(std::move(ch));
    TickCategoryConditions(*s->GetComponent());
    sf2->GetComponentOpList()->Add(std::move(s));
  }
  {
    // Category 2: a valve of 25 years with DC 75 %, tested by a pressure switch of 20 years.
    auto s = Subsystem("Hold valve", cat2);
    auto ch = NewChannel<TChannelOp, TChannel>();
    ch->GetBlocOpList()->Add(Bloc("Valve", Element("Valve Y1", 25, 0.75)));
    auto test = NewChannel<TTestChannelOp, TTestChannel>();
    test->GetBlocOpList()->Add(Bloc("Pressure switch", Element("Pressure switch B1", 20, 0.0)));
    s->GetChannelOpList()->Add(std::move(ch));
    s->GetChannelOpList()->Add(std::move(test));
    AddCCFMeasures(*s->GetComponent(), ccf, kExampleCCF);
    TickCategoryConditions(*s->GetComponent());
    sf2->GetComponentOpList()->Add(std::move(s));
  }
  project->GetSFOpList()->Add(std::move(sf2));
  return project;
}

}  // namespace

int main(int argc, char** argv) {
  // Messages name the program that runs: a copy of this template is the user's own program.
  const std::string program =
      argc > 0 && argv[0] && *argv[0] ? std::filesystem::path(argv[0]).filename().string() : "kelvado_make_example";
  if (argc != 2) {
    std::cerr << "usage: " << program << " FILE.kvd\n";
    return 2;
  }
  try {
    const std::filesystem::path dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const std::string generalDB = (dir / "db" / "KELVADO_GEN_DE.FDB").string();
    auto db = std::make_unique<TPersistenceDB_FB>(generalDB);
    db->Connect();
    SetPersistenceDB(std::move(db));
    {
      TProjectManager manager;
      const std::unique_ptr<TCCFMeasureOpList> ccf = ReadCCFCatalogue(generalDB);
      auto project = BuildProject(*ccf);
      project->GetProject()->SetFileName(argv[1]);
      manager.SaveProject(*project);
      XMLMapperShutdown();
    }
    CalcPoolShutdown();
    PersistenceDBShutdown();
    return 0;
  } catch (const std::exception& e) {
    std::cerr << program << ": " << e.what() << "\n";
    return 1;
  }
}
