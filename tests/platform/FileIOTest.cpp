// Reading and replacing files: only regular files, with a bound, never hanging on a FIFO or filling memory from
// a device; atomic replacement through links, keeping the mode, refusing read-only files, for any name length.
#include "platform/FileIO.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "platform/Clipboard.h"
#include "platform/IniFile.h"
#include "platform/LanguageLibrary.h"
#include "platform/Registry.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs `body` in a child process that an alarm ends after 10 s and that may take at most 1 GB of memory: a hang
// or a read without end fails the test instead of blocking or swamping the machine. The child's exit status
// (0: all its checks held); -1 when it ended by a signal.
int InChild(const std::function<int()>& body, uid_t uid = 0) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(10);
#if !defined(__SANITIZE_ADDRESS__)
    // (AddressSanitizer reserves far more address space than this for its own bookkeeping.)
    const rlimit mem{rlim_t(1) << 30, rlim_t(1) << 30};
    ::setrlimit(RLIMIT_AS, &mem);
#endif
    if (uid != 0 && (::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(99);
    int rc = 98;
    try {
      rc = body();
    } catch (...) {
    }
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A user that is not root, for the checks root would pass by its privileges.
constexpr uid_t kNobody = 65534;

class FileIO : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "kv_fileio_" + std::to_string(getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string dir_;
};

TEST_F(FileIO, ReadsRegularFilesUpToTheirBoundOnly) {
  const std::string file = dir_ + "/ten";
  std::ofstream(file) << "0123456789";
  EXPECT_EQ(ReadRegularFile(file, 10), "0123456789");
  try {
    ReadRegularFile(file, 9);
    ADD_FAILURE() << "a file above the bound was read";
  } catch (const EFileAccess& e) {
    EXPECT_EQ(std::string(e.what()), "Can not read the file <" + file + ">: it is larger than 9 bytes");
  }
  EXPECT_EQ(ReadRegularFileIfExists(dir_ + "/missing", 10), std::nullopt);
  EXPECT_THROW(ReadRegularFile(dir_ + "/missing", 10), EFileAccess);
  EXPECT_THROW(ReadRegularFile(dir_, 10), EFileAccess);

  ASSERT_EQ(::mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink("/dev/zero", (dir_ + "/zero").c_str()), 0);
  EXPECT_EQ(InChild([&] {
              int refused = 0;
              for (const char* name : {"/fifo", "/zero"}) {
                try {
                  ReadRegularFileIfExists(dir_ + name, INT64_MAX - 1);
                } catch (const EFileAccess& e) {
                  if (e.Cause() == "it is no regular file") ++refused;
                }
              }
              return refused == 2 ? 0 : 1;
            }),
            0);
}

// Each of them once hung on a FIFO for ever or read a link to /dev/zero until memory ran out.
TEST_F(FileIO, SettingsClipboardAndLanguageFilesRefuseFIFOsAndDevicesAtOnce) {
  FileRegistry reg(dir_ + "/reg");
  reg.WriteString("K", "a", "x");
  const std::string values = reg.ValuesFile("K");
  const std::string ini = dir_ + "/config.ini";
  const std::string board = dir_ + "/board";
  const std::string lang = dir_ + "/Lang_DE.txt";
  for (const std::string& special : {std::string("fifo"), std::string("/dev/zero")}) {
    SCOPED_TRACE(special);
    for (const std::string& f : {values, ini, board, lang}) {
      fs::remove(f);
      if (special == "fifo") ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
      else ASSERT_EQ(::symlink(special.c_str(), f.c_str()), 0);
    }
    EXPECT_EQ(InChild([&] {
                try {
                  reg.ReadString("K", "a");
                  return 1;
                } catch (const ERegistryException& e) {
                  if (std::string(e.what()).find(values) == std::string::npos) return 2;
                }
                try {
                  IniFile(ini).ReadString("s", "k", "d");
                  return 3;
                } catch (const EIniFileException& e) {
                  if (std::string(e.what()).find("no regular file") == std::string::npos) return 4;
                }
                TFileClipboard clip(board);
                if (clip.GetData(cfText) || clip.LastError().find("no regular file") == std::string::npos) return 5;
                LanguageLibrary texts;
                if (texts.Load(lang)) return 6;
                return 0;
              }),
              0);
  }
}

TEST_F(FileIO, AReplacementWritesThroughLinksKeepsTheModeAndRefusesReadOnlyFiles) {
  // Links, absolute and relative, and one to a file not there yet: the target is written, the link stays.
  fs::create_directories(dir_ + "/real");
  const std::string target = dir_ + "/real/target";
  std::ofstream(target) << "old";
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  ASSERT_EQ(::symlink(target.c_str(), (dir_ + "/abs").c_str()), 0);
  ASSERT_EQ(::symlink("real/target", (dir_ + "/rel").c_str()), 0);
  ASSERT_EQ(::symlink("real/later", (dir_ + "/dangling").c_str()), 0);
  WriteFileAtomically(dir_ + "/abs", "one");
  EXPECT_EQ(ReadFile(target), "one");
  WriteFileAtomically(dir_ + "/rel", "two");
  EXPECT_EQ(ReadFile(target), "two");
  WriteFileAtomically(dir_ + "/dangling", "three");
  EXPECT_EQ(ReadFile(dir_ + "/real/later"), "three");
  for (const char* link : {"/abs", "/rel", "/dangling"}) EXPECT_TRUE(fs::is_symlink(dir_ + link)) << link;
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Read-only for its owner: refused by name, also for root (a rename needs only the folder), and untouched.
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  try {
    WriteFileAtomically(dir_ + "/abs", "four");
    ADD_FAILURE() << "a read-only file was replaced";
  } catch (const EFileAccess& e) {
    EXPECT_EQ(std::string(e.what()), "Can not write the file <" + dir_ + "/abs>: it is read-only");
  }
  EXPECT_EQ(ReadFile(target), "two");

  // The same for a user without privileges, in a folder they may write.
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("only root can hand a file to another user");
  const std::string mine = dir_ + "/nobody";
  fs::create_directories(mine);
  std::ofstream(mine + "/file") << "kept";
  ASSERT_EQ(::chown(mine.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown((mine + "/file").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod((mine + "/file").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  EXPECT_EQ(InChild(
                [&] {
                  try {
                    WriteFileAtomically(mine + "/file", "replaced");
                    return 1;
                  } catch (const EFileAccess& e) {
                    return e.Cause() == "it is read-only" ? 0 : 2;
                  }
                },
                kNobody),
            0);
  EXPECT_EQ(ReadFile(mine + "/file"), "kept");
  for (const auto& e : fs::directory_iterator(mine)) EXPECT_EQ(e.path().filename(), "file");
}

TEST_F(FileIO, TemporaryNamesFitWhateverTheLengthOfTheTargetsName) {
  for (size_t length : {size_t(1), size_t(247), size_t(248), size_t(251), size_t(NAME_MAX)}) {
    SCOPED_TRACE(length);
    const std::string file = dir_ + "/" + std::string(length, 'n');
    WriteFileAtomically(file, "first");
    WriteFileAtomically(file, "second");
    EXPECT_EQ(ReadFile(file), "second");
    const std::string tmp = CreateTempFileBeside(file);
    EXPECT_LE(fs::path(tmp).filename().string().size(), size_t(NAME_MAX));
    EXPECT_EQ(fs::path(tmp).filename().string().front(), '.');
    PublishNewFile(tmp, dir_ + "/published");
    fs::remove(dir_ + "/published");
    fs::remove(file);
  }
  // A multi-byte character is never cut in half.
  const std::string umlauts = dir_ + "/";
  std::string name;
  while (name.size() + 2 <= NAME_MAX) name += "\xC3\xA4";
  const std::string tmpl = TempFileTemplate(umlauts + name);
  const std::string base = fs::path(tmpl).filename().string();
  EXPECT_LE(base.size(), size_t(NAME_MAX));
  EXPECT_EQ((base.size() - 1 - 7) % 2, 0u) << base;
  EXPECT_TRUE(fs::is_empty(dir_));
}

TEST_F(FileIO, ANewFileIsPublishedOnlyUnderAFreeName) {
  const std::string tmp = CreateTempFileBeside(dir_ + "/new");
  std::ofstream(tmp) << "complete";
  std::ofstream(dir_ + "/taken") << "someone else's";
  EXPECT_THROW(PublishNewFile(tmp, dir_ + "/taken"), EFileAccess);
  EXPECT_EQ(ReadFile(dir_ + "/taken"), "someone else's");
  PublishNewFile(tmp, dir_ + "/new");
  EXPECT_EQ(ReadFile(dir_ + "/new"), "complete");
  EXPECT_FALSE(fs::exists(tmp));
}

}  // namespace
}  // namespace kelvado
