// The project-file suite on the XML layer: the stores are real files.
#include <unistd.h>

#include <filesystem>

#include "framework/tiQueryXML.h"
#include "tests/storage/xml/ProjectFileSuite.h"

namespace kelvado::testing {

struct TXMLProjectStore {
  static std::string LayerName() { return cTIPersistXML; }
  void RegisterLayer() { RegisterPersistenceLayerXML(); }
  std::string NewStore(const std::string& name) {
    if (dir_.empty()) {
      dir_ = ::testing::TempDir() + "kv_pfxml_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(dir_);
    }
    const std::string file = dir_ + "/" + name + ".kvd";
    tiPerMgr().CreateDatabase(file, "zilk", "zilk", LayerName());
    tiPerMgr().ConnectDatabase(file, "zilk", "zilk", "", LayerName());
    return file;
  }
  void TearDown() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(XML, ProjectFiles, ::testing::Types<TXMLProjectStore>);

}  // namespace kelvado::testing
