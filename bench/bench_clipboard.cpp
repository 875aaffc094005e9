// Copy and paste of a subsystem with 1,000 elements (two channels of five blocks of 100 elements, every
// element with its values set) through the clipboard monitor on the in-memory clipboard: the copy (clone,
// save into the clipboard store, the document onto the clipboard, read back and classified), the paste
// (check and read of the whole document, clones into the target) and both together. The settings and the
// clipboard store's file live in a private folder; the general database is the program's own (opened before
// the measurements start).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "framework/tiPerManager.h"
#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "platform/CachedRegistry.h"
#include "platform/Clipboard.h"
#include "platform/Registry.h"
#include "storage/xml/ClipMonitor.h"

using namespace kelvado;

namespace {

constexpr int kChannels = 2;
constexpr int kBlocs = 5;
constexpr int kElements = 100;

std::unique_ptr<TComponentOp> Subsystem() {
  auto comp = std::make_unique<TComponent>();
  comp->SetName("Antrieb");
  comp->SetCat(cat3);
  auto sub = std::make_unique<TComponentOp>();
  sub->SetComponent(std::move(comp));
  for (int c = 0; c < kChannels; ++c) {
    auto channel = std::make_unique<TChannelOp>();
    channel->SetChannel(std::make_unique<TChannel>());
    for (int b = 0; b < kBlocs; ++b) {
      auto bloc = std::make_unique<TBlocOp>();
      bloc->SetBloc(std::make_unique<TBloc>());
      bloc->GetBloc()->SetName("Block " + std::to_string(c) + "." + std::to_string(b));
      for (int e = 0; e < kElements; ++e) {
        auto element = std::make_unique<TElement>();
        element->SetName("Schütz K" + std::to_string(e));
        element->SetManufacturer("Müller & Söhne");
        element->SetDescription("Öffner, zwangsgeführt <NC>\r\nZweite Zeile");
        element->SetMTTFd(150.0 + e);
        element->SetDC(0.9);
        element->SetDCDet(detDirect);
        element->SetMissionTime(20.0);
        auto op = std::make_unique<TElementOp>();
        op->SetElement(std::move(element));
        bloc->GetElementOpList()->Add(std::move(op));
      }
      channel->GetBlocOpList()->Add(std::move(bloc));
    }
    sub->GetChannelOpList()->Add(std::move(channel));
  }
  return sub;
}

struct TSetup {
  TSetup() {
    dir = std::filesystem::temp_directory_path() / ("kv_bench_clip_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir + "/reg");
    // Settings as the program keeps them: read once, then from memory.
    SetCurrentUserRegistry(std::make_unique<CachedRegistry>(std::make_unique<FileRegistry>(dir + "/reg")));
    RegWriteString("xml", "cbfilename", dir + "/cb.xml");
    ResetConfig();
    SetClipboard(std::make_unique<TMemoryClipboard>());
    sub = Subsystem();
    GetClipMonitor().SetOnKVDDataChange([](TClipMonitor&) {});
    GetClipMonitor().SetClipChangeStatus(true);
    // Once before measuring: the general database is opened on the first computation of a saved value.
    auto sf = std::make_unique<TSFOp>();
    sf->SetSF(std::make_unique<TSF>());
    GetClipMonitor().CopyToClipboard(*sub);
    GetClipMonitor().PasteFromClipboard(*sf);
  }
  ~TSetup() {
    sub.reset();
    ClipMonitorShutdown();
    tiPerMgrShutdown();
    SetClipboard(nullptr);
    SetCurrentUserRegistry(nullptr);
    std::filesystem::remove_all(dir);
  }
  std::string dir;
  std::unique_ptr<TComponentOp> sub;
};

TSetup& Setup() {
  static TSetup s;
  return s;
}

std::unique_ptr<TSFOp> Target() {
  auto sf = std::make_unique<TSFOp>();
  sf->SetSF(std::make_unique<TSF>());
  return sf;
}

void Report(benchmark::State& state) {
  state.counters["document_bytes"] = static_cast<double>(GetClipMonitor().GetKVDData().size());
  state.counters["elements"] = kChannels * kBlocs * kElements;
}

void BM_CopySubsystem(benchmark::State& state) {
  TSetup& s = Setup();
  for (auto _ : state) GetClipMonitor().CopyToClipboard(*s.sub);
  Report(state);
}
BENCHMARK(BM_CopySubsystem)->Unit(benchmark::kMillisecond);

void BM_PasteSubsystem(benchmark::State& state) {
  TSetup& s = Setup();
  GetClipMonitor().CopyToClipboard(*s.sub);
  for (auto _ : state) {
    state.PauseTiming();
    auto sf = Target();
    state.ResumeTiming();
    GetClipMonitor().PasteFromClipboard(*sf);
    state.PauseTiming();
    if (sf->GetComponentOpList()->GetCount() != 1) state.SkipWithError("nothing pasted");
    sf.reset();
    state.ResumeTiming();
  }
  Report(state);
}
BENCHMARK(BM_PasteSubsystem)->Unit(benchmark::kMillisecond);

void BM_CopyAndPasteSubsystem(benchmark::State& state) {
  TSetup& s = Setup();
  for (auto _ : state) {
    auto sf = Target();
    GetClipMonitor().CopyToClipboard(*s.sub);
    GetClipMonitor().PasteFromClipboard(*sf);
  }
  Report(state);
}
BENCHMARK(BM_CopyAndPasteSubsystem)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
