#pragma once
// Typed lists of the tree nodes (unit BOM). Each is a TPerObjListEx whose items are of one node class, with a
// caption from the language texts. The item classes are defined in their own headers (included by
// model/BOM.h); the typed access below is resolved where it is used, so this header needs none of them.
#include <string>

#include "model/BOMBase.h"

namespace kelvado {

class TElementOpList : public TPerObjListOf<TElementOp> {
public:
  TI_CLASS(TElementOpList)
  TElementOpList() = default;
  std::string GetCaption() const override;  // text 21
};

class TBlocOpList : public TPerObjListOf<TBlocOp> {
public:
  TI_CLASS(TBlocOpList)
  TBlocOpList() = default;
  std::string GetCaption() const override;  // text 22
};

// Channel nodes and the test-channel node of a subsystem. Adding pairs them: a channel node added gets the
// first test-channel node of the list that is not deleted; a test-channel node added becomes the paired test
// channel of every channel node of the list that is not deleted.
class TChannelOpList : public TPerObjListOf<TChannelOp> {
public:
  TI_CLASS(TChannelOpList)
  TChannelOpList() = default;
  std::string GetCaption() const override;  // text 23
  using TPerObjListOf<TChannelOp>::Add;
  int Add(std::unique_ptr<TtiObject> item) override;
};

class TComponentOpList : public TPerObjListOf<TComponentOp> {
public:
  TI_CLASS(TComponentOpList)
  TComponentOpList() = default;
  std::string GetCaption() const override;  // text 25
};

class TSFOpList : public TPerObjListOf<TSFOp> {
public:
  TI_CLASS(TSFOpList)
  TSFOpList() = default;
  std::string GetCaption() const override;  // text 26
};

class TProjectOpList : public TPerObjListOf<TProjectOp> {
public:
  TI_CLASS(TProjectOpList)
  TProjectOpList() = default;
  std::string GetCaption() const override;  // text 27

  // Index of the first project node whose project has the same file name as projectOp's (exact,
  // case-sensitive); -1 when none or when projectOp has no project. Call as IndexOfProject(op).
  template <class P = TProjectOp>
  int IndexOfProject(const P* projectOp) const {
    if (!projectOp || !projectOp->GetProject()) return -1;
    const std::string name = projectOp->GetProject()->GetFileName();
    for (int i = 0; i < GetCount(); ++i) {
      const P* op = Items(i);
      if (op->GetProject() && op->GetProject()->GetFileName() == name) return i;
    }
    return -1;
  }
};

}  // namespace kelvado
