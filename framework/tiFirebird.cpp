#include "framework/tiFirebird.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <locale.h>
#include <sha2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <utility>

#include <firebird/Interface.h>
#include <ibase.h>

#include "framework/tiUtils.h"
#include "platform/TextCase.h"

namespace kelvado {

namespace fb = Firebird;

// ---------------------------------------------------------------------------------------------------------------
// Windows-1252 <-> UTF-8

namespace {

// Code points of the bytes 0x80..0x9F; the five undefined bytes map to their C1 control code points.
constexpr char32_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string CodePointText(char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(c));
  return buf;
}

}  // namespace

std::string tiUtf8ToWin1252(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  size_t charPos = 0;
  while (i < in.size()) {
    ++charPos;
    const auto b0 = static_cast<unsigned char>(in[i]);
    char32_t c;
    size_t len;
    if (b0 < 0x80) {
      c = b0;
      len = 1;
    } else if ((b0 & 0xE0) == 0xC0) {
      c = b0 & 0x1F;
      len = 2;
    } else if ((b0 & 0xF0) == 0xE0) {
      c = b0 & 0x0F;
      len = 3;
    } else if ((b0 & 0xF8) == 0xF0) {
      c = b0 & 0x07;
      len = 4;
    } else {
      throw EConvertError(tiFormat("Text is not valid UTF-8 (byte 0x%02X at character %d)", {b0, charPos}));
    }
    if (i + len > in.size())
      throw EConvertError(tiFormat("Text is not valid UTF-8 (truncated character at position %d)", {charPos}));
    for (size_t k = 1; k < len; ++k) {
      const auto b = static_cast<unsigned char>(in[i + k]);
      if ((b & 0xC0) != 0x80)
        throw EConvertError(tiFormat("Text is not valid UTF-8 (bad byte 0x%02X at character %d)", {b, charPos}));
      c = (c << 6) | (b & 0x3F);
    }
    static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      throw EConvertError(tiFormat("Text is not valid UTF-8 (bad sequence at character %d)", {charPos}));
    i += len;
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      out += static_cast<char>(c);
      continue;
    }
    const char32_t* hit = std::find(std::begin(kHigh), std::end(kHigh), c);
    if (hit == std::end(kHigh))
      throw EConvertError(tiFormat("The character %s at position %d cannot be stored: the database holds "
                                   "Windows-1252 text only",
                                   {CodePointText(c), charPos}));
    out += static_cast<char>(0x80 + (hit - std::begin(kHigh)));
  }
  return out;
}

std::string tiWin1252ToUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size() + in.size() / 8);
  for (char ch : in) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80)
      out += ch;
    else if (b < 0xA0)
      AppendUtf8(out, kHigh[b - 0x80]);
    else
      AppendUtf8(out, b);
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------------------
// Database names and lost connections

bool tiFBIsServerName(const std::string& name) {
  const std::string lower = LowerAscii(name.substr(0, std::min<size_t>(name.size(), 8)));
  for (const char* protocol : {"inet://", "inet4://", "inet6://", "xnet://", "wnet://"})
    if (lower.rfind(protocol, 0) == 0) return true;
  auto isAlnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  // After the host: ":" alone, or "/" and a port number or service name, then ":".
  auto portThenColon = [&](size_t k) {
    if (k < name.size() && name[k] == ':') return true;
    if (k >= name.size() || name[k] != '/') return false;
    const size_t start = ++k;
    while (k < name.size() && (isAlnum(name[k]) || name[k] == '_' || name[k] == '-')) ++k;
    return k > start && k < name.size() && name[k] == ':';
  };
  if (!name.empty() && name[0] == '[') {  // an IPv6 address: "[::1]:/path", "[::1]/3051:/path"
    const size_t close = name.find(']');
    if (close == std::string::npos || close == 1) return false;
    for (size_t k = 1; k < close; ++k)
      if (!std::isxdigit(static_cast<unsigned char>(name[k])) && name[k] != ':' && name[k] != '.') return false;
    return portThenColon(close + 1);
  }
  if (name.empty() || !isAlnum(name[0])) return false;
  size_t end = 0;
  while (end < name.size() && (isAlnum(name[end]) || name[end] == '.' || name[end] == '-' || name[end] == '_'))
    ++end;
  // A single letter is a drive, as in "C:\Libs\x.klb" (a name written on Windows).
  if (end == 1 && end < name.size() && name[end] == ':') return false;
  return portThenColon(end);
}

