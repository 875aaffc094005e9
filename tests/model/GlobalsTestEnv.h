#pragma once
// A private settings store and config.ini per test, so tests never see the user's settings or each other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "model/GlobalsConfig.h"
#include "model/MsgStrings.h"
#include "platform/Registry.h"

namespace kelvado::testing {

class GlobalsTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_globals_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/reg");
    auto reg = std::make_unique<FileRegistry>(dir_ + "/reg");
    reg_ = reg.get();
    SetCurrentUserRegistry(std::move(reg));
    SetConfigIniFileName(dir_ + "/config.ini");
    SetUseRegistryConfig(true);
    ResetConfig();
    ReleaseMsgStrings();
  }
  void TearDown() override {
    ReleaseMsgStrings();
    SetUseRegistryConfig(true);
    SetConfigIniFileName("");
    ResetConfig();
    SetCurrentUserRegistry(nullptr);
    std::filesystem::remove_all(dir_);
  }
  std::string Key(const std::string& section) const { return ConfigBaseKey() + "\\" + section; }

  std::string dir_;
  FileRegistry* reg_ = nullptr;  // owned by the current-user slot
};

}  // namespace kelvado::testing
