#pragma once
// Runs a piece of a test in a forked child whose memory is bounded: by a given number of bytes of address space
// beyond what it holds when it starts (a read that takes more memory than it may gets bad_alloc, or dies,
// there instead of taking the machine's memory), or by a memory control group of its own. The child's answer
// comes back as a text through a pipe. The child has only the thread that forked it: `body` must not wait for
// another (a pool's monitor, a worker).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <new>
#include <string>

#include "tests/support/RunInChild.h"

namespace kelvado::testing {

// Whether address-space limits can be used: a sanitizer reserves terabytes of shadow memory up front.
inline bool AddressSpaceLimitsWork() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
  return false;
#else
  return true;
#endif
#else
  return true;
#endif
}

// The address space this process holds now, in bytes.
inline size_t AddressSpaceNow() {
  size_t pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%zu", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  return pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

// `body` run in a child limited to `extraBytes` more address space than it has at the start.
inline std::string RunWithinMemory(size_t extraBytes, const std::function<std::string()>& body) {
  return RunInChild(body, [extraBytes]() -> std::string {
    const rlim_t limit = AddressSpaceNow() + extraBytes;
    const struct rlimit rl {limit, limit};
    return ::setrlimit(RLIMIT_AS, &rl) == 0 ? std::string() : "no limit";
  });
}

// The memory controller's folder of this process's group: cgroup v1 (a "memory" hierarchy) or v2 (one
// hierarchy); empty when this machine has neither where tests expect it (/sys/fs/cgroup).
inline std::string OwnMemoryGroupFolder(bool& v2) {
  std::ifstream in("/proc/self/cgroup");
  std::string v1Path, v2Path;
  bool haveV1 = false, haveV2 = false;
  for (std::string line; std::getline(in, line);) {
    const size_t a = line.find(':');
    const size_t b = line.find(':', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
    if (controllers.find(",memory,") != std::string::npos) haveV1 = true, v1Path = line.substr(b + 1);
    if (line.compare(0, 3, "0::") == 0) haveV2 = true, v2Path = line.substr(b + 1);
  }
  struct stat st {};
  if (haveV1 && ::stat("/sys/fs/cgroup/memory/memory.limit_in_bytes", &st) == 0) {
    v2 = false;
    return "/sys/fs/cgroup/memory" + (v1Path == "/" ? std::string() : v1Path);
  }
  if (haveV2 && ::stat("/sys/fs/cgroup/cgroup.controllers", &st) == 0) {
    v2 = true;
    return "/sys/fs/cgroup" + (v2Path == "/" ? std::string() : v2Path);
  }
  return {};
}

// `body` run in a child that is the only member of a new memory control group limited to `limitBytes` (made
// beside nothing else, removed again afterwards); "no group: <why>" when this machine gives no such group (not
// root, no writable memory controller).
inline std::string RunInMemoryGroup(int64_t limitBytes, const std::function<std::string()>& body) {
  bool v2 = false;
  std::string parent = OwnMemoryGroupFolder(v2);
  if (parent.empty()) return "no group: no memory controller under /sys/fs/cgroup";
  // v2 lets only a group without members of its own give memory limits to groups below it: the top one.
  if (v2) parent = "/sys/fs/cgroup";
  const std::string group = parent + "/kelvado-test-" + std::to_string(::getpid());
  if (::mkdir(group.c_str(), 0755) != 0 && errno != EEXIST)
    return std::string("no group: can not make ") + group + ": " + std::strerror(errno);
  const auto put = [](const std::string& file, const std::string& text) {
    std::ofstream out(file);
    out << text;
    out.flush();
    return static_cast<bool>(out);
  };
  if (v2) put(parent + "/cgroup.subtree_control", "+memory");
  std::string answer;
  if (!put(group + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), std::to_string(limitBytes))) {
    answer = "no group: its memory limit can not be set";
  } else {
    answer = RunInChild(body, [&]() -> std::string {
      return put(group + "/cgroup.procs", std::to_string(::getpid())) ? std::string()
                                                                      : "no group: can not join " + group;
    });
  }
  ::rmdir(group.c_str());
  return answer;
}

}  // namespace kelvado::testing
