#pragma once
// A private settings store and language file per test, so tests never see the user's settings or each other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "model/GlobalsConfig.h"
#include "model/MsgStrings.h"
#include "platform/Registry.h"

namespace kelvado::testing {

class TextsTest : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_texts_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/reg");
    SetCurrentUserRegistry(std::make_unique<FileRegistry>(dir_ + "/reg"));
    ResetConfig();
    ReleaseMsgStrings();
    langPath_ = dir_ + "/Lang.txt";
    RegWriteString("lang", "lngdll", langPath_);
  }
  void TearDown() override {
    ReleaseMsgStrings();
    ResetConfig();
    SetCurrentUserRegistry(nullptr);
    std::filesystem::remove_all(dir_);
  }
  // Writes the language file (replacing it); the texts are seen after the next (re)load.
  void WriteLang(const std::string& content) { std::ofstream(langPath_, std::ios::binary) << content; }

  std::string dir_;
  std::string langPath_;
};

// The folder of the running test program (data files lie beside it).
inline std::string BinFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  std::string exe(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return exe.substr(0, exe.rfind('/') + 1);
}

}  // namespace kelvado::testing
