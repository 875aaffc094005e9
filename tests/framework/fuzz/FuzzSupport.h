#pragma once
// What the fuzz entries share: a scratch file per process, the abort that reports a broken rule, and running a
// step whose refusal with the framework's errors is right.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "framework/tiExcept.h"

namespace kelvado::fuzz {

// One file per process and prefix, on a memory file system when there is one (saving syncs the file to disk).
class TWorkFile {
public:
  explicit TWorkFile(const std::string& prefix) {
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(dir) + "/" + prefix + "-XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) std::abort();
    ::close(fd);
    name_ = tmpl;
  }
  ~TWorkFile() { ::unlink(name_.c_str()); }
  TWorkFile(const TWorkFile&) = delete;
  TWorkFile& operator=(const TWorkFile&) = delete;
  const std::string& Name() const { return name_; }

private:
  std::string name_;
};

[[noreturn]] inline void Broken(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s fuzz: %s\n", target, what.c_str());
  std::abort();
}

template <class F>
void Try(F f) {
  try {
    f();
  } catch (const Exception&) {
    // Refusing bad input with the framework's errors is right.
  }
}

}  // namespace kelvado::fuzz
