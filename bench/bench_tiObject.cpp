// Walk, Clone and debug text of a tree of about 100,000 persistent objects.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "framework/tiObject.h"
#include "tests/framework/tiTestModel.h"

using namespace kelvado;
using namespace kelvado::testmodel;  // the leaves are the framework tests' business item

namespace {

// A node: an owning list of nodes or items, with an owned data object.
class TBNode : public TtiObjectList {
public:
  TI_CLASS(TBNode)
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { name_ = v; }
  TItem* GetData() const { return data_.get(); }
  void SetData(std::unique_ptr<TItem> d) {
    data_ = std::move(d);
    if (data_) data_->SetOwner(this);
  }
  void AssignClassProps(const TtiObject& source) override {
    TtiObjectList::AssignClassProps(source);
    const auto& s = static_cast<const TBNode&>(source);
    SetData(s.data_ ? s.data_->CloneAs<TItem>() : nullptr);
  }

private:
  std::string name_;
  std::unique_ptr<TItem> data_;
};

const TtiClass& TBNode::StaticClass() {
  static const TtiClass c(TtiClass::Of<TBNode, TtiObjectList>(), "TBNode", [](TtiPropTableBuilder<TBNode>& b) {
    b.String("Name", &TBNode::GetName, &TBNode::SetName).Object("Data", &TBNode::GetData);
  });
  return c;
}

std::string Label(const char* prefix, int i) {
  std::string s(prefix);
  s += std::to_string(i);
  return s;
}

std::unique_ptr<TItem> Item(int i) {
  auto it = std::make_unique<TItem>();
  it->SetCount(i);
  it->SetWeight(i * 0.37 + 1e-7);
  it->SetName(Label("item ", i));
  it->SetActive(i % 2 == 0);
  it->SetColour(static_cast<TColour>(i % 3));
  it->SetStamp(DateTime{45000.25 + i});
  it->GetOID().GetNextValue();
  it->SetObjectState(posClean);
  return it;
}

// root -> 100 nodes -> 10 nodes each -> data + 98 items each: 100,101 objects.
std::unique_ptr<TBNode> BuildTree() {
  auto root = std::make_unique<TBNode>();
  root->SetName("root");
  int n = 0;
  for (int a = 0; a < 100; ++a) {
    auto na = std::make_unique<TBNode>();
    na->SetName(Label("a", a));
    for (int b = 0; b < 10; ++b) {
      auto nb = std::make_unique<TBNode>();
      nb->SetName(Label("b", b));
      nb->SetData(Item(n++));
      for (int c = 0; c < 98; ++c) nb->Add(Item(n++));
      na->Add(std::move(nb));
    }
    root->Add(std::move(na));
  }
  return root;
}

class TVisCount : public TtiVisitor {
public:
  TI_CLASS(TVisCount)
  void Execute(TtiVisited* v) override {
    TtiVisitor::Execute(v);
    ++count;
  }
  int64_t count = 0;
};

const TtiClass& TVisCount::StaticClass() {
  static const TtiClass c(TtiClass::Of<TVisCount, TtiVisitor>(), "TVisCount");
  return c;
}

TBNode& Tree() {
  static std::unique_ptr<TBNode> tree = BuildTree();
  return *tree;
}

void BM_Walk(benchmark::State& state) {
  TBNode& t = Tree();
  int64_t visited = 0;
  for (auto _ : state) {
    TVisCount v;
    t.Iterate(v);
    visited = v.count;
    benchmark::DoNotOptimize(visited);
  }
  state.counters["objects"] = static_cast<double>(visited);
  state.SetItemsProcessed(state.iterations() * visited);
}
BENCHMARK(BM_Walk)->Unit(benchmark::kMillisecond);

void BM_Clone(benchmark::State& state) {
  TBNode& t = Tree();
  for (auto _ : state) {
    std::unique_ptr<TtiObject> c = t.Clone();
    benchmark::DoNotOptimize(c.get());
  }
  state.SetItemsProcessed(state.iterations() * 100101);
}
BENCHMARK(BM_Clone)->Unit(benchmark::kMillisecond);

void BM_DebugText(benchmark::State& state) {
  TBNode& t = Tree();
  size_t len = 0;
  for (auto _ : state) {
    std::string s = t.AsDebugString();
    len = s.size();
    benchmark::DoNotOptimize(s.data());
  }
  state.counters["bytes"] = static_cast<double>(len);
  state.SetItemsProcessed(state.iterations() * 100101);
}
BENCHMARK(BM_DebugText)->Unit(benchmark::kMillisecond);

void BM_CompactEquals(benchmark::State& state) {
  TBNode& t = Tree();
  static std::unique_ptr<TtiObject> copy = t.Clone();
  for (auto _ : state) {
    bool eq = t.Equals(*copy);
    benchmark::DoNotOptimize(eq);
  }
}
BENCHMARK(BM_CompactEquals)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
