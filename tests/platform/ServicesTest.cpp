#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Url.h"
#include "platform/User.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;

TEST(MessageSink, DefaultAnswersTheDefaultAndWritesToStderrWhileARecorderCapturesEverything) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(AskYesNo("Delete", "Delete the element?", false));
  EXPECT_TRUE(AskYesNo("Delete", "Delete the block?", true));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Delete: Delete the element?"), std::string::npos) << err;
  {
    MessageRecorder rec;
    rec.AnswerWith(MsgResult::No);
    EXPECT_FALSE(AskYesNo("Q", "sure?", true));
    ShowMessage("Error", "text", MsgIcon::Warning);
    ASSERT_EQ(rec.Count(), 2u);
    EXPECT_EQ(rec.Messages()[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(rec.Messages()[0].defaultResult, MsgResult::Yes);
    EXPECT_EQ(rec.Messages()[1].icon, MsgIcon::Warning);
  }
  // The recorder is gone: the default sink is back.
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(AskYesNo("", "again", true));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "again\n");
}

class ProcessStart : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_proc_" + std::to_string(getpid());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(ProcessStart, WaitsForTheEndAndReportsHowItEnded) {
  // The child sleeps before it writes: when the call returns, the file must be there.
  const auto t0 = std::chrono::steady_clock::now();
  ProcessResult r = RunProcessAndWait("/bin/sh", {"-c", "sleep 0.3; pwd > out.txt; exit 3"}, dir_);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250));
  EXPECT_TRUE(r.started);
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exitCode, 3);
  std::string pwd;
  std::getline(std::ifstream(dir_ + "/out.txt"), pwd);
  EXPECT_EQ(fs::canonical(pwd), fs::canonical(dir_));

  r = RunProcessAndWait("/bin/sh", {"-c", "kill -TERM $$"}, "");
  EXPECT_TRUE(r.started);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.signal, SIGTERM);

  r = RunProcessAndWait(dir_ + "/no-such-program", {}, "");
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.error.find("no-such-program"), std::string::npos);
  r = RunProcessAndWait("/bin/true", {}, dir_ + "/no-such-folder");
  EXPECT_FALSE(r.started);
  EXPECT_NE(r.error.find("no-such-folder"), std::string::npos);
}

TEST(ProcessStartArgs, SplitsCommandLinesLikeTheShellWouldForQuotes) {
  EXPECT_EQ(SplitCommandLine("NOPOPUP"), std::vector<std::string>{"NOPOPUP"});
  EXPECT_EQ(SplitCommandLine("  a \"b c\"  d\"e f\"g \\\"h "),
            (std::vector<std::string>{"a", "b c", "de fg", "\"h"}));
  EXPECT_EQ(SplitCommandLine("\"\" x"), (std::vector<std::string>{"", "x"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(ProgramFolder, IsTheFolderOfTheRunningProgram) {
  EXPECT_EQ(ProgramFolder() + fs::path(ProgramFilePath()).filename().string(), ProgramFilePath());
  EXPECT_EQ(ProgramFolder().back(), '/');
}

TEST(UrlParser, SplitsAddressesAndRefusesMalformedOnes) {
  UrlParts p;
  ASSERT_TRUE(ParseUrl("HTTPS://user:pw@Example.COM:8443/a/b?x=1#top", p));
  EXPECT_EQ(p.scheme, "HTTPS");
  EXPECT_EQ(p.user, "user");
  EXPECT_EQ(p.password, "pw");
  EXPECT_EQ(p.host, "Example.COM");
  EXPECT_EQ(p.port, 8443);
  EXPECT_EQ(p.path, "/a/b");
  EXPECT_EQ(p.extra, "?x=1#top");
  ASSERT_TRUE(ParseUrl("ftp://[::1]:21", p));
  EXPECT_EQ(p.host, "[::1]");
  ASSERT_TRUE(ParseUrl("mailto:someone@example.com", p));
  EXPECT_FALSE(p.hasAuthority);
  for (const char* bad : {"", "www.example.com", "http://exa mple.com", "http://example.com/a\nb", "1http://x",
                          "http://host:99999/", "http://host:8x/", "http://ho<st/", "http://[zz]/"})
    EXPECT_FALSE(ParseUrl(bad, p)) << bad;
}

// XDG folders are absolute by their rules; a relative one (a session set up wrongly) would put the user's
// data and settings below whatever folder the program was started in. It is ignored.
TEST(UserFolders, ARelativeXdgFolderIsIgnored) {
  const char* names[] = {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "KELVADO_CONFIG_DIR", "HOME"};
  std::vector<std::optional<std::string>> saved;
  for (const char* n : names) saved.push_back(std::getenv(n) ? std::optional<std::string>(std::getenv(n)) : std::nullopt);
  ::setenv("XDG_DATA_HOME", "relative/data", 1);
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);
  ::unsetenv("KELVADO_CONFIG_DIR");
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(UserDataFolder(), "/home/someone/.local/share/kelvado");
  EXPECT_EQ(RegistryRootFolder(), "/home/someone/.config/kelvado");
  for (size_t i = 0; i < saved.size(); ++i) {
    if (saved[i]) ::setenv(names[i], saved[i]->c_str(), 1);
    else ::unsetenv(names[i]);
  }
}

TEST(LogonUser, IsTheUserOfThisProcess) {
  std::string name;
  ASSERT_TRUE(GetLogonUserName(name));
  struct passwd* pw = ::getpwuid(::getuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(name, pw->pw_name);
}

}  // namespace
}  // namespace kelvado
