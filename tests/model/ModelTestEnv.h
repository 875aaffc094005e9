#pragma once
// What the model tests share: a private folder and settings store per test (so tests never see the user's
// settings or each other), a language file of their own, and the common part of the general-database doubles.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "model/BOMMeasures.h"
#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "model/MsgStrings.h"
#include "model/PersistenceDBAbs.h"
#include "platform/Registry.h"

namespace kelvado::testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

class SettingsTest : public ::testing::Test {
protected:
  // `prefix` starts the name of the test's folder, which also carries the process and the test.
  explicit SettingsTest(const char* prefix) : prefix_(prefix) {}

  void SetUp() override {
    dir_ = ::testing::TempDir() + prefix_ + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_ + "/reg");
    auto reg = std::make_unique<FileRegistry>(dir_ + "/reg");
    reg_ = reg.get();
    SetCurrentUserRegistry(std::move(reg));
    ResetConfig();
    ReleaseMsgStrings();
  }
  void TearDown() override {
    ReleaseMsgStrings();
    ResetConfig();
    SetCurrentUserRegistry(nullptr);
    std::filesystem::remove_all(dir_);
  }

  // Points the settings at the test's own language file (which need not exist yet).
  void UseOwnLang() {
    langPath_ = dir_ + "/Lang.txt";
    RegWriteString("lang", "lngdll", langPath_);
  }
  // Writes the language file (replacing it); the texts are seen after the next (re)load.
  void WriteLang(const std::string& content) { std::ofstream(langPath_, std::ios::binary) << content; }
  // A language file in which every text shows its number and its first three arguments ("[3272] a|b|c"), so
  // tests see what was reported: the texts 1000..1099 and 3250..lastStatusText, and "T<n>" for each of `plain`.
  void WriteNumberedLang(std::initializer_list<int> plain, int lastStatusText) {
    std::ofstream out(langPath_, std::ios::binary);
    for (int n : plain) out << n << "=T" << n << "\n";
    for (int n = 1000; n < 1100; ++n) out << n << "=[" << n << "] %s|%s|%s\n";
    for (int n = 3250; n <= lastStatusText; ++n) out << n << "=[" << n << "] %s|%s|%s\n";
  }

  // Options of section opt, read anew after ResetConfig.
  void SetOpt(const std::string& key, bool value) {
    RegWriteBool("opt", key, value);
    ResetConfig();
  }

  std::string dir_;
  std::string langPath_;
  FileRegistry* reg_ = nullptr;  // owned by the current-user slot

private:
  std::string prefix_;
};

// The part of the general database the doubles answer alike: the standard's DC and MTTFd bands (a shared bound
// belongs to the higher band), the channels per category, and nothing for the rest.
class TTestGeneralDB : public TPersistenceDB {
public:
  int channelCount[5] = {1, 1, 1, 2, 2};

  bool IsConnected() const override { return true; }
  void EmptyLibraryTables() override {}
  void Connect() override {}
  void CreateNewDatabase(const std::string&) override { throw EKelvado("not offered by the test database"); }
  void Disconnect() override {}
  TPLConditionList* GetPLConditions(TPL) override { return &plConditions_; }
  int32_t GetChannelCount(TCat cat) override { return channelCount[cat]; }
  // Table DC: [0, 0.6) none, [0.6, 0.9) low, [0.9, 0.99) medium, [0.99, 1] high.
  TDCDenotation GetDCDenotation(double dc) override {
    if (!(dc >= 0.0) || dc > 1.0) return dcForward;
    if (dc < 0.6) return dcNone;
    if (dc < 0.9) return dcLow;
    if (dc < 0.99) return dcMedium;
    return dcHigh;
  }
  double GetMinServiceLife() override { return 20.0; }
  // Table MTTFd: [3, 10) low, [10, 30) medium, from 30 high; below 3 no band.
  TMTTFdDenotation GetMTTFdDenotation(double m) override {
    if (!(m >= 3.0)) return mttfNoBand;
    if (m < 10.0) return mttfLow;
    if (m < 30.0) return mttfMedium;
    return mttfHigh;
  }
  double GetPFH(TDCDenotation, TCat, double) override { return -1.0; }
  const std::vector<std::string>& GetSFTypes() override { return sfTypes_; }
  std::string GetOpenLibFileName() override { return {}; }

private:
  TPLConditionList plConditions_;
  std::vector<std::string> sfTypes_;
};

}  // namespace kelvado::testing
