#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <ibase.h>

#include "framework/tiFirebirdInternal.h"
#include "framework/tiUtils.h"
#include "platform/FileIO.h"

// Where the embedded engine of this process keeps its state: a private per-user work folder with the lock folder
// (and the room its lock tables need) and a configuration root in which the engine runs in Classic mode.

namespace kelvado {
namespace fbi {

namespace {

constexpr const char* kRootConfig =
    "# Written by KELVADO: embedded engine only, in Classic mode so that several processes can open one file.\n"
    "ServerMode = Classic\n"
    "Providers = Engine12\n"
    "UdfAccess = None\n";

// A private folder under the temporary folder: created 0700, and refused when someone else owns it or it is a
// symbolic link (someone could otherwise point our lock files elsewhere).
void EnsurePrivateDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw EtiFBException(tiFormat("Cannot create the Firebird work folder \"%s\": %s", {dir, ErrnoText()}));
  struct stat sb {};
  if (::lstat(dir.c_str(), &sb) != 0)
    throw EtiFBException(tiFormat("Cannot use the Firebird work folder \"%s\": %s", {dir, ErrnoText()}));
  if (!S_ISDIR(sb.st_mode) || sb.st_uid != ::getuid())
    throw EtiFBException(
        tiFormat("The Firebird work folder \"%s\" is not a folder owned by the current user", {dir}));
}

// The install root of the Firebird 3 engine: beside the client library (Debian: <libdir>/firebird/3.0) or one
// of the usual places. Empty when none holds the engine plugin.
std::string FindSystemRoot() {
  std::vector<std::string> candidates;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&fb::fb_get_master_interface), &info) != 0 && info.dli_fname) {
    std::string lib = info.dli_fname;
    const auto slash = lib.rfind('/');
    if (slash != std::string::npos) candidates.push_back(lib.substr(0, slash) + "/firebird/3.0");
  }
  for (const char* c : {"/usr/lib/x86_64-linux-gnu/firebird/3.0", "/usr/lib/aarch64-linux-gnu/firebird/3.0",
                        "/usr/lib/firebird/3.0", "/usr/lib64/firebird", "/opt/firebird"})
    candidates.emplace_back(c);
  for (const auto& c : candidates)
    if (FileExists(c + "/plugins/libEngine12.so")) return c;
  return {};
}

// The engine's configuration is written when it differs only: parallel processes start with the same text.
void WriteConfig(const std::string& path, const std::string& content) {
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      std::stringstream ss;
      ss << in.rdbuf();
      if (ss.str() == content) return;
    }
  }
  try {
    tiWriteFileAtomically(path, [&](const TtiByteSink& write) { write(content.data(), content.size()); });
  } catch (const Exception& e) {
    throw EtiFBException(e.Message());
  }
}

