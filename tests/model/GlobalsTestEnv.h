#pragma once
// A private settings store and config.ini per test, so tests never see the user's settings or each other.
#include <string>

#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {

class GlobalsTest : public SettingsTest {
protected:
  GlobalsTest() : SettingsTest("kv_globals_") {}
  void SetUp() override {
    SettingsTest::SetUp();
    SetConfigIniFileName(dir_ + "/config.ini");
    SetUseRegistryConfig(true);
  }
  void TearDown() override {
    SetUseRegistryConfig(true);
    SetConfigIniFileName("");
    SettingsTest::TearDown();
  }
  std::string Key(const std::string& section) const { return ConfigBaseKey() + "\\" + section; }
};

}  // namespace kelvado::testing