bool EtiFBException::ConnectionLost() const noexcept {
  switch (errorCode_) {
    case isc_network_error:
    case isc_net_read_err:
    case isc_net_write_err:
    case isc_lost_db_connection:
    case isc_conn_lost:
    case isc_att_shutdown:
    case isc_shutdown:
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Environment of the embedded engine

namespace {

constexpr unsigned kCharSetWin1252 = 53;
constexpr unsigned kCharSetOctets = 1;
constexpr const char* kEngineConfig = "Providers=Engine12";
// A name with a server part goes to the server only, never to the embedded engine.
constexpr const char* kServerConfig = "Providers=Remote";
constexpr const char* kRootConfig =
    "# Written by KELVADO: embedded engine only, in Classic mode so that several processes can open one file.\n"
    "ServerMode = Classic\n"
    "Providers = Engine12\n"
    "UdfAccess = None\n";

std::string ErrnoText() { return std::strerror(errno); }

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

bool FileExists(const std::string& p) {
  struct stat sb {};
  return ::stat(p.c_str(), &sb) == 0;
}

// The folder part of a file name (with its "/", empty for a name without folder) and the name in it.
std::pair<std::string, std::string> SplitFolder(const std::string& fileName) {
  const auto slash = fileName.rfind('/');
  if (slash == std::string::npos) return {std::string(), fileName};
  return {fileName.substr(0, slash + 1), fileName.substr(slash + 1)};
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

void WriteFileAtomically(const std::string& path, const std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::stringstream ss;
    ss << in.rdbuf();
    if (ss.str() == content) return;
  }
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << content;
    out.flush();
    if (!out) throw EtiFBException(tiFormat("Cannot write \"%s\"", {tmp}));
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    throw EtiFBException(tiFormat("Cannot write \"%s\": %s", {path, ErrnoText()}));
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

void InitEnvironmentOnce() {
  const char* tmpdir = std::getenv("TMPDIR");
  const std::string base = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/kelvado-firebird-" +
                           std::to_string(static_cast<unsigned long>(::getuid()));
  const char* lock = std::getenv("FIREBIRD_LOCK");
  const char* root = std::getenv("FIREBIRD");
  if ((lock && *lock) && (root && *root)) return;
  EnsurePrivateDir(base);
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
      if (FileExists(sys + "/" + entry)) LinkInto(sys + "/" + entry, dir + "/" + entry);
    // The engine refuses a character-set module reached through a symbolic link: the module is copied.
    const std::string intl = dir + "/intl";
    struct stat sb {};
    if (::lstat(intl.c_str(), &sb) == 0 && S_ISLNK(sb.st_mode)) ::unlink(intl.c_str());
    EnsurePrivateDir(intl);
    for (const char* entry : {"libfbintl.so", "fbintl.conf"})
      if (FileExists(sys + "/intl/" + entry)) CopyIfChanged(sys + "/intl/" + entry, intl + "/" + entry);
    WriteFileAtomically(dir + "/firebird.conf", kRootConfig);
    ::setenv("FIREBIRD", dir.c_str(), 1);
  }
}

std::once_flag gEnvOnce;

fb::IMaster* Master() {
  tiFBInitEnvironment();
  return fb::fb_get_master_interface();
}

// Owns one reference to an engine interface and releases it when it goes. A call that frees the interface
// itself when it succeeds (detach, close, commit, rollback, dropDatabase) is followed by Consumed(); when such a
// call fails, the holder still releases the reference. Move-only.
template <class T>
class FbRef {
public:
  FbRef() = default;
  explicit FbRef(T* p) noexcept : p_(p) {}
  FbRef(FbRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  FbRef& operator=(FbRef&& o) noexcept {
    if (this != &o) reset(std::exchange(o.p_, nullptr));
    return *this;
  }
  FbRef(const FbRef&) = delete;
  FbRef& operator=(const FbRef&) = delete;
  ~FbRef() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset(T* p = nullptr) noexcept {
    if (p_) p_->release();
    p_ = p;
  }
  // The interface freed itself: forget it without releasing.
  void Consumed() noexcept { p_ = nullptr; }

private:
  T* p_ = nullptr;
};

// One status object per call, disposed at scope end.
struct Status {
  fb::ThrowStatusWrapper w;
  Status() : w(Master()->getStatus()) {}
  ~Status() { w.dispose(); }
  fb::ThrowStatusWrapper* operator&() { return &w; }
};

std::string EngineText(const fb::FbException& e) {
  char buf[4096];
  Master()->getUtilInterface()->formatStatus(buf, sizeof buf, e.getStatus());
  std::string s = buf;
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

long EngineCode(const fb::FbException& e) {
  const intptr_t* v = e.getStatus()->getErrors();
  return (v && v[0] == isc_arg_gds) ? static_cast<long>(v[1]) : 0;
}

std::string Shorten(const std::string& s, size_t max = 300) {
  std::string t = s;
  std::replace(t.begin(), t.end(), '\n', ' ');
  std::replace(t.begin(), t.end(), '\r', ' ');
  if (t.size() > max) t = t.substr(0, max) + "...";
  return t;
}

class XpbGuard {
public:
  explicit XpbGuard(fb::IXpbBuilder* b) : b_(b) {}
  ~XpbGuard() {
    if (b_) b_->dispose();
  }
  fb::IXpbBuilder* operator->() const { return b_; }
  fb::IXpbBuilder* get() const { return b_; }

private:
  fb::IXpbBuilder* b_;
};

// Attachment parameters shared by connect, create and mode switches.
fb::IXpbBuilder* NewDpb(Status& st, const std::string& fileName, const std::string& user,
                        const std::string& password) {
  fb::IXpbBuilder* dpb = Master()->getUtilInterface()->getXpbBuilder(&st, fb::IXpbBuilder::DPB, nullptr, 0);
  dpb->insertString(&st, isc_dpb_user_name, user.empty() ? "SYSDBA" : user.c_str());
  if (!password.empty()) dpb->insertString(&st, isc_dpb_password, password.c_str());
  dpb->insertString(&st, isc_dpb_lc_ctype, "WIN1252");
  dpb->insertString(&st, isc_dpb_config, tiFBIsServerName(fileName) ? kServerConfig : kEngineConfig);
  dpb->insertTag(&st, isc_dpb_utf8_filename);  // the file name is UTF-8, not Windows-1252 like the texts
  return dpb;
}

// The engine turns a UTF-8 file name into the system's encoding as the calling thread's character locale names
// it; a program that never called setlocale runs in the "C" locale, in which "ü" has no encoding at all. File
// names on Linux are bytes, and ours are UTF-8 whatever the locale: the engine's calls that take a file name run
// in a UTF-8 character locale of this thread only.
class Utf8FileNames {
public:
  Utf8FileNames() {
    static const locale_t utf8 = [] {
      for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
        if (locale_t l = ::newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(0))) return l;
      return static_cast<locale_t>(0);
    }();
    if (utf8) previous_ = ::uselocale(utf8);
  }
  ~Utf8FileNames() {
    if (previous_) ::uselocale(previous_);
  }
  Utf8FileNames(const Utf8FileNames&) = delete;
  Utf8FileNames& operator=(const Utf8FileNames&) = delete;

private:
  locale_t previous_ = static_cast<locale_t>(0);
};

// The engine keeps its lock tables in files of the lock folder that it maps into memory. Those files are made
// sparse: on a full file system the first write to a page ends the process with SIGBUS. Before an attachment
// the folder must have room for them; after it, the blocks of every lock file are allocated, so pages the
// engine touches later are backed (a table that the engine grows later is not covered).
constexpr unsigned long long kLockFolderReserve = 4ull << 20;

std::string LockFolder() {
  const char* dir = std::getenv("FIREBIRD_LOCK");
  return dir ? dir : "";
}

// Empty when the lock folder has room, else why not.
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

// Empty when every lock file now has its blocks, else why not.
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

// Attaches to the file (create: makes it) through the engine's dispatcher, which is released either way.
// `action` ("open database "x"") starts the messages of this layer's own refusals.
FbRef<fb::IAttachment> OpenAttachment(Status& st, const std::string& fileName, const XpbGuard& dpb, bool create,
                                      const std::string& action) {
  // The lock tables belong to the engine that opens the file: on a server, the server's.
  const bool local = !tiFBIsServerName(fileName);
  if (const std::string problem = local ? CheckLockFolder() : std::string(); !problem.empty())
    throw EtiFBException(tiFormat("Cannot %s: %s", {action, problem}));
  const FbRef<fb::IProvider> prov(Master()->getDispatcher());
  FbRef<fb::IAttachment> att;
  {
    Utf8FileNames utf8;
    att.reset(create
                  ? prov->createDatabase(&st, fileName.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st))
                  : prov->attachDatabase(&st, fileName.c_str(), dpb->getBufferLength(&st), dpb->getBuffer(&st)));
  }
  if (const std::string problem = local ? BackLockFiles() : std::string(); !problem.empty()) {
    try {
      att->detach(&st);
      att.Consumed();
    } catch (const fb::FbException&) {
      // The holder releases the attachment; the lock folder is what gets reported.
    }
    throw EtiFBException(tiFormat("Cannot %s: %s", {action, problem}));
  }
  return att;
}

// Creating the file or switching its mode happens on the way in; the attachment is closed again at once.
void AttachOnce(Status& st, const std::string& fileName, const XpbGuard& dpb, bool create,
                const std::string& action) {
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, create, action);
  att->detach(&st);
  att.Consumed();
}

// ---- tidying after a writer that ended in the middle of a write ----
// See TtiFBDatabase: a marker beside the file says a writer is attached; one found by the next writer says the
// last one died. Firebird's validation then releases the pages the dead transaction had taken. It leaves them
// while anything else is amiss: pointer pages it corrects in the same pass (the pages follow in the next), and
// an index page split the writer had not finished (a page the index's upper level does not know yet), which
// only rebuilding the index clears.

std::atomic<int64_t> gInterruptedWriteRepairs{0};

// Passes before a file counts as not mendable; after a kill it takes two or three, as only a pass that finds
// nothing shows the file clean.
constexpr int kRepairPasses = 5;

struct ValidationFindings {
  int64_t errors = 0;
  int64_t warnings = 0;
  int64_t ofIndices = 0;  // errors and warnings on index pages
  bool Clean() const { return errors == 0 && warnings == 0; }
};

// One pass of Firebird's validation of every page and record, as "gfix -v -full" runs it: an exclusive
// attachment that validates the file on the way in and mends what is safe to mend (orphan pages released,
// pointer pages corrected; records are never touched), then answers how many errors and warnings it found.
ValidationFindings ValidateOnce(const std::string& fileName, const std::string& user, const std::string& password,
                                const std::string& action) {
  Status st;
  XpbGuard dpb(NewDpb(st, fileName, user, password));
  dpb->insertInt(&st, isc_dpb_verify, isc_dpb_pages | isc_dpb_records);
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, false, action);
  static const unsigned char kErrors[] = {isc_info_page_errors,  isc_info_record_errors, isc_info_bpage_errors,
                                          isc_info_dpage_errors, isc_info_ipage_errors,  isc_info_ppage_errors,
                                          isc_info_tpage_errors, fb_info_pip_errors};
  static const unsigned char kWarnings[] = {fb_info_page_warns,  fb_info_record_warns, fb_info_bpage_warns,
                                            fb_info_dpage_warns, fb_info_ipage_warns,  fb_info_ppage_warns,
                                            fb_info_tpage_warns, fb_info_pip_warns};
  std::vector<unsigned char> items(std::begin(kErrors), std::end(kErrors));
  items.insert(items.end(), std::begin(kWarnings), std::end(kWarnings));
  items.push_back(isc_info_end);
  unsigned char answer[512] = {};
  att->getInfo(&st, static_cast<unsigned>(items.size()), items.data(), sizeof answer, answer);
  att->detach(&st);
  att.Consumed();
  ValidationFindings found;
  size_t answered = 0;
  for (const unsigned char* p = answer; p + 3 <= std::end(answer) && *p != isc_info_end;) {
    const unsigned char item = *p;
    const auto length = static_cast<size_t>(isc_portable_integer(p + 1, 2));
    if (p + 3 + length > std::end(answer)) break;
    const int64_t count = isc_portable_integer(p + 3, static_cast<short>(length));
    if (std::find(std::begin(kErrors), std::end(kErrors), item) != std::end(kErrors)) {
      found.errors += count;
      ++answered;
    } else if (std::find(std::begin(kWarnings), std::end(kWarnings), item) != std::end(kWarnings)) {
      found.warnings += count;
      ++answered;
    }
    if (item == isc_info_ipage_errors || item == fb_info_ipage_warns) found.ofIndices += count;
    p += 3 + length;
  }
  // An answer that lacks a count cannot show the file clean.
  if (answered != items.size() - 1) ++found.errors;
  return found;
}

// Rebuilds every active index of the file's own tables (ALTER INDEX ... ACTIVE on an active index builds it
// anew from the rows), in one transaction: the old index pages are released, unfinished splits included.
void RebuildIndices(const std::string& fileName, const std::string& user, const std::string& password,
                    const std::string& action) {
  static const char* const kRebuild =
      "EXECUTE BLOCK AS DECLARE name CHAR(31); BEGIN "
      "FOR SELECT RDB$INDEX_NAME FROM RDB$INDICES "
      "WHERE COALESCE(RDB$SYSTEM_FLAG, 0) = 0 AND COALESCE(RDB$INDEX_INACTIVE, 0) = 0 INTO :name "
      "DO EXECUTE STATEMENT 'ALTER INDEX \"' || REPLACE(TRIM(name), '\"', '\"\"') || '\" ACTIVE'; END";
  Status st;
  XpbGuard dpb(NewDpb(st, fileName, user, password));
  FbRef<fb::IAttachment> att = OpenAttachment(st, fileName, dpb, false, action);
  FbRef<fb::ITransaction> tra(att->startTransaction(&st, 0, nullptr));
  att->execute(&st, tra.get(), 0, kRebuild, 3, nullptr, nullptr, nullptr, nullptr);
  tra->commit(&st);
  tra.Consumed();
  att->detach(&st);
  att.Consumed();
}

// Validates the file until a pass finds it clean, rebuilding the indices once when a pass finds them amiss.
// Raises EtiFBException naming the file when the engine cannot do it or the file stays unclean; all of it
// mends only what is safe to mend, so the file is never left worse.
void RepairInterruptedWrite(const std::string& fileName, const std::string& user, const std::string& password) {
  ++gInterruptedWriteRepairs;
  const std::string what = "database \"" + fileName + "\"";
  const std::string action = "open " + what;
  const std::string why = "its last writer ended in the middle of a write, and Firebird's validation of the file";
  ValidationFindings found;
  bool rebuilt = false;
  for (int pass = 0; pass < kRepairPasses; ++pass) {
    try {
      found = ValidateOnce(fileName, user, password, action);
      if (found.Clean()) return;
      if (found.ofIndices > 0 && !rebuilt) {
        RebuildIndices(fileName, user, password, action);
        rebuilt = true;
      }
    } catch (const fb::FbException& e) {
      throw EtiFBException(tiFormat("Cannot open %s: %s failed:\n%s", {what, why, EngineText(e)}), EngineCode(e));
    }
  }
  throw EtiFBException(tiFormat("Cannot open %s: %s finds damage that it may not mend (errors: %d, warnings: %d; "
                                "\"gfix -v -full\" lists them)",
                                {what, why, found.errors, found.warnings}),
                       isc_io_error);
}

// Makes the marker, durably (its folder synced), before the writer touches the file. False when the folder
// does not allow it (read-only, full): the file is written without the marker then.
bool CreateWriteMarker(const std::string& marker) {
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0666);
  if (fd < 0) return false;
  static const char kText[] =
      "KELVADO is writing the database file beside this one. Left behind by a program that ended in the middle "
      "of a write, it makes the next writer check the file first.\n";
  const bool written = ::write(fd, kText, sizeof kText - 1) == static_cast<ssize_t>(sizeof kText - 1);
  ::close(fd);
  const std::string folder = SplitFolder(marker).first;
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = dir >= 0 && ::fsync(dir) == 0;
  if (dir >= 0) ::close(dir);
  if (written && synced) return true;
  ::unlink(marker.c_str());
  return false;
}