// Copies a file unless the copy has the source's size and modification time already (so an upgraded engine
// is picked up); the copy is written beside and renamed into place.
void CopyIfChanged(const std::string& src, const std::string& dst) {
  struct stat a {}, b {};
  if (::stat(src.c_str(), &a) != 0)
    throw EtiFBException(tiFormat("Cannot read the Firebird file \"%s\": %s", {src, ErrnoText()}));
  if (::stat(dst.c_str(), &b) == 0 && a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
      a.st_mtim.tv_nsec == b.st_mtim.tv_nsec)
    return;
  const std::string tmp = dst + ".tmp." + std::to_string(::getpid());
  {
    std::ifstream in(src, std::ios::binary);
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
    out.flush();
    if (!in || !out) {
      std::remove(tmp.c_str());
      throw EtiFBException(tiFormat("Cannot copy \"%s\" to \"%s\"", {src, tmp}));
    }
  }
  ::chmod(tmp.c_str(), a.st_mode & 0755);
  const struct timespec times[2] = {a.st_atim, a.st_mtim};
  ::utimensat(AT_FDCWD, tmp.c_str(), times, 0);
  if (std::rename(tmp.c_str(), dst.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw EtiFBException(tiFormat("Cannot write \"%s\": %s", {dst, ErrnoText()}));
  }
}

void LinkInto(const std::string& target, const std::string& link) {
  char buf[4096];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target) return;
  // Build the link beside and rename it over, so parallel processes never see a half-made root.
  const std::string tmp = link + ".tmp." + std::to_string(::getpid());
  ::unlink(tmp.c_str());
  if (::symlink(target.c_str(), tmp.c_str()) != 0 || std::rename(tmp.c_str(), link.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw EtiFBException(tiFormat("Cannot prepare the Firebird configuration link \"%s\": %s", {link, ErrnoText()}));
  }
}

// The configuration root this process made for the engine (empty when the caller set FIREBIRD), and the
// temporary folder it lies in.
std::string gOwnRoot;
std::string gTempFolder;

void InitEnvironmentOnce() {
  const char* lock = std::getenv("FIREBIRD_LOCK");
  const char* root = std::getenv("FIREBIRD");
  if ((lock && *lock) && (root && *root)) return;
  const std::string tmp = CanonicalTempFolder();
  const std::string base = tmp + "/kelvado-firebird-" + std::to_string(static_cast<unsigned long>(::getuid()));
  try {
    EnsurePrivateDir(base);
  } catch (const EtiFBException& e) {
    throw EtiFBException(e.Message() + " (in the temporary folder, TMPDIR)");
  }
  if (!(lock && *lock)) {
    const std::string dir = base + "/lock";
    EnsurePrivateDir(dir);
    ::setenv("FIREBIRD_LOCK", dir.c_str(), 1);
  }
  if (!(root && *root)) {
    const std::string sys = FindSystemRoot();
    if (sys.empty()) return;  // unknown install: leave the engine its own configuration
    const std::string dir = base + "/root";
    EnsurePrivateDir(dir);
    for (const char* entry : {"plugins", "firebird.msg", "plugins.conf", "lib", "UDF"})
      if (PathExists(sys + "/" + entry)) LinkInto(sys + "/" + entry, dir + "/" + entry);
    // The engine refuses a character-set module reached through a symbolic link: the module is copied.
    const std::string intl = dir + "/intl";
    struct stat sb {};
    if (::lstat(intl.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode)) ::unlink(intl.c_str());
    EnsurePrivateDir(intl);
    for (const char* entry : {"libfbintl.so", "fbintl.conf"})
      if (FileExists(sys + "/intl/" + entry)) CopyIfChanged(sys + "/intl/" + entry, intl + "/" + entry);
    WriteConfig(dir + "/firebird.conf", kRootConfig);
    ::setenv("FIREBIRD", dir.c_str(), 1);
    gOwnRoot = dir;
    gTempFolder = tmp;
  }
}

bool HasEngineCode(const fb::FbException& e, long code) {
  const intptr_t* v = e.getStatus()->getErrors();
  for (size_t i = 0; v && v[i] != isc_arg_end;) {
    if (v[i] == isc_arg_gds && v[i + 1] == code) return true;
    i += v[i] == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

std::once_flag gEnvOnce;

// The engine keeps its lock tables in files of the lock folder that it maps into memory. Those files are made
// sparse: on a full file system the first write to a page ends the process with SIGBUS. Before an attachment
// the folder must have room for them; after it, the blocks of every lock file are allocated, so pages the
// engine touches later are backed (a table that the engine grows later is not covered).
constexpr unsigned long long kLockFolderReserve = 4ull << 20;

std::string LockFolder() {
  const char* dir = std::getenv("FIREBIRD_LOCK");
  return dir ? dir : "";
}

}  // namespace

std::string CanonicalTempFolder() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string given = tmpdir && *tmpdir ? tmpdir : "/tmp";
  char* real = ::realpath(given.c_str(), nullptr);
  if (!real)
    throw EtiFBException(tiFormat("The temporary folder \"%s\" (TMPDIR) cannot be used: %s", {given, ErrnoText()}));
  std::string canonical = real;
  std::free(real);
  return canonical;
}

KeepSignalHandlers::KeepSignalHandlers() {
  sigset_t both;
  sigemptyset(&both);
  sigaddset(&both, SIGINT);
  sigaddset(&both, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &both, &savedMask_);
  ::sigaction(SIGINT, nullptr, &saved_[0]);
  ::sigaction(SIGTERM, nullptr, &saved_[1]);
}

KeepSignalHandlers::~KeepSignalHandlers() {
  ::sigaction(SIGINT, &saved_[0], nullptr);
  ::sigaction(SIGTERM, &saved_[1], nullptr);
  ::pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
}

std::string TempFolderCause(const fb::FbException& e) {
  if (gOwnRoot.empty() || !HasEngineCode(e, isc_charset_not_found)) return {};
  const std::string intl = gOwnRoot + "/intl";
  struct statvfs vs {};
  if (::statvfs(intl.c_str(), &vs) == 0 && (vs.f_flag & ST_NOEXEC))
    return tiFormat("The cause is the temporary folder \"%s\" (TMPDIR): its file system does not allow running "
                    "program code (noexec), so the engine cannot load its character sets from \"%s\". Set TMPDIR "
                    "to another folder.",
                    {gTempFolder, intl});
  return tiFormat("The cause may be the temporary folder \"%s\" (TMPDIR): the engine could not load its character "
                  "sets from \"%s\". Set TMPDIR to another folder.",
                  {gTempFolder, intl});
}

fb::IMaster* Master() {
  tiFBInitEnvironment();
  return fb::fb_get_master_interface();
}

std::string CheckLockFolder() {
  const std::string dir = LockFolder();
  if (dir.empty()) return {};
  struct statvfs vs {};
  if (::statvfs(dir.c_str(), &vs) != 0)
    return tiFormat("the Firebird lock folder \"%s\" cannot be used: %s", {dir, ErrnoText()});
  const unsigned long long freeBytes = static_cast<unsigned long long>(vs.f_bavail) * vs.f_frsize;
  if (freeBytes >= kLockFolderReserve) return {};
  return tiFormat("the Firebird lock folder \"%s\" is full (%d KB free, %d KB needed)",
                  {dir, static_cast<int64_t>(freeBytes >> 10), static_cast<int64_t>(kLockFolderReserve >> 10)});
}

std::string BackLockFiles() {
  const std::string dir = LockFolder();
  if (dir.empty()) return {};
  DIR* d = ::opendir(dir.c_str());
  if (!d) return {};
  bool full = false;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const int fd = ::openat(::dirfd(d), e->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) continue;  // not ours: another user's engine backs its own files
    struct stat sb {};
    if (::fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_size > 0 &&
        ::fallocate(fd, 0, 0, sb.st_size) != 0 && errno == ENOSPC)
      full = true;
    ::close(fd);
  }
  ::closedir(d);
  if (!full) return {};
  const std::string why = CheckLockFolder();
  return why.empty() ? tiFormat("the Firebird lock folder \"%s\" is full", {dir}) : why;
}

}  // namespace fbi

void tiFBInitEnvironment() { std::call_once(fbi::gEnvOnce, fbi::InitEnvironmentOnce); }

}  // namespace kelvado
