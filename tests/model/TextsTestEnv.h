#pragma once
// A private settings store and language file per test, so tests never see the user's settings or each other.
#include <unistd.h>

#include <string>

#include "tests/model/ModelTestEnv.h"

namespace kelvado::testing {

class TextsTest : public SettingsTest {
protected:
  TextsTest() : SettingsTest("kv_texts_") {}
  void SetUp() override {
    SettingsTest::SetUp();
    UseOwnLang();
  }
};

// The folder of the running test program (data files lie beside it).
inline std::string BinFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  std::string exe(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return exe.substr(0, exe.rfind('/') + 1);
}

}  // namespace kelvado::testing