// ---- one writer per file, across processes ----
// An open-file-description lock (F_OFD_SETLK) on a descriptor of our own: independent of the engine's flock()
// on its descriptor, tied to no other descriptor of the process (closing one of the engine's does not drop
// it), not inherited through exec (O_CLOEXEC) and dropped by the kernel when the process ends. One lock per
// file and process, counted by the attachments that use it.
struct FileLock {
  dev_t dev = 0;
  ino_t ino = 0;
  int fd = -1;
  bool writable = false;  // fd is open for writing (needed for an exclusive lock)
  int readers = 0;
  int writers = 0;
  std::string marker;       // of the writers (tiFBWriteMarkerName)
  bool ownsMarker = false;  // removed when the last writer leaves cleanly
};

// Never destroyed: an attachment may still close while static objects are torn down at exit.
struct FileLocks {
  std::mutex mutex;
  std::vector<FileLock> locks;
  std::vector<FileLock>::iterator Find(dev_t dev, ino_t ino) {
    return std::find_if(locks.begin(), locks.end(), [&](const FileLock& l) { return l.dev == dev && l.ino == ino; });
  }
};
FileLocks& TheFileLocks() {
  static FileLocks* const locks = new FileLocks;
  return *locks;
}

bool SetFileLock(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

std::string LockRefusal(const std::string& action, int err) {
  if (err == EAGAIN || err == EACCES)
    return tiFormat("Cannot %s: the file is in use by another program", {action});
  return tiFormat("Cannot %s: the file cannot be locked against other programs: %s", {action, std::strerror(err)});
}

// Held by an attachment of this layer; see FileLock.
class FileLease {
public:
  FileLease() = default;
  FileLease(const FileLease&) = delete;
  FileLease& operator=(const FileLease&) = delete;
  ~FileLease() { Release(); }

  // Exclusive when `write` and the file may be written, else shared. `action` starts the messages. With
  // `repair`, the process's first writer keeps the write marker, and calls `repair` first when it finds one
  // left over while no other attachment of the process holds the file (under the locks' mutex: no attachment
  // of another thread comes in meanwhile).
  void Acquire(const std::string& fileName, bool write, const std::string& action,
               const std::function<void()>& repair = nullptr) {
    Release();
    int fd = ::open(fileName.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    bool writable = fd >= 0;
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
      fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw EtiFBException(tiFormat("Cannot %s: %s", {action, ErrnoText()}), isc_io_error);
    struct stat sb {};
    if (::fstat(fd, &sb) != 0) {
      const int err = errno;
      ::close(fd);
      throw EtiFBException(tiFormat("Cannot %s: %s", {action, std::strerror(err)}), isc_io_error);
    }
    // A file nobody may write is only read (root could open it for writing all the same).
    if ((sb.st_mode & 0222) == 0) writable = false;
    FileLocks& all = TheFileLocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.Find(sb.st_dev, sb.st_ino);
    if (it != all.locks.end()) {
      ::close(fd);
      exclusive_ = write && it->writable;
      if (exclusive_ && it->writers == 0) {
        if (!SetFileLock(it->fd, F_WRLCK)) throw EtiFBException(LockRefusal(action, errno));
        // Readers of this process hold the file: a marker left over waits for a writer that comes alone.
        if (repair) EnterWriteMarker(*it, fileName, nullptr);
      }
      ++(exclusive_ ? it->writers : it->readers);
    } else {
      exclusive_ = write && writable;
      if (!SetFileLock(fd, exclusive_ ? F_WRLCK : F_RDLCK)) {
        const int err = errno;
        ::close(fd);
        throw EtiFBException(LockRefusal(action, err));
      }
      FileLock l;
      l.dev = sb.st_dev;
      l.ino = sb.st_ino;
      l.fd = fd;
      l.writable = writable;
      if (exclusive_ && repair) {
        TtiUndoUnlessDone unlock([fd]() noexcept { ::close(fd); });
        EnterWriteMarker(l, fileName, repair);
        unlock.Done();
      }
      (exclusive_ ? l.writers : l.readers) = 1;
      all.locks.push_back(l);
    }
    dev_ = sb.st_dev;
    ino_ = sb.st_ino;
    held_ = true;
  }

  // `clean`: the attachment detached as it should (else a marker stays for the next writer to check the file).
  void Release(bool clean = true) noexcept {
    if (!held_) return;
    held_ = false;
    FileLocks& all = TheFileLocks();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.Find(dev_, ino_);
    if (it == all.locks.end()) return;
    --(exclusive_ ? it->writers : it->readers);
    if (exclusive_ && !clean) it->ownsMarker = false;
    // Before the lock goes: the next writer may make its own marker at once.
    if (exclusive_ && it->writers == 0 && it->ownsMarker) {
      ::unlink(it->marker.c_str());
      it->ownsMarker = false;
    }
    if (it->writers + it->readers == 0) {
      ::close(it->fd);
      all.locks.erase(it);
    } else if (exclusive_ && it->writers == 0) {
      SetFileLock(it->fd, F_RDLCK);  // the readers left keep their share
    }
  }

private:
  // The first writer of the process: a marker left over is repaired (with `repair`, when given) and then kept,
  // else it stays for a later writer; without one, one is made.
  static void EnterWriteMarker(FileLock& l, const std::string& fileName, const std::function<void()>& repair) {
    l.marker = tiFBWriteMarkerName(fileName);
    struct stat sb {};
    if (::lstat(l.marker.c_str(), &sb) != 0) {
      l.ownsMarker = CreateWriteMarker(l.marker);
    } else if (repair) {
      repair();
      l.ownsMarker = true;
    } else {
      l.ownsMarker = false;
    }
  }

  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool exclusive_ = false;
  bool held_ = false;
};

// Hands the blob to `use` and closes it; when either fails, the blob is released instead.
template <class Use>
void UseBlob(Status& st, fb::IBlob* opened, Use&& use) {
  FbRef<fb::IBlob> blob(opened);
  use(blob.get());
  blob->close(&st);
  blob.Consumed();
}

std::string NumberText(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Date-times travel as days since 1899-12-30; the engine counts days since 1858-11-17 and time in 1/10000 s.
constexpr int kDateOffset = 15018;
constexpr double kTicksPerDay = 864000000.0;

double IscToDateTime(ISC_DATE d, ISC_TIME t) { return static_cast<double>(d - kDateOffset) + t / kTicksPerDay; }

void DateTimeToIsc(double dt, ISC_DATE& d, ISC_TIME& t) {
  double days = std::floor(dt);
  auto ticks = static_cast<long long>(std::llround((dt - days) * kTicksPerDay));
  if (ticks >= static_cast<long long>(kTicksPerDay)) {
    days += 1;
    ticks -= static_cast<long long>(kTicksPerDay);
  }
  d = static_cast<ISC_DATE>(days) + kDateOffset;
  t = static_cast<ISC_TIME>(ticks);
}

}  // namespace

void tiFBInitEnvironment() { std::call_once(gEnvOnce, InitEnvironmentOnce); }

std::string tiFBWriteMarkerName(const std::string& dbFile) {
  // Beside the file itself, whichever name or link leads to it.
  std::string file = dbFile;
  if (char* real = ::realpath(dbFile.c_str(), nullptr)) {
    file = real;
    std::free(real);
  }
  const auto [folder, base] = SplitFolder(file);
  return folder + "." + base + ".writing";
}

int64_t tiFBInterruptedWriteRepairs() { return gInterruptedWriteRepairs.load(); }

// ---------------------------------------------------------------------------------------------------------------
// Digests of shipped database files

std::string tiFBDigestFileName(const std::string& dbFile) { return dbFile + ".sha256"; }

std::string tiFBFileDigest(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw EtiFBException(tiFormat("Cannot read \"%s\": %s", {file, ErrnoText()}), isc_io_error);
  SHA2_CTX ctx;
  SHA256Init(&ctx);
  std::vector<uint8_t> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw EtiFBException(tiFormat("Cannot read \"%s\": %s", {file, std::strerror(err)}), isc_io_error);
    }
    SHA256Update(&ctx, buf.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256Final(digest, &ctx);
  static const char* const kHex = "0123456789abcdef";
  std::string hex;
  for (uint8_t b : digest) {
    hex += kHex[b >> 4];
    hex += kHex[b & 15];
  }
  return hex;
}

void tiFBRecordDigest(const std::string& dbFile) {
  const std::string base = SplitFolder(dbFile).second;
  WriteFileAtomically(tiFBDigestFileName(dbFile), tiFBFileDigest(dbFile) + "  " + base + "\n");
}

void tiFBCheckDigest(const std::string& dbFile) {
  const std::string digestFile = tiFBDigestFileName(dbFile);
  std::ifstream in(digestFile, std::ios::binary);
  std::string recorded;
  if (!(in >> recorded))
    throw EtiFBException(tiFormat("Cannot check database \"%s\": its digest file \"%s\" is missing or empty",
                                  {dbFile, digestFile}),
                         isc_io_error);
  if (tiFBFileDigest(dbFile) != recorded)
    throw EtiFBException(tiFormat("The database file \"%s\" is damaged: its content differs from the digest "
                                  "recorded when it was built (\"%s\")",
                                  {dbFile, digestFile}),
                         isc_io_error);
}

// ---------------------------------------------------------------------------------------------------------------
// Database

struct TtiFBTransaction::Impl {
  FbRef<fb::ITransaction> tra;
};

struct TtiFBDatabase::Impl {
  FbRef<fb::IAttachment> att;
  FileLease lease;
  std::vector<TtiFBTransaction*> transactions;
  std::vector<TtiFBStatement*> statements;
};

TtiFBDatabase::TtiFBDatabase() : impl_(std::make_unique<Impl>()), userName_("SYSDBA") {}

TtiFBDatabase::TtiFBDatabase(std::string databaseName, std::string userName, std::string password)
    : impl_(std::make_unique<Impl>()),
      databaseName_(std::move(databaseName)),
      userName_(std::move(userName)),
      password_(std::move(password)) {}

TtiFBDatabase::~TtiFBDatabase() {
  try {
    Disconnect();
  } catch (...) {
    // A failing detach at destruction has nobody to report to; the engine drops the attachment with the process.
  }
  for (auto* t : impl_->transactions) {
    t->Detach();
    t->orphaned_ = true;
  }
  for (auto* s : impl_->statements) {
    s->ReleaseHandles();
    s->orphaned_ = true;
  }
}

void TtiFBDatabase::SetDatabaseName(std::string v) {
  if (Connected()) throw EtiFBException(tiFormat("Cannot rename %s while it is connected", {Describe()}));
  databaseName_ = std::move(v);
}

std::string TtiFBDatabase::Describe() const { return "database \"" + databaseName_ + "\""; }

bool TtiFBDatabase::Connected() const { return static_cast<bool>(impl_->att); }

void TtiFBDatabase::SetReadOnlyAccess(bool v) {
  if (Connected())
    throw EtiFBException(tiFormat("Cannot change the access to %s while it is connected", {Describe()}));
  readOnlyAccess_ = v;
}

void TtiFBDatabase::Connect() {
  if (Connected()) Disconnect();
  if (databaseName_.empty()) throw EtiFBException("Cannot open a database: no file name given");
  const std::string action = "open " + Describe();
  // The lock is for local files only: a server opens its file alone and serializes its clients itself, and the
  // file is not on this machine (see the class comment).
  if (!tiFBIsServerName(databaseName_)) {
    if (!FileExists(databaseName_))
      throw EtiFBException(tiFormat("Cannot open %s: the file does not exist", {Describe()}), isc_io_error);
    impl_->lease.Acquire(databaseName_, !readOnlyAccess_, action,
                         [this] { RepairInterruptedWrite(databaseName_, userName_, password_); });
  }
  // The file stays locked only while it is attached.
  TtiUndoUnlessDone unlock([this]() noexcept { impl_->lease.Release(); });
  Status st;
  try {
    XpbGuard dpb(NewDpb(st, databaseName_, userName_, password_));
    // A writer's page cache holds the indices of a large library (random identifiers touch any page of them);
    // the engine's default of 256 pages made each insert evict and write pages again.
    if (!readOnlyAccess_) dpb->insertInt(&st, isc_dpb_num_buffers, 8192);
    impl_->att = OpenAttachment(st, databaseName_, dpb, false, action);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot open %s:\n%s", {Describe(), EngineText(e)}), EngineCode(e));
  }
  unlock.Done();
}

void TtiFBDatabase::Disconnect() {
  if (!impl_->att) return;
  for (auto* s : impl_->statements) s->ReleaseHandles();
  for (auto* t : impl_->transactions)
    if (t->Active()) {
      try {
        t->RollBack();
      } catch (const Exception&) {
        t->Detach();
      }
    }
  Status st;
  try {
    impl_->att->detach(&st);
    impl_->att.Consumed();
    impl_->lease.Release();
  } catch (const fb::FbException& e) {
    impl_->att.reset();
    impl_->lease.Release(false);
    throw EtiFBException(tiFormat("Cannot close %s:\n%s", {Describe(), EngineText(e)}), EngineCode(e));
  }
}

namespace {

// A name beside `fileName` (same folder, so the move into place is a rename) that no file has.
std::string TemporaryNameBeside(const std::string& fileName) {
  static std::atomic<unsigned> counter{0};
  const auto [folder, base] = SplitFolder(fileName);
  for (;;) {
    const std::string name = folder + "." + base + "." + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1)) + ".tmp";
    if (!FileExists(name)) return name;
  }
}

// Moves a finished file into place, never over an existing file; the error says why not.
std::string MoveIntoPlace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return {};
  if (errno == EEXIST) return "the file exists already";
  if (errno != EINVAL && errno != ENOSYS) return ErrnoText();
  // The file system cannot rename without replacing: a hard link refuses an existing name just as well.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return {};
  }
  return errno == EEXIST ? "the file exists already" : ErrnoText();
}

}  // namespace

