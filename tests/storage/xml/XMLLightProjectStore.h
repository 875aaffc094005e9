#pragma once
// The project-file tests' store of the XMLLight layer: real files in a folder of the test's own.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "framework/tiPerManager.h"
#include "framework/tiQueryXMLLight.h"
#include "tests/storage/xml/ProjectFileTestEnv.h"

namespace kelvado::testing {

struct TXMLLightProjectStore {
  static std::string LayerName() { return cTIPersistXMLLight; }
  void RegisterLayer() { RegisterPersistenceLayerXMLLight(); }
  // Connected with `params` (the layer's connection parameters).
  std::string NewStore(const std::string& name, const std::string& params = {}) {
    const std::string file = Dir() + "/" + name + ".xml";
    tiPerMgr().CreateDatabase(file, "zilk", "zilk", LayerName());
    tiPerMgr().ConnectDatabase(file, "zilk", "zilk", params, LayerName());
    return file;
  }
  const std::string& Dir() {
    if (dir_.empty()) {
      dir_ = ::testing::TempDir() + "kv_pflight_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name();
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directories(dir_);
    }
    return dir_;
  }
  void TearDown() {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string dir_;
};

}  // namespace kelvado::testing
