// Reading and replacing files: only regular files, with a bound, never hanging on a FIFO or filling memory from
// a device; atomic replacement through links, keeping the mode, refusing read-only files, for any name length.
#include "platform/FileIO.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
#include "tests/support/FileAcl.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado {
namespace {

namespace fs = std::filesystem;
using testing::AclOf;
using testing::SetAcl;

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

// A file that cannot be opened for another reason than its absence is an error, never "no file"; the bound holds
// to the byte, also for a file that holds more than its size says (as the files under /proc do).
TEST_F(FileIO, OptionalFilesFailByNameAndBoundsHoldToTheByte) {
  const std::string file = dir_ + "/plain";
  std::ofstream(file) << "0123456789";
  ASSERT_EQ(::symlink("loop-b", (dir_ + "/loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", (dir_ + "/loop-b").c_str()), 0);
  for (const std::string& unreadable : {dir_ + "/loop-a", file + "/inside"}) {
    SCOPED_TRACE(unreadable);
    EXPECT_THROW(ReadRegularFileIfExists(unreadable, 100), EFileAccess);
  }
  // No permission: root's file read by another user, or a file its owner may not read.
  const bool root = ::geteuid() == 0;
  ASSERT_EQ(::chmod(file.c_str(), root ? 0600 : 0200), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  EXPECT_EQ(InChild(
                [&] {
                  try {
                    ReadRegularFileIfExists(file, 100);
                    return 1;
                  } catch (const EFileAccess& e) {
                    return e.File() == file ? 0 : 2;
                  }
                },
                root ? kNobody : 0),
            0);

  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  EXPECT_EQ(ReadRegularFile(file, 10), "0123456789");
  const std::string status = ReadRegularFile("/proc/self/status", 1 << 20);
  ASSERT_GT(status.size(), 64u);
  try {
    ReadRegularFile("/proc/self/status", 64);
    ADD_FAILURE() << "a file that grew past the bound was cut";
  } catch (const EFileAccess& e) {
    EXPECT_EQ(e.Cause(), "it is larger than 64 bytes");
  }

  // A language file of 1 MB, its last text included.
  std::string texts;
  for (int n = 1; texts.size() < (size_t(1) << 20); ++n) texts += std::to_string(n) + "=" + std::string(100, 'x') + "\n";
  texts += "99999=the last\n";
  std::ofstream(dir_ + "/Lang_EN.txt") << texts;
  LanguageLibrary library;
  ASSERT_TRUE(library.Load(dir_ + "/Lang_EN.txt"));
  EXPECT_EQ(library.Text(99999), "the last");
}

// A replacement keeps its file's owner and group (and refuses where it could not), a new file honours the
// umask, and a folder that could not be flushed is reported.
TEST_F(FileIO, AReplacementKeepsTheOwnerANewFileTheUmaskAndAFlushThatFailsIsReported) {
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("needs root to save files of another user");
  const std::string users = dir_ + "/users";
  std::ofstream(users) << "old";
  ASSERT_EQ(::chown(users.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod(users.c_str(), 0640), 0);
  WriteFileAtomically(users, "new");
  struct stat st {};
  ASSERT_EQ(::stat(users.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kNobody);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(users), "new");

  // Root's file in a folder everyone may write: another user would take it over, and is refused.
  const std::string shared = dir_ + "/shared";
  fs::create_directories(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  std::ofstream(shared + "/roots") << "root's";
  ASSERT_EQ(::chmod((shared + "/roots").c_str(), 0666), 0);
  EXPECT_EQ(InChild(
                [&] {
                  try {
                    WriteFileAtomically(shared + "/roots", "taken over");
                    return 1;
                  } catch (const EFileAccess& e) {
                    return e.Cause().find("could not keep") != std::string::npos ? 0 : 2;
                  }
                },
                kNobody),
            0);
  EXPECT_EQ(ReadFile(shared + "/roots"), "root's");

  // New files: the umask takes its bits, whatever mode is asked for.
  EXPECT_EQ(InChild([&] {
              ::umask(027);
              WriteFileAtomically(shared + "/new", "n");
              const std::string tmp = CreateTempFileBeside(shared + "/other");
              struct stat a {}, b {};
              if (::stat((shared + "/new").c_str(), &a) != 0 || ::stat(tmp.c_str(), &b) != 0) return 1;
              return (a.st_mode & 07777) == 0640 && (b.st_mode & 07777) == 0640 ? 0 : 2;
            }),
            0);

  // A folder its user may write but not read: the file is in place, but its folder could not be flushed.
  const std::string blind = dir_ + "/blind";
  fs::create_directories(blind);
  ASSERT_EQ(::chmod(blind.c_str(), 0333), 0);
  EXPECT_EQ(InChild(
                [&] {
                  try {
                    WriteFileAtomically(blind + "/file", "content");
                    return 1;
                  } catch (const EFileAccess& e) {
                    return e.Cause().find("could not be flushed") != std::string::npos ? 0 : 2;
                  }
                },
                kNobody),
            0);
  EXPECT_EQ(ReadFile(blind + "/file"), "content");
}

// A file capability (format 2, one permitted capability): only a privileged process may set one, and a write
// to the file clears it.
const uint32_t kCapability[5] = {htole32(0x02000000), htole32(1u << 10), 0, 0, 0};

std::string AttributeOf(const std::string& file, const char* name) {
  char buf[256];
  const ssize_t n = ::getxattr(file.c_str(), name, buf, sizeof buf);
  return n < 0 ? "(none)" : std::string(buf, static_cast<size_t>(n));
}

// A replaced file is the file its users knew: its group, set-id bits, ACL and the attributes other programs
// gave it are kept, and it gets no ACL it did not have (a folder's default ACL, which the new file inherits).
TEST_F(FileIO, AReplacementKeepsGroupSetIdBitsACLAndAttributesAndGetsNoOtherACL) {
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("needs root to give a file another group and an ACL for another user");
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  // Root's own file in another group, set-group-ID as some team set-ups have it; a colleague let in by the ACL
  // alone, the group read-only under a mask that lets the colleague write.
  const std::string file = dir_ + "/team";
  std::ofstream(file) << "old";
  ASSERT_EQ(::chown(file.c_str(), 0, kNobody), 0);
  ASSERT_EQ(::chmod(file.c_str(), 02660), 0);
  ASSERT_TRUE(SetAcl(file, "u:nobody:rw-,g::r--,m::rw-"));
  ASSERT_EQ(::setxattr(file.c_str(), "user.origin", "cad", 3, 0), 0);
  ASSERT_EQ(::setxattr(file.c_str(), "security.capability", kCapability, sizeof kCapability, 0), 0);
  const std::string acl = AclOf(file);
  ASSERT_NE(acl.find("user:nobody:rw-"), std::string::npos) << acl;
  WriteFileAtomically(file, "new");
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(AttributeOf(file, "security.capability").size(), sizeof kCapability);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, kNobody);
  EXPECT_EQ(st.st_mode & 07777, 02660u);
  EXPECT_EQ(AclOf(file), acl);
  EXPECT_EQ(AttributeOf(file, "user.origin"), "cad");
  EXPECT_EQ(InChild([&] { return ::access(file.c_str(), W_OK) == 0 ? 0 : 1; }, kNobody), 0);

  // A user's own set-user-ID file, saved by the user (whose writes clear that bit).
  const std::string own = dir_ + "/own";
  fs::create_directories(own);
  ASSERT_EQ(::chown(own.c_str(), kNobody, kNobody), 0);
  std::ofstream(own + "/setuid") << "old";
  ASSERT_EQ(::chown((own + "/setuid").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chmod((own + "/setuid").c_str(), 04640), 0);
  EXPECT_EQ(InChild(
                [&] {
                  WriteFileAtomically(own + "/setuid", "new");
                  return 0;
                },
                kNobody),
            0);
  ASSERT_EQ(::stat((own + "/setuid").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04640u);

  // A file without an ACL in a folder whose default ACL lets the colleague in: it stays closed to them.
  const std::string inherits = dir_ + "/inherits";
  fs::create_directories(inherits);
  std::ofstream(inherits + "/private") << "old";
  ASSERT_EQ(::chmod((inherits + "/private").c_str(), 0640), 0);
  ASSERT_TRUE(SetAcl(inherits, "d:u:nobody:rwx"));
  const std::string none = AclOf(inherits + "/private");
  WriteFileAtomically(inherits + "/private", "new");
  EXPECT_EQ(AclOf(inherits + "/private"), none);
  EXPECT_EQ(InChild([&] { return ::access((inherits + "/private").c_str(), R_OK) == 0 ? 1 : 0; }, kNobody), 0);
}

// What a replacement cannot give the new file is not silently dropped: the replacement is refused naming it.
TEST_F(FileIO, AnAttributeTheNewFileCannotGetRefusesTheReplacement) {
  if (::geteuid() != 0) SKIP_OUTSIDE_CI("needs root to give a user's file an attribute only root may set");
  ASSERT_EQ(::chmod(dir_.c_str(), 0755), 0);
  const std::string mine = dir_ + "/nobody";
  fs::create_directories(mine);
  ASSERT_EQ(::chown(mine.c_str(), kNobody, kNobody), 0);
  const std::string file = mine + "/file";
  std::ofstream(file) << "old";
  ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::setxattr(file.c_str(), "user.origin", "cad", 3, 0), 0);
  ASSERT_EQ(::setxattr(file.c_str(), "security.capability", kCapability, sizeof kCapability, 0), 0);
  EXPECT_EQ(InChild(
                [&] {
                  try {
                    WriteFileAtomically(file, "new");
                    return 1;
                  } catch (const EFileAccess& e) {
                    return e.Cause().find("security.capability could not be kept") != std::string::npos ? 0 : 2;
                  }
                },
                kNobody),
            0);
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(AttributeOf(file, "user.origin"), "cad");
  for (const auto& e : fs::directory_iterator(mine)) EXPECT_EQ(e.path().filename(), "file");
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
