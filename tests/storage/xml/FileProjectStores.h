#pragma once
// The project-file tests' stores (see ProjectFileTestEnv.h) on the layers whose stores are real files: the XML
// layer's project files and the XMLLight layer's documents, each test's files in a folder of its own.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "framework/tiPerManager.h"
#include "framework/tiQueryXML.h"
#include "framework/tiQueryXMLLight.h"

namespace kelvado::testing {

// Layer names the layer: static LayerName(), static Register(), and the files' extension cExtension.
template <class Layer>
struct TFileProjectStore {
  static std::string LayerName() { return Layer::LayerName(); }
  void RegisterLayer() { Layer::Register(); }
  std::string NewStore(const std::string& name) {
    const std::string file = Folder() + "/" + name + Layer::cExtension;
    tiPerMgr().CreateDatabase(file, "zilk", "zilk", LayerName());
    tiPerMgr().ConnectDatabase(file, "zilk", "zilk", "", LayerName());
    return file;
  }
  // The test's folder, made on first use.
  const std::string& Folder() {
    if (dir_.empty()) {
      std::string tmpl = ::testing::TempDir() + "kv-pf-XXXXXX";
      if (!::mkdtemp(tmpl.data())) ADD_FAILURE() << "can not make the folder " << tmpl;
      dir_ = tmpl;
    }
    return dir_;
  }
  void TearDown() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  std::string dir_;
};

struct TXMLLayerFiles {
  static std::string LayerName() { return cTIPersistXML; }
  static void Register() { RegisterPersistenceLayerXML(); }
  static constexpr const char* cExtension = ".kvd";
};
using TXMLProjectStore = TFileProjectStore<TXMLLayerFiles>;

struct TXMLLightLayerFiles {
  static std::string LayerName() { return cTIPersistXMLLight; }
  static void Register() { RegisterPersistenceLayerXMLLight(); }
  static constexpr const char* cExtension = ".xml";
};
using TXMLLightProjectStore = TFileProjectStore<TXMLLightLayerFiles>;

}  // namespace kelvado::testing
