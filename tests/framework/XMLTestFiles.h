#pragma once
// Small helpers of the XML store tests: what a call raised, whole-file reads and writes, modification times,
// the entries of a folder, and a folder made unwritable for everyone, root included.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "framework/tiExcept.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado::test {

// "<class>: <message>" of what `f` raised, "" when nothing.
inline std::string Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return std::string(e.ClassName()) + ": " + e.Message();
  }
  return {};
}

inline std::string ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string& name, const std::string& text) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out << text;
}

inline struct timespec ModificationTime(const std::string& name) {
  struct stat st {};
  ::stat(name.c_str(), &st);
  return st.st_mtim;
}

inline bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Sets the modification time an hour back, so that any write shows.
inline void AgeFile(const std::string& name) {
  struct timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 3600;
  times[1] = times[0];
  ::utimensat(AT_FDCWD, name.c_str(), times, 0);
}

// File names in the folder, sorted.
inline std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Makes a folder immutable while it lives: no file can be created, renamed or removed in it, not even by root
// (a permission bit would not stop root). Works for root where the file system supports the flag; Supported()
// tells, and Why() why not (for SKIP_OUTSIDE_CI).
class TImmutableFolder {
public:
  explicit TImmutableFolder(std::string dir) : dir_(std::move(dir)) {
    supported_ = Set(true);
    if (!supported_) why_ = "cannot make " + dir_ + " immutable: " + std::strerror(errno);
  }
  ~TImmutableFolder() {
    if (supported_) Set(false);
  }
  bool Supported() const { return supported_; }
  const std::string& Why() const { return why_; }

private:
  bool Set(bool on) {
    const int fd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
      flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
      ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
  }
  std::string dir_;
  bool supported_ = false;
  std::string why_;
};

}  // namespace kelvado::test
