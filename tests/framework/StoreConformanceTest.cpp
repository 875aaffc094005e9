// The store conformance suite run on the in-memory layer.
#include "tests/framework/StoreConformance.h"

#include "tests/framework/MemoryLayer.h"

namespace kelvado::test {

namespace {

class TMemProbe : public TStoreProbe {
public:
  explicit TMemProbe(std::string db) : db_(std::move(db)) {}
  int Starts() override { return Store().Journal.Starts; }
  int Commits() override { return Store().Journal.Commits; }
  int RollBacks() override { return Store().Journal.RollBacks; }
  void FailCommit() override { Store().Fail.Commit = true; }
  void FailRollBack() override { Store().Fail.RollBack = true; }
  void FailStartTransaction() override { Store().Fail.StartTransaction = true; }
  void FailStatementContaining(const std::string& text) override { Store().Fail.StatementContaining = text; }
  void OnCommit(std::function<void()> f) override { Store().OnCommit = std::move(f); }

private:
  TMemStore& Store() { return MemStore(db_); }
  std::string db_;
};

}  // namespace

struct TMemoryStoreUnderTest {
  static std::string LayerName() { return cMemoryLayerName; }
  void RegisterLayer() { RegisterMemoryLayer(); }
  std::string NewDatabase() {
    const std::string name = "conformance.mem";
    TMemTable t;
    t.Name = cTestTable;
    t.Columns = {"OID", "Name", "Amount"};
    MemStore(name).Tables["TESTITEM"] = t;
    return name;
  }
  std::string UserName() { return "tester"; }
  std::string Password() { return "secret"; }
  std::string ConnectParams() { return {}; }
  void TearDown() {
    probe_.reset();
    MemStoresClear();
  }
  TStoreProbe* Probe(const std::string& db) {
    if (!probe_) probe_ = std::make_unique<TMemProbe>(db);
    return probe_.get();
  }
  std::unique_ptr<TMemProbe> probe_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(Memory, StoreConformance, ::testing::Types<TMemoryStoreUnderTest>);

}  // namespace kelvado::test
