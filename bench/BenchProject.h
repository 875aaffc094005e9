#pragma once
// The project of the evaluation benchmarks: `sfs` safety functions, each of 3 subsystems (categories 2, 3 and 4)
// with 2 channels of 5 blocks of 3 elements, 90 elements per safety function (1,000 of them: 90,000
// elements). The MTTFd and DC of each element come from `mttfd` and `dc`, called with its position (safety
// function, subsystem, channel, block, element). The objects are built in memory: nothing has been read or saved.
#include <memory>
#include <string>

#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"

namespace kelvado::bench {

inline constexpr int kSubsystems = 3;
inline constexpr int kChannels = 2;
inline constexpr int kBlocs = 5;
inline constexpr int kElements = 3;
inline constexpr int kElementsPerSF = kSubsystems * kChannels * kBlocs * kElements;
inline constexpr TCat kCats[kSubsystems] = {cat2, cat3, cat4};

template <class MTTFd, class DC>
std::unique_ptr<TProjectOp> BuildBenchProject(int sfs, MTTFd mttfd, DC dc) {
  auto project = std::make_unique<TProjectOp>();
  project->SetProject(std::make_unique<TProject>());
  project->GetProject()->SetName("Benchmark");
  for (int sf = 0; sf < sfs; ++sf) {
    auto sfOp = std::make_unique<TSFOp>();
    sfOp->SetSF(std::make_unique<TSF>());
    sfOp->GetSF()->SetName("SF " + std::to_string(sf));
    for (int sub = 0; sub < kSubsystems; ++sub) {
      auto s = std::make_unique<TComponentOp>();
      s->SetComponent(std::make_unique<TComponent>());
      s->GetComponent()->SetName("S");
      s->GetComponent()->SetCat(kCats[sub]);
      for (int ch = 0; ch < kChannels; ++ch) {
        auto chOp = std::make_unique<TChannelOp>();
        chOp->SetChannel(std::make_unique<TChannel>());
        for (int bl = 0; bl < kBlocs; ++bl) {
          auto b = std::make_unique<TBlocOp>();
          b->SetBloc(std::make_unique<TBloc>());
          for (int el = 0; el < kElements; ++el) {
            auto e = std::make_unique<TElement>();
            e->SetMTTFd(mttfd(sf, sub, ch, bl, el));
            e->SetDC(dc(sf, sub, ch, bl, el));
            auto eOp = std::make_unique<TElementOp>();
            eOp->SetElement(std::move(e));
            b->GetElementOpList()->Add(std::move(eOp));
          }
          chOp->GetBlocOpList()->Add(std::move(b));
        }
        s->GetChannelOpList()->Add(std::move(chOp));
      }
      sfOp->GetComponentOpList()->Add(std::move(s));
    }
    project->GetSFOpList()->Add(std::move(sfOp));
  }
  return project;
}

}  // namespace kelvado::bench