void TtiFBDatabase::CreateDatabase(const std::string& fileName, const std::string& userName,
                                   const std::string& password, int pageSize) {
  const std::string what = "database \"" + fileName + "\"";
  if (fileName.empty()) throw EtiFBException("Cannot create a database: no file name given");
  const bool server = tiFBIsServerName(fileName);
  if (!server && FileExists(fileName))
    throw EtiFBException(tiFormat("Cannot create %s: the file exists already", {what}));
  // The engine leaves what it wrote when creating fails (a full disk): a local file is made under a name of its
  // own and moved into place when complete. A server makes its file itself and refuses one that exists.
  const std::string target = server ? fileName : TemporaryNameBeside(fileName);
  TtiUndoUnlessDone removeTarget([&target, server]() noexcept {
    if (!server) ::unlink(target.c_str());
  });
  Status st;
  try {
    XpbGuard dpb(NewDpb(st, fileName, userName, password));
    dpb->insertInt(&st, isc_dpb_page_size, pageSize);
    dpb->insertInt(&st, isc_dpb_sql_dialect, 3);
    dpb->insertString(&st, isc_dpb_set_db_charset, "WIN1252");
    AttachOnce(st, target, dpb, true, "create " + what);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot create %s:\n%s", {what, EngineText(e)}), EngineCode(e));
  }
  if (!server) {
    if (const std::string problem = MoveIntoPlace(target, fileName); !problem.empty())
      throw EtiFBException(tiFormat("Cannot create %s: %s", {what, problem}));
  }
  removeTarget.Done();
}

void TtiFBDatabase::SetReadOnlyMode(const std::string& fileName, bool readOnly, const std::string& userName,
                                    const std::string& password) {
  const std::string what = "database \"" + fileName + "\"";
  const std::string action = "change the mode of " + what;
  FileLease lease;
  if (!tiFBIsServerName(fileName)) {  // as in Connect: a local file only is ours to lock
    if (!FileExists(fileName))
      throw EtiFBException(tiFormat("Cannot change the mode of %s: the file does not exist", {what}), isc_io_error);
    lease.Acquire(fileName, true, action);
  }
  Status st;
  try {
    XpbGuard dpb(NewDpb(st, fileName, userName, password));
    dpb->insertInt(&st, isc_dpb_set_db_readonly, readOnly ? 1 : 0);
    AttachOnce(st, fileName, dpb, false, action);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot change the mode of %s:\n%s", {what, EngineText(e)}), EngineCode(e));
  }
}

void TtiFBDatabase::DropDatabase() {
  if (!Connected()) throw EtiFBException(tiFormat("Cannot drop %s: it is not connected", {Describe()}));
  for (auto* s : impl_->statements) s->ReleaseHandles();
  for (auto* t : impl_->transactions)
    if (t->Active()) t->RollBack();
  Status st;
  try {
    impl_->att->dropDatabase(&st);
    impl_->att.Consumed();
    impl_->lease.Release();
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot drop %s:\n%s", {Describe(), EngineText(e)}), EngineCode(e));
  }
}

