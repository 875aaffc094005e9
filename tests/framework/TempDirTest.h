#pragma once
// A fresh folder below /tmp for each test, removed with all it holds afterwards; `file_` names the database
// file the test works on inside it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

namespace kelvado::testing {

class TempDirTest : public ::testing::Test {
protected:
  // `prefix` starts the folder's name.
  TempDirTest(std::string prefix, std::string fileName)
      : prefix_(std::move(prefix)), fileName_(std::move(fileName)) {}

  void SetUp() override {
    std::string tmpl = "/tmp/" + prefix_ + "-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    file_ = dir_ + "/" + fileName_;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  std::string dir_;
  std::string file_;

private:
  std::string prefix_;
  std::string fileName_;
};

}  // namespace kelvado::testing
