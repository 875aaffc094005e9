// kv_sync_spy.so: preloaded into a program (LD_PRELOAD) to show a test what that program hands to the disk, and
// in which order. Every fsync, fdatasync and rename of a file in the folder KV_SYNC_SPY_FOLDER (paths with
// their folders resolved) is recorded as one line in the file KV_SYNC_SPY_LOG:
//   fsync PATH | fdatasync PATH | rename FROM TO
// With KV_SYNC_SPY_STOP set, the program stops itself (SIGSTOP) right after it flushed a hidden file of that
// folder (a save's temporary file), so that the test can act before the save goes on (SIGCONT).
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

std::string Env(const char* name) {
  const char* v = ::getenv(name);
  return v ? v : "";
}

// The path with its folder resolved (the file itself need not exist, or may be gone after a rename).
std::string Resolved(int dirfd, const char* path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    char base[PATH_MAX];
    if (dirfd == AT_FDCWD) {
      if (!::getcwd(base, sizeof base)) return full;
      full = std::string(base) + "/" + full;
    } else {
      const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
      const ssize_t n = ::readlink(link.c_str(), base, sizeof base - 1);
      if (n <= 0) return full;
      full = std::string(base, static_cast<size_t>(n)) + "/" + full;
    }
  }
  const size_t slash = full.rfind('/');
  const std::string folder = slash == 0 ? "/" : full.substr(0, slash);
  char real[PATH_MAX];
  if (!::realpath(folder.c_str(), real)) return full;
  return std::string(real) + (std::string(real) == "/" ? "" : "/") + full.substr(slash + 1);
}

std::string PathOf(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool Watched(const std::string& path) {
  const std::string folder = Env("KV_SYNC_SPY_FOLDER");
  return !folder.empty() && (path == folder || path.rfind(folder + "/", 0) == 0);
}

void Record(const std::string& line) {
  const std::string log = Env("KV_SYNC_SPY_LOG");
  if (log.empty()) return;
  const int saved = errno;
  const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
  }
  errno = saved;
}

void Flushed(const char* how, int fd) {
  const std::string path = PathOf(fd);
  if (!Watched(path)) return;
  Record(std::string(how) + " " + path);
  const size_t slash = path.rfind('/');
  if (!Env("KV_SYNC_SPY_STOP").empty() && slash != std::string::npos && path.compare(slash + 1, 1, ".") == 0)
    ::raise(SIGSTOP);
}

// Runs the rename and records it when it was done.
template <class F>
int Renamed(int fromDir, const char* from, int toDir, const char* to, F rename) {
  const std::string a = Resolved(fromDir, from);
  const std::string b = Resolved(toDir, to);
  const int rc = rename();
  if (rc == 0 && (Watched(a) || Watched(b))) Record("rename " + a + " " + b);
  return rc;
}

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fsync(int fd) {
  static const auto next = Next<int (*)(int)>("fsync");
  const int rc = next(fd);
  if (rc == 0) Flushed("fsync", fd);
  return rc;
}

int fdatasync(int fd) {
  static const auto next = Next<int (*)(int)>("fdatasync");
  const int rc = next(fd);
  if (rc == 0) Flushed("fdatasync", fd);
  return rc;
}

int rename(const char* from, const char* to) noexcept {
  static const auto next = Next<int (*)(const char*, const char*)>("rename");
  return Renamed(AT_FDCWD, from, AT_FDCWD, to, [&] { return next(from, to); });
}

int renameat(int fromDir, const char* from, int toDir, const char* to) noexcept {
  static const auto next = Next<int (*)(int, const char*, int, const char*)>("renameat");
  return Renamed(fromDir, from, toDir, to, [&] { return next(fromDir, from, toDir, to); });
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) noexcept {
  static const auto next = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  return Renamed(fromDir, from, toDir, to, [&] { return next(fromDir, from, toDir, to, flags); });
}

}  // extern "C"