void TtiFBDatabase::ExecuteImmediate(TtiFBTransaction& tr, const std::string& sql) {
  if (!Connected()) throw EtiFBException(tiFormat("Cannot run a statement on %s: it is not connected", {Describe()}));
  if (&tr.Database() != this || !tr.Active())
    throw EtiFBException(tiFormat("Cannot run a statement on %s: the transaction is not active", {Describe()}));
  std::string text;
  try {
    text = tiUtf8ToWin1252(sql);
  } catch (const EConvertError& e) {
    throw EConvertError(tiFormat("Statement for %s: %s", {Describe(), e.Message()}));
  }
  Status st;
  try {
    impl_->att->execute(&st, tr.impl_->tra.get(), 0,
                        text.c_str(), SQLDialect(), nullptr, nullptr, nullptr, nullptr);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Statement failed on %s:\n%s\nSQL: %s", {Describe(), EngineText(e), Shorten(sql)}),
                         EngineCode(e));
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Transaction

TtiFBTransaction::TtiFBTransaction(TtiFBDatabase& db) : db_(db), impl_(std::make_unique<Impl>()) {
  db_.impl_->transactions.push_back(this);
}

TtiFBTransaction::~TtiFBTransaction() {
  if (orphaned_) return;
  if (impl_->tra) {
    try {
      RollBack();
    } catch (...) {
      Detach();
    }
  }
  // The statements on this transaction outlive it: they drop their handles and refuse to run from now on.
  for (auto* s : db_.impl_->statements)
    if (s->tr_ == this) {
      s->ReleaseHandles();
      s->tr_ = nullptr;
    }
  auto& v = db_.impl_->transactions;
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void TtiFBTransaction::Detach() { impl_->tra.reset(); }

bool TtiFBTransaction::Active() const { return static_cast<bool>(impl_->tra); }

void TtiFBTransaction::Start(bool readOnly) {
  if (orphaned_) throw EtiFBException("Cannot start a transaction on a database that was closed");
  if (Active())
    throw EtiFBException(tiFormat("Cannot start a transaction on %s: one is active already", {db_.Describe()}));
  if (!db_.Connected())
    throw EtiFBException(tiFormat("Cannot start a transaction on %s: it is not connected", {db_.Describe()}));
  if (!readOnly && db_.ReadOnlyAccess())
    throw EtiFBException(
        tiFormat("Cannot start a writing transaction on %s: it is open for reading only", {db_.Describe()}));
  Status st;
  try {
    XpbGuard tpb(Master()->getUtilInterface()->getXpbBuilder(&st, fb::IXpbBuilder::TPB, nullptr, 0));
    tpb->insertTag(&st, isc_tpb_concurrency);
    tpb->insertTag(&st, isc_tpb_wait);
    tpb->insertTag(&st, readOnly ? isc_tpb_read : isc_tpb_write);
    impl_->tra.reset(db_.impl_->att->startTransaction(&st, tpb->getBufferLength(&st), tpb->getBuffer(&st)));
    readOnly_ = readOnly;
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot start a transaction on %s:\n%s", {db_.Describe(), EngineText(e)}),
                         EngineCode(e));
  }
}

// Commit, commit-retaining and roll back need a live database and an active transaction; an engine failure
// names the database. `verb` names the act in the messages.
template <class End>
void TtiFBTransaction::Finish(const char* verb, bool closeStatements, End&& end) {
  if (orphaned_) throw EtiFBException(tiFormat("Cannot %s on a database that was closed", {verb}));
  if (!Active())
    throw EtiFBException(tiFormat("Cannot %s on %s: no transaction is active", {verb, db_.Describe()}));
  if (closeStatements)
    for (auto* s : db_.impl_->statements)
      if (s->tr_ == this) s->Close();
  Status st;
  try {
    end(st);
  } catch (const fb::FbException& e) {
    throw EtiFBException(tiFormat("Cannot %s on %s:\n%s", {verb, db_.Describe(), EngineText(e)}), EngineCode(e));
  }
}

void TtiFBTransaction::Commit() {
  Finish("commit", true, [this](Status& st) {
    impl_->tra->commit(&st);
    impl_->tra.Consumed();
  });
}

void TtiFBTransaction::CommitRetaining() {
  Finish("commit", false, [this](Status& st) { impl_->tra->commitRetaining(&st); });
}

void TtiFBTransaction::RollBack() {
  Finish("roll back", true, [this](Status& st) {
    try {
      impl_->tra->rollback(&st);
    } catch (const fb::FbException&) {
      // The engine keeps nothing we could retry with: drop the handle so the object stays usable.
      Detach();
      throw;
    }
    impl_->tra.Consumed();
  });
}

// ---------------------------------------------------------------------------------------------------------------
// Statement

using PKind = TtiFBStatement::TParamKind;

struct TtiFBStatement::Param {
  PKind kind = PKind::Unset;
  std::string text;  // Windows-1252 bytes for strings, raw bytes for blobs
  int64_t i = 0;
  double d = 0.0;
};

struct TtiFBStatement::Impl {
  FbRef<fb::IStatement> stmt;
  FbRef<fb::IResultSet> cursor;
  FbRef<fb::IMessageMetadata> inMeta;  // as described by the engine
  FbRef<fb::IMessageMetadata> outMeta;
  FbRef<fb::IMessageMetadata> bindMeta;  // built from the values bound
  std::vector<unsigned char> inBuf;
  std::vector<unsigned char> outBuf;
  std::vector<TtiFBColumn> columns;
  std::vector<unsigned> offsets, nullOffsets;
  unsigned type = 0;
  bool eof = true;
  int64_t affected = 0;

};

TtiFBStatement::TtiFBStatement(TtiFBDatabase& db, TtiFBTransaction& tr)
    : db_(db), tr_(&tr), impl_(std::make_unique<Impl>()) {
  if (&tr.Database() != &db)
    throw EtiFBException(tiFormat("A statement on %s cannot use a transaction of %s",
                                  {db.Describe(), tr.Database().Describe()}));
  db_.impl_->statements.push_back(this);
}

TtiFBStatement::~TtiFBStatement() {
  if (orphaned_) return;
  ReleaseHandles();
  auto& v = db_.impl_->statements;
  v.erase(std::remove(v.begin(), v.end(), this), v.end());
}

void TtiFBStatement::ReleaseHandles() {
  // Plain releases: nothing here may throw, and after a failed detach the handles are dead anyway.
  impl_->cursor.reset();
  impl_->eof = true;
  impl_->bindMeta.reset();
  impl_->inMeta.reset();
  impl_->outMeta.reset();
  impl_->stmt.reset();
  impl_->columns.clear();
}

TtiFBTransaction& TtiFBStatement::Tr(const char* what) const {
  if (!tr_) Fail(what, "its transaction was closed");
  return *tr_;
}

std::string TtiFBStatement::Where() const {
  return orphaned_ ? std::string("a database that was closed") : db_.Describe();
}

void TtiFBStatement::Fail(const std::string& what, const std::string& detail, long code) const {
  std::string msg = what + " on " + Where();
  if (!detail.empty()) msg += ":\n" + detail;
  if (!sql_.empty()) msg += "\nSQL: " + Shorten(sql_);
  throw EtiFBException(msg, code);
}

void TtiFBStatement::SetSQL(const std::string& sql) {
  ReleaseHandles();
  sql_ = sql;
  engineSql_.clear();
  paramNames_.clear();
  positions_.clear();
  params_.clear();
  // Replace ":Name" by "?" outside quotes and comments.
  const size_t n = sql.size();
  size_t i = 0;
  auto isNameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'; };
  while (i < n) {
    const char c = sql[i];
    if (c == '\'' || c == '"') {
      size_t j = i + 1;
      while (j < n) {
        if (sql[j] == c) {
          if (j + 1 < n && sql[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      if (j >= n) Fail("Unterminated quoted text in a statement", "");
      engineSql_.append(sql, i, j - i + 1);
      i = j + 1;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      const size_t e = sql.find('\n', i);
      const size_t end = e == std::string::npos ? n : e;
      engineSql_.append(sql, i, end - i);
      i = end;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t e = sql.find("*/", i + 2);
      if (e == std::string::npos) Fail("Unterminated comment in a statement", "");
      engineSql_.append(sql, i, e + 2 - i);
      i = e + 2;
    } else if (c == ':' && i + 1 < n && isNameChar(sql[i + 1]) && !(i > 0 && isNameChar(sql[i - 1]))) {
      size_t j = i + 1;
      while (j < n && isNameChar(sql[j])) ++j;
      const std::string name = sql.substr(i + 1, j - i - 1);
      const std::string key = UpperAscii(name);
      int idx = -1;
      for (size_t k = 0; k < paramNames_.size(); ++k)
        if (UpperAscii(paramNames_[k]) == key) idx = static_cast<int>(k);
      if (idx < 0) {
        paramNames_.push_back(name);
        idx = static_cast<int>(paramNames_.size()) - 1;
      }
      positions_.push_back(idx);
      engineSql_ += '?';
      i = j;
    } else if (c == '?') {
      Fail("Positional parameters (\"?\") are not supported; name them as \":Name\"", "");
    } else {
      engineSql_ += c;
      ++i;
    }
  }
  params_.resize(paramNames_.size());
}

const std::string& TtiFBStatement::ParamName(int index) const {
  if (index < 0 || index >= ParamCount())
    Fail(tiFormat("Parameter index %d out of range (%d parameters)", {index, ParamCount()}), "");
  return paramNames_[static_cast<size_t>(index)];
}

bool TtiFBStatement::HasParam(const std::string& name) const {
  const std::string key = UpperAscii(name);
  for (const auto& p : paramNames_)
    if (UpperAscii(p) == key) return true;
  return false;
}

TtiFBStatement::Param& TtiFBStatement::RequireParam(const std::string& name) {
  const std::string key = UpperAscii(name);
  for (size_t k = 0; k < paramNames_.size(); ++k)
    if (UpperAscii(paramNames_[k]) == key) return params_[k];
  Fail(tiFormat("The statement has no parameter \"%s\"", {name}), "");
}

const TtiFBStatement::Param& TtiFBStatement::RequireParam(const std::string& name) const {
  return const_cast<TtiFBStatement*>(this)->RequireParam(name);
}

void TtiFBStatement::SetParamString(const std::string& name, const std::string& utf8) {
  Param& p = RequireParam(name);
  try {
    p.text = tiUtf8ToWin1252(utf8);
  } catch (const EConvertError& e) {
    throw EConvertError(tiFormat("Parameter \"%s\" for %s: %s", {name, Where(), e.Message()}));
  }
  if (p.text.size() > 32765)
    Fail(tiFormat("Parameter \"%s\" is too long (%d bytes; at most 32765)", {name, p.text.size()}), "");
  p.kind = PKind::String;
}

void TtiFBStatement::SetParamInteger(const std::string& name, int64_t v) {
  Param& p = RequireParam(name);
  p.i = v;
  p.kind = PKind::Integer;
}

void TtiFBStatement::SetParamDouble(const std::string& name, double v) {
  Param& p = RequireParam(name);
  if (std::isnan(v)) Fail(tiFormat("Parameter \"%s\" is not a number (NaN)", {name}), "");
  p.d = v;
  p.kind = PKind::Double;
}

void TtiFBStatement::SetParamBoolean(const std::string& name, bool v) {
  Param& p = RequireParam(name);
  p.i = v ? 1 : 0;
  p.kind = PKind::Boolean;
}

void TtiFBStatement::SetParamDateTime(const std::string& name, double dateTime) {
  Param& p = RequireParam(name);
  if (!std::isfinite(dateTime)) Fail(tiFormat("Parameter \"%s\" is not a valid date-time", {name}), "");
  p.d = dateTime;
  p.kind = PKind::DateTime;
}

void TtiFBStatement::SetParamBlob(const std::string& name, const std::string& bytes) {
  Param& p = RequireParam(name);
  p.text = bytes;
  p.kind = PKind::Blob;
}

void TtiFBStatement::SetParamNull(const std::string& name) {
  Param& p = RequireParam(name);
  p.kind = PKind::Null;
}

bool TtiFBStatement::ParamIsNull(const std::string& name) const {
  const Param& p = RequireParam(name);
  return p.kind == PKind::Null || p.kind == PKind::Unset;
}

TtiFBStatement::TParamValue TtiFBStatement::ParamValue(const std::string& name) const {
  const Param& p = RequireParam(name);
  TParamValue v;
  v.Kind = p.kind;
  if (p.kind == PKind::String) v.Text = tiWin1252ToUtf8(p.text);
  if (p.kind == PKind::Blob) v.Text = p.text;
  v.Integer = p.i;
  v.Number = p.d;
  return v;
}

void TtiFBStatement::ClearParams() {
  Close();
  for (Param& p : params_) p = Param();
}

bool TtiFBStatement::Prepared() const { return static_cast<bool>(impl_->stmt); }

bool TtiFBStatement::IsSelect() {
  Prepare();
  return impl_->type == isc_info_sql_stmt_select || impl_->type == isc_info_sql_stmt_select_for_upd;
}

void TtiFBStatement::Prepare() {
  if (Prepared()) return;
  if (sql_.empty()) Fail("Cannot prepare an empty statement", "");
  if (orphaned_) Fail("Cannot prepare a statement", "");
  if (!db_.Connected()) Fail("Cannot prepare a statement", "the database is not connected");
  TtiFBTransaction& tr = Tr("Cannot prepare a statement");
  if (!tr.Active()) Fail("Cannot prepare a statement", "the transaction is not active");
  std::string text;
  try {
    text = tiUtf8ToWin1252(engineSql_);
  } catch (const EConvertError& e) {
    throw EConvertError(tiFormat("Statement for %s: %s", {Where(), e.Message()}));
  }
  // A prepare that fails leaves no half-prepared statement behind.
  TtiUndoUnlessDone unprepare([this] { ReleaseHandles(); });
  Status st;
  try {
    impl_->stmt.reset(db_.impl_->att->prepare(&st, tr.impl_->tra.get(), 0, text.c_str(), db_.SQLDialect(),
                                              fb::IStatement::PREPARE_PREFETCH_METADATA));
    impl_->type = impl_->stmt->getType(&st);
    impl_->inMeta.reset(impl_->stmt->getInputMetadata(&st));
    impl_->outMeta.reset(impl_->stmt->getOutputMetadata(&st));
    if (impl_->inMeta->getCount(&st) != positions_.size())
      Fail("Cannot prepare a statement",
           tiFormat("the engine sees %d parameters, the text names %d", {impl_->inMeta->getCount(&st),
                                                                            positions_.size()}));
    const unsigned cols = impl_->outMeta->getCount(&st);
    impl_->columns.clear();
    impl_->offsets.clear();
    impl_->nullOffsets.clear();
    for (unsigned k = 0; k < cols; ++k) {
      TtiFBColumn c;
      c.Name = tiWin1252ToUtf8(impl_->outMeta->getField(&st, k));
      c.Alias = tiWin1252ToUtf8(impl_->outMeta->getAlias(&st, k));
      c.Relation = tiWin1252ToUtf8(impl_->outMeta->getRelation(&st, k));
      c.SQLType = impl_->outMeta->getType(&st, k) & ~1u;
      c.SubType = impl_->outMeta->getSubType(&st, k);
      c.Scale = impl_->outMeta->getScale(&st, k);
      c.Length = impl_->outMeta->getLength(&st, k);
      c.CharSet = impl_->outMeta->getCharSet(&st, k);
      if (c.Alias.empty()) c.Alias = c.Name;
      impl_->columns.push_back(std::move(c));
      impl_->offsets.push_back(impl_->outMeta->getOffset(&st, k));
      impl_->nullOffsets.push_back(impl_->outMeta->getNullOffset(&st, k));
    }
    impl_->outBuf.assign(impl_->outMeta->getMessageLength(&st), 0);
  } catch (const fb::FbException& e) {
    Fail("Cannot prepare a statement", EngineText(e), EngineCode(e));
  }
  unprepare.Done();
}

namespace {

// How a bound value travels to the engine: its message type (the "+ 1" admits NULL) and length; numbers go as
// fixed-size values of scale 0. Strings (their length) and NULLs (the engine's own type) are described apart.
struct TInputKind {
  PKind kind;
  unsigned sqlType;
  unsigned length;
};
constexpr TInputKind kInputKinds[] = {
    {PKind::Integer, SQL_INT64, sizeof(ISC_INT64)},      {PKind::Double, SQL_DOUBLE, sizeof(double)},
    {PKind::Boolean, SQL_SHORT, sizeof(short)},          {PKind::DateTime, SQL_TIMESTAMP, sizeof(ISC_TIMESTAMP)},
    {PKind::Blob, SQL_BLOB, sizeof(ISC_QUAD)},
};

}  // namespace

// Describing and writing one bound value of a statement.
struct TtiFBStatementInput {
  using Param = TtiFBStatement::Param;
  static void Describe(Status& st, fb::IMetadataBuilder& b, unsigned k, const Param& p, fb::IMessageMetadata& in);
  static void Write(Status& st, unsigned char* v, const Param& p, fb::IAttachment& att, fb::ITransaction* tra);
};

void TtiFBStatementInput::Describe(Status& st, fb::IMetadataBuilder& b, unsigned k, const Param& p,
                                   fb::IMessageMetadata& in) {
  if (p.kind == PKind::String) {
    b.setType(&st, k, SQL_VARYING + 1);
    b.setLength(&st, k, static_cast<unsigned>(std::max<size_t>(p.text.size(), 1)));
    b.setCharSet(&st, k, kCharSetWin1252);
    return;
  }
  for (const TInputKind& ik : kInputKinds)
    if (ik.kind == p.kind) {
      b.setType(&st, k, ik.sqlType + 1);
      b.setLength(&st, k, ik.length);
      b.setScale(&st, k, 0);
      b.setSubType(&st, k, 0);
      return;
    }
  b.setType(&st, k, in.getType(&st, k) | 1u);  // NULL: the engine's own type
}

void TtiFBStatementInput::Write(Status& st, unsigned char* v, const Param& p, fb::IAttachment& att,
                                fb::ITransaction* tra) {
  switch (p.kind) {
    case PKind::String: {
      const auto len = static_cast<unsigned short>(p.text.size());
      std::memcpy(v, &len, sizeof len);
      std::memcpy(v + sizeof len, p.text.data(), p.text.size());
      return;
    }
    case PKind::Integer: {
      const ISC_INT64 x = p.i;
      std::memcpy(v, &x, sizeof x);
      return;
    }
    case PKind::Double: std::memcpy(v, &p.d, sizeof p.d); return;
    case PKind::Boolean: {
      const auto x = static_cast<short>(p.i);
      std::memcpy(v, &x, sizeof x);
      return;
    }
    case PKind::DateTime: {
      ISC_TIMESTAMP ts;
      DateTimeToIsc(p.d, ts.timestamp_date, ts.timestamp_time);
      std::memcpy(v, &ts, sizeof ts);
      return;
    }
    case PKind::Blob: {
      ISC_QUAD id{};
      UseBlob(st, att.createBlob(&st, tra, &id, 0, nullptr), [&](fb::IBlob* blob) {
        for (size_t off = 0; off < p.text.size(); off += 32768) {
          const size_t len = std::min<size_t>(32768, p.text.size() - off);
          blob->putSegment(&st, static_cast<unsigned>(len), p.text.data() + off);
        }
      });
      std::memcpy(v, &id, sizeof id);
      return;
    }
    case PKind::Null:
    case PKind::Unset: return;
  }
}

void TtiFBStatement::BuildInput() {
  impl_->bindMeta.reset();
  impl_->inBuf.clear();
  const unsigned n = static_cast<unsigned>(positions_.size());
  if (n == 0) return;
  auto param = [this](unsigned k) -> const Param& { return params_[static_cast<size_t>(positions_[k])]; };
  for (unsigned k = 0; k < n; ++k)
    if (param(k).kind == PKind::Unset)
      Fail(tiFormat("Parameter \"%s\" has no value", {paramNames_[static_cast<size_t>(positions_[k])]}), "");
  Status st;
  try {
    {
      const FbRef<fb::IMetadataBuilder> b(impl_->inMeta->getBuilder(&st));
      for (unsigned k = 0; k < n; ++k) TtiFBStatementInput::Describe(st, *b.get(), k, param(k), *impl_->inMeta.get());
      impl_->bindMeta.reset(b->getMetadata(&st));
    }
    fb::IMessageMetadata* m = impl_->bindMeta.get();
    impl_->inBuf.assign(m->getMessageLength(&st), 0);
    unsigned char* buf = impl_->inBuf.data();
    for (unsigned k = 0; k < n; ++k) {
      const short nul = param(k).kind == PKind::Null ? -1 : 0;
      std::memcpy(buf + m->getNullOffset(&st, k), &nul, sizeof nul);
      TtiFBStatementInput::Write(st, buf + m->getOffset(&st, k), param(k), *db_.impl_->att.get(),
                                 tr_->impl_->tra.get());
    }
  } catch (const fb::FbException& e) {
    Fail("Cannot bind the parameters", EngineText(e), EngineCode(e));
  }
}

void TtiFBStatement::Execute() {
  Close();
  Prepare();
  TtiFBTransaction& tr = Tr("Cannot run a statement");
  if (!tr.Active()) Fail("Cannot run a statement", "the transaction is not active");
  if (impl_->type == isc_info_sql_stmt_select || impl_->type == isc_info_sql_stmt_select_for_upd)
    Fail("Cannot run a SELECT with Execute", "open it instead");
  BuildInput();
  Status st;
  try {
    const bool hasOut = !impl_->columns.empty();
    impl_->stmt->execute(&st, tr.impl_->tra.get(), impl_->bindMeta.get(),
                         impl_->inBuf.empty() ? nullptr : impl_->inBuf.data(), hasOut ? impl_->outMeta.get() : nullptr,
                         hasOut ? impl_->outBuf.data() : nullptr);
    impl_->affected = static_cast<int64_t>(impl_->stmt->getAffectedRecords(&st));
  } catch (const fb::FbException& e) {
    Fail("Statement failed", EngineText(e), EngineCode(e));
  }
}

void TtiFBStatement::Open() {
  Close();
  Prepare();
  TtiFBTransaction& tr = Tr("Cannot open a query");
  if (!tr.Active()) Fail("Cannot open a query", "the transaction is not active");
  if (impl_->columns.empty()) Fail("Cannot open a statement that returns no rows", "");
  BuildInput();
  Status st;
  try {
    impl_->cursor.reset(impl_->stmt->openCursor(&st, tr.impl_->tra.get(), impl_->bindMeta.get(),
                                                impl_->inBuf.empty() ? nullptr : impl_->inBuf.data(),
                                                impl_->outMeta.get(), 0));
  } catch (const fb::FbException& e) {
    Fail("Cannot open a query", EngineText(e), EngineCode(e));
  }
  impl_->eof = false;
  Next();
}

bool TtiFBStatement::Active() const { return static_cast<bool>(impl_->cursor); }

bool TtiFBStatement::Eof() const { return impl_->eof; }

void TtiFBStatement::Next() {
  if (!impl_->cursor) Fail("Cannot fetch a row", "the query is not open");
  if (impl_->eof) return;
  Status st;
  try {
    const int rc = impl_->cursor->fetchNext(&st, impl_->outBuf.data());
    impl_->eof = rc != fb::IStatus::RESULT_OK;
  } catch (const fb::FbException& e) {
    impl_->eof = true;
    Fail("Cannot fetch a row", EngineText(e), EngineCode(e));
  }
}

void TtiFBStatement::Close() {
  if (!impl_->cursor) return;
  Status st;
  try {
    impl_->cursor->close(&st);
    impl_->cursor.Consumed();
  } catch (const fb::FbException&) {
    // A cursor whose transaction already ended cannot be closed: releasing it is all that is left to do.
    impl_->cursor.reset();
  }
  impl_->eof = true;
}

int64_t TtiFBStatement::RowsAffected() const { return impl_->affected; }

int TtiFBStatement::FieldCount() const { return static_cast<int>(impl_->columns.size()); }

const TtiFBColumn& TtiFBStatement::Column(int index) const {
  if (index < 0 || index >= FieldCount())
    Fail(tiFormat("Column index %d out of range (%d columns)", {index, FieldCount()}), "");
  return impl_->columns[static_cast<size_t>(index)];
}

const std::string& TtiFBStatement::FieldName(int index) const { return Column(index).Alias; }

int TtiFBStatement::FieldIndex(const std::string& name) const {
  const std::string key = UpperAscii(name);
  for (size_t k = 0; k < impl_->columns.size(); ++k)
    if (UpperAscii(impl_->columns[k].Alias) == key) return static_cast<int>(k);
  return -1;
}

int TtiFBStatement::RequireField(const std::string& name) const {
  const int k = FieldIndex(name);
  if (k < 0) Fail(tiFormat("The query has no column \"%s\"", {name}), "");
  return k;
}

void TtiFBStatement::CheckRow(int index) const {
  if (!impl_->cursor || impl_->eof) Fail("Cannot read a column", "there is no current row");
  Column(index);
}

bool TtiFBStatement::FieldIsNull(int index) const {
  CheckRow(index);
  short nul;
  std::memcpy(&nul, impl_->outBuf.data() + impl_->nullOffsets[static_cast<size_t>(index)], sizeof nul);
  return nul != 0;
}

namespace {
template <typename T>
T Load(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::string ScaledText(int64_t v, int scale) {
  if (scale >= 0) {
    std::string s = std::to_string(v);
    if (v != 0) s.append(static_cast<size_t>(scale), '0');
    return s;
  }
  const bool neg = v < 0;
  std::string digits = std::to_string(neg ? -static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v));
  const auto places = static_cast<size_t>(-scale);
  if (digits.size() <= places) digits.insert(0, places - digits.size() + 1, '0');
  digits.insert(digits.size() - places, ".");
  return (neg ? "-" : "") + digits;
}
}  // namespace

std::string TtiFBStatement::RawText(int index) const {
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  if (c.SQLType == SQL_TEXT) return std::string(reinterpret_cast<const char*>(p), c.Length);
  const auto len = Load<unsigned short>(p);
  return std::string(reinterpret_cast<const char*>(p + sizeof(unsigned short)), len);
}

std::string TtiFBStatement::FieldAsBlob(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return {};
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  if (c.SQLType == SQL_TEXT || c.SQLType == SQL_VARYING) return RawText(index);
  if (c.SQLType != SQL_BLOB) Fail(tiFormat("Column \"%s\" is not a BLOB", {c.Alias}), "");
  ISC_QUAD id = Load<ISC_QUAD>(impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)]);
  std::string out;
  Status st;
  try {
    UseBlob(st, db_.impl_->att->openBlob(&st, Tr("Cannot read a BLOB").impl_->tra.get(), &id, 0, nullptr),
            [&](fb::IBlob* blob) {
      char seg[32768];
      for (;;) {
        unsigned got = 0;
        const int rc = blob->getSegment(&st, sizeof seg, seg, &got);
        if (rc != fb::IStatus::RESULT_OK && rc != fb::IStatus::RESULT_SEGMENT) break;
        out.append(seg, got);
      }
    });
  } catch (const fb::FbException& e) {
    Fail(tiFormat("Cannot read the BLOB column \"%s\"", {c.Alias}), EngineText(e), EngineCode(e));
  }
  return out;
}

std::string TtiFBStatement::FieldAsString(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return {};
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  switch (c.SQLType) {
    case SQL_TEXT:
    case SQL_VARYING:
      return c.CharSet == kCharSetOctets ? RawText(index) : tiWin1252ToUtf8(RawText(index));
    case SQL_SHORT:
      return ScaledText(Load<short>(p), c.Scale);
    case SQL_LONG:
      return ScaledText(Load<ISC_LONG>(p), c.Scale);
    case SQL_INT64:
      return ScaledText(Load<ISC_INT64>(p), c.Scale);
    case SQL_FLOAT:
      return NumberText(Load<float>(p));
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return NumberText(Load<double>(p));
    case SQL_BOOLEAN:
      return *p ? "1" : "0";
    case SQL_BLOB: {
      std::string raw = FieldAsBlob(index);
      return (c.SubType == 1 && c.CharSet != kCharSetOctets) ? tiWin1252ToUtf8(raw) : raw;
    }
    case SQL_TIMESTAMP:
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIME: {
      unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, frac = 0;
      auto* util = Master()->getUtilInterface();
      char buf[48];
      if (c.SQLType == SQL_TYPE_TIME) {
        util->decodeTime(Load<ISC_TIME>(p), &h, &mi, &s, &frac);
        std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", h, mi, s);
      } else if (c.SQLType == SQL_TYPE_DATE) {
        util->decodeDate(Load<ISC_DATE>(p), &y, &mo, &d);
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", y, mo, d);
      } else {
        const auto ts = Load<ISC_TIMESTAMP>(p);
        util->decodeDate(ts.timestamp_date, &y, &mo, &d);
        util->decodeTime(ts.timestamp_time, &h, &mi, &s, &frac);
        std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", y, mo, d, h, mi, s);
      }
      return buf;
    }
    default:
      Fail(tiFormat("Column \"%s\" has a type this program cannot read (%d)", {c.Alias, c.SQLType}), "");
  }
}

double TtiFBStatement::FieldAsFloat(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return 0.0;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  if ((c.SQLType == SQL_SHORT || c.SQLType == SQL_LONG || c.SQLType == SQL_INT64) && c.Scale != 0) {
    // Parse the exact decimal text so that 0.99 stored as NUMERIC reads as the double nearest to 0.99
    // (multiplying by 0.01 can land one unit in the last place away).
    const int64_t raw = c.SQLType == SQL_SHORT  ? Load<short>(p)
                        : c.SQLType == SQL_LONG ? Load<ISC_LONG>(p)
                                                : Load<ISC_INT64>(p);
    const std::string t = ScaledText(raw, c.Scale);
    double v = 0.0;
    std::from_chars(t.data(), t.data() + t.size(), v);
    return v;
  }
  switch (c.SQLType) {
    case SQL_SHORT:
      return Load<short>(p);
    case SQL_LONG:
      return Load<ISC_LONG>(p);
    case SQL_INT64:
      return static_cast<double>(Load<ISC_INT64>(p));
    case SQL_FLOAT:
      return Load<float>(p);
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return Load<double>(p);
    case SQL_BOOLEAN:
      return *p ? 1.0 : 0.0;
    case SQL_TEXT:
    case SQL_VARYING: {
      const std::string t = TrimBlanks(FieldAsString(index));
      double v = 0.0;
      const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
      if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
        throw EConvertError(
            tiFormat("Column \"%s\" of %s: \"%s\" is not a number", {c.Alias, Where(), t}));
      return v;
    }
    default:
      throw EConvertError(tiFormat("Column \"%s\" of %s cannot be read as a number", {c.Alias, Where()}));
  }
}

int64_t TtiFBStatement::FieldAsInteger(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return 0;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  if (c.Scale == 0) {
    switch (c.SQLType) {
      case SQL_SHORT:
        return Load<short>(p);
      case SQL_LONG:
        return Load<ISC_LONG>(p);
      case SQL_INT64:
        return Load<ISC_INT64>(p);
      case SQL_BOOLEAN:
        return *p ? 1 : 0;
      default:
        break;
    }
  }
  if (c.SQLType == SQL_TEXT || c.SQLType == SQL_VARYING) {
    const std::string t = TrimBlanks(FieldAsString(index));
    int64_t v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size())
      throw EConvertError(
          tiFormat("Column \"%s\" of %s: \"%s\" is not an integer", {c.Alias, Where(), t}));
    return v;
  }
  const double d = FieldAsFloat(index);
  if (d != std::floor(d) || std::fabs(d) > 9.0e15)
    throw EConvertError(tiFormat("Column \"%s\" of %s: %s is not an integer", {c.Alias, Where(),
                                                                               NumberText(d)}));
  return static_cast<int64_t>(d);
}

bool TtiFBStatement::FieldAsBoolean(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return false;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  if (c.SQLType == SQL_TEXT || c.SQLType == SQL_VARYING) {
    const std::string t = UpperAscii(TrimBlanks(FieldAsString(index)));
    return t == "T" || t == "TRUE" || t == "Y" || t == "YES" || t == "1";
  }
  return FieldAsFloat(index) != 0.0;
}

double TtiFBStatement::FieldAsDateTime(int index) const {
  CheckRow(index);
  if (FieldIsNull(index)) return 0.0;
  const TtiFBColumn& c = impl_->columns[static_cast<size_t>(index)];
  const unsigned char* p = impl_->outBuf.data() + impl_->offsets[static_cast<size_t>(index)];
  switch (c.SQLType) {
    case SQL_TIMESTAMP: {
      const auto ts = Load<ISC_TIMESTAMP>(p);
      return IscToDateTime(ts.timestamp_date, ts.timestamp_time);
    }
    case SQL_TYPE_DATE:
      return IscToDateTime(Load<ISC_DATE>(p), 0);
    case SQL_TYPE_TIME:
      return Load<ISC_TIME>(p) / kTicksPerDay;
    case SQL_TEXT:
    case SQL_VARYING:
    case SQL_BLOB:
      throw EConvertError(tiFormat("Column \"%s\" of %s cannot be read as a date-time", {c.Alias, Where()}));
    default:
      return FieldAsFloat(index);
  }
}

// ---------------------------------------------------------------------------------------------------------------
// Scripts

namespace {

// The leading words of a statement, upper case, separated by single blanks.
std::vector<std::string> Words(const std::string& text, size_t count) {
  std::vector<std::string> w;
  std::istringstream in(text);
  std::string s;
  while (w.size() < count && in >> s) w.push_back(UpperAscii(s));
  return w;
}

bool IsSchemaStatement(const std::vector<std::string>& w) {
  if (w.empty()) return false;
  static const char* kDdl[] = {"CREATE", "ALTER", "DROP", "RECREATE", "DECLARE", "COMMENT", "GRANT", "REVOKE"};
  for (const char* k : kDdl)
    if (w[0] == k) return true;
  return false;
}

}  // namespace

std::vector<TtiFBScriptStatement> tiFBSplitScript(const std::string& s, const std::string& scriptName) {
  std::vector<TtiFBScriptStatement> out;
  std::string term = ";";
  std::string cur;
  int line = 1;
  int curLine = 0;
  size_t i = 0;
  const size_t n = s.size();
  auto fail = [&](int at, const std::string& what) {
    throw EtiFBException(tiFormat("Script \"%s\", line %d: %s", {scriptName, at, what}));
  };
  auto blank = [&] { return cur.find_first_not_of(" \t\r\n") == std::string::npos; };
  while (i < n) {
    const char c = s[i];
    if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const size_t e = s.find("*/", i + 2);
      if (e == std::string::npos) fail(line, "unterminated comment");
      line += static_cast<int>(std::count(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(e), '\n'));
      i = e + 2;
      cur += ' ';
      continue;
    }
    if (s.compare(i, term.size(), term) == 0) {
      const std::string text = TrimBlanks(cur);
      cur.clear();
      i += term.size();
      if (text.empty()) continue;
      const auto w = Words(text, 3);
      if (w.size() >= 2 && w[0] == "SET" && w[1] == "TERM") {
        if (w.size() != 3 || Words(text, 4).size() != 3) fail(curLine, "SET TERM needs exactly one new terminator");
        // Keep the terminator's original spelling (it is compared as written).
        std::istringstream in(text);
        std::string a, b, t;
        in >> a >> b >> t;
        term = t;
        continue;
      }
      out.push_back({text, curLine});
      continue;
    }
    if (c == '\'' || c == '"') {
      if (blank()) curLine = line;
      size_t j = i + 1;
      for (;;) {
        if (j >= n) fail(line, "unterminated quoted text");
        if (s[j] == c) {
          if (j + 1 < n && s[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      line += static_cast<int>(std::count(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(j), '\n'));
      cur.append(s, i, j - i + 1);
      i = j + 1;
      continue;
    }
    if (blank() && !std::isspace(static_cast<unsigned char>(c))) curLine = line;
    if (c == '\n') ++line;
    cur += c;
    ++i;
  }
  if (!blank()) fail(curLine, "the last statement has no terminator \"" + term + "\"");
  return out;
}

void tiFBRunScript(TtiFBDatabase& db, const std::string& script, const std::string& scriptName) {
  const auto statements = tiFBSplitScript(script, scriptName);
  TtiFBTransaction tr(db);
  tr.Start();
  bool autoDdl = true;
  for (const auto& st : statements) {
    auto fail = [&](const std::string& what) {
      if (tr.Active()) {
        try {
          tr.RollBack();
        } catch (const Exception&) {
        }
      }
      throw EtiFBException(tiFormat("Script \"%s\", line %d, on %s: %s\nStatement: %s",
                                    {scriptName, st.Line, db.Describe(), what, Shorten(st.Text, 200)}));
    };
    const auto w = Words(st.Text, 4);
    if ((w[0] == "COMMIT" || w[0] == "ROLLBACK") && (w.size() == 1 || (w.size() == 2 && w[1] == "WORK"))) {
      try {
        if (w[0] == "COMMIT")
          tr.Commit();
        else
          tr.RollBack();
        tr.Start();
      } catch (const Exception& e) {
        fail(e.Message());
      }
      continue;
    }
    if (w[0] == "SET") {
      if (w.size() == 4 && w[1] == "SQL" && w[2] == "DIALECT") {
        if (w[3] != "3") fail("only SQL dialect 3 is supported");
        continue;
      }
      if (w.size() == 3 && w[1] == "AUTODDL" && (w[2] == "ON" || w[2] == "OFF")) {
        autoDdl = w[2] == "ON";
        continue;
      }
      if (w.size() >= 2 && (w[1] == "SQL" || w[1] == "AUTODDL" || w[1] == "NAMES" || w[1] == "ECHO" ||
                            w[1] == "BAIL" || w[1] == "LIST" || w[1] == "STATS" || w[1] == "PLAN"))
        fail("this isql command is not supported in scripts");
    }
    if (w[0] == "CONNECT" || (w.size() >= 2 && (w[0] == "CREATE" || w[0] == "DROP") &&
                              (w[1] == "DATABASE" || w[1] == "SCHEMA")))
      fail("a script cannot create, open or drop a database; it runs on the open one");
    try {
      db.ExecuteImmediate(tr, st.Text);
      if (autoDdl && IsSchemaStatement(w)) {
        tr.Commit();
        tr.Start();
      }
    } catch (const Exception& e) {
      fail(e.Message());
    }
  }
  try {
    tr.Commit();
  } catch (const Exception& e) {
    throw EtiFBException(tiFormat("Script \"%s\" on %s: %s", {scriptName, db.Describe(), e.Message()}));
  }
}

}  // namespace kelvado
