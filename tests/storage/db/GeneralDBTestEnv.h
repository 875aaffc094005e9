#pragma once
// The general database file the build puts beside the program, and the fixture of the tests that evaluate
// against it: a private settings store per test (some tests switch options) and the file checked to be there.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "model/GlobalsConfig.h"
#include "storage/db/PersistenceDB.h"
#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {

inline std::string GeneralFile() {
  return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "db" / "KELVADO_GEN_DE.FDB").string();
}

class GeneralDBTest : public SettingsTest {
protected:
  using SettingsTest::SettingsTest;
  void SetUp() override {
    SettingsTest::SetUp();
    SetUseRegistryConfig(true);
    ASSERT_TRUE(std::filesystem::exists(GeneralFile())) << GeneralFile();
  }
  // A general-database object connected to the file.
  static std::unique_ptr<TPersistenceDB_FB> ConnectGeneral() {
    auto db = std::make_unique<TPersistenceDB_FB>(GeneralFile());
    db->Connect();
    return db;
  }
};

}  // namespace kelvado::testing
