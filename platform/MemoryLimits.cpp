#include "platform/MemoryLimits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/FileIO.h"

namespace kelvado {

namespace {

// Files of the system are small; a mount table of a busy machine is the largest.
constexpr int64_t kMaxSystemFile = int64_t(4) << 20;
// A cgroup v1 group without a limit reports one near 2^63.
constexpr int64_t kNoLimitAbove = int64_t(1) << 60;

std::optional<std::string> ReadSystemFile(const std::string& path) {
  try {
    return ReadRegularFileIfExists(path, kMaxSystemFile);
  } catch (const std::exception&) {
    // Not readable here (a sandbox): the limit it would tell is not known, and the others still count.
    return std::nullopt;
  }
}

std::optional<int64_t> ParseBytes(const std::string& text) {
  const char* begin = text.c_str();
  while (*begin == ' ' || *begin == '\t') ++begin;
  if (*begin < '0' || *begin > '9') return std::nullopt;  // "max", empty, garbage
  char* end = nullptr;
  const unsigned long long v = std::strtoull(begin, &end, 10);
  if (end == begin) return std::nullopt;
  return v >= static_cast<unsigned long long>(kNoLimitAbove) ? kNoLimitAbove : static_cast<int64_t>(v);
}

std::optional<int64_t> ReadBytes(const std::string& path) {
  const std::optional<std::string> text = ReadSystemFile(path);
  return text ? ParseBytes(*text) : std::nullopt;
}

// The value of `key` in a "key value" file (memory.stat), in bytes.
std::optional<int64_t> StatValue(const std::string& path, const std::string& key) {
  const std::optional<std::string> text = ReadSystemFile(path);
  if (!text) return std::nullopt;
  std::istringstream in(*text);
  for (std::string line; std::getline(in, line);)
    if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == ' ')
      return ParseBytes(line.substr(key.size() + 1));
  return std::nullopt;
}

// A cgroup hierarchy this process belongs to: where it is mounted and the process's group in it.
struct THierarchy {
  bool V2 = false;
  std::string Folder;  // the process's group's folder
  std::string Top;     // the mount point: no group above it is seen
};

std::vector<std::string> Split(const std::string& text, char by) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, by)) parts.push_back(part);
  return parts;
}

// The hierarchies with the memory controller: v2 (line "0::PATH" in /proc/self/cgroup, a cgroup2 mount) and
// v1 (a line whose controllers include "memory", a cgroup mount with option "memory"). The group's path is
// taken relative to the root the mount shows (a container sees its own group as "/").
std::vector<THierarchy> MemoryHierarchies(const std::string& root) {
  std::vector<THierarchy> found;
  const std::optional<std::string> groups = ReadSystemFile(root + "/proc/self/cgroup");
  const std::optional<std::string> mounts = ReadSystemFile(root + "/proc/self/mountinfo");
  if (!groups || !mounts) return found;
  std::string v2Path, v1Path;
  bool haveV2 = false, haveV1 = false;
  {
    std::istringstream in(*groups);
    for (std::string line; std::getline(in, line);) {
      const size_t a = line.find(':');
      const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
      if (b == std::string::npos) continue;
      const std::string controllers = line.substr(a + 1, b - a - 1);
      const std::string path = line.substr(b + 1);
      if (line.compare(0, a, "0") == 0 && controllers.empty()) {
        haveV2 = true;
        v2Path = path;
      } else {
        for (const std::string& c : Split(controllers, ','))
          if (c == "memory") {
            haveV1 = true;
            v1Path = path;
          }
      }
    }
  }
  std::istringstream in(*mounts);
  for (std::string line; std::getline(in, line);) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    const std::vector<std::string> head = Split(line.substr(0, dash), ' ');
    const std::vector<std::string> tail = Split(line.substr(dash + 3), ' ');
    if (head.size() < 5 || tail.size() < 3) continue;
    const std::string& mountRoot = head[3];
    const std::string& mountPoint = head[4];
    const std::string& type = tail[0];
    THierarchy h;
    std::string path;
    if (type == "cgroup2" && haveV2) {
      h.V2 = true;
      path = v2Path;
    } else if (type == "cgroup" && haveV1) {
      bool memory = false;
      for (const std::string& o : Split(tail[2], ','))
        if (o == "memory") memory = true;
      if (!memory) continue;
      path = v1Path;
    } else {
      continue;
    }
    // The group must lie under what the mount shows.
    std::string rel;
    if (mountRoot == "/") {
      rel = path;
    } else if (path.compare(0, mountRoot.size(), mountRoot) == 0 &&
               (path.size() == mountRoot.size() || path[mountRoot.size()] == '/')) {
      rel = path.substr(mountRoot.size());
    } else {
      continue;
    }
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    h.Top = root + mountPoint;
    h.Folder = h.Top + rel;
    found.push_back(std::move(h));
  }
  return found;
}

// What the group and every group above it up to the mount leave: limit less use, the use without the file
// cache the kernel drops before it refuses memory (a group that has read many files shows them as used).
std::optional<int64_t> GroupRoom(const THierarchy& h) {
  std::optional<int64_t> room;
  const char* limitFile = h.V2 ? "/memory.max" : "/memory.limit_in_bytes";
  const char* usageFile = h.V2 ? "/memory.current" : "/memory.usage_in_bytes";
  const char* cacheKey = h.V2 ? "inactive_file" : "total_inactive_file";  // v1: with the groups below
  for (std::string folder = h.Folder;;) {
    const std::optional<int64_t> limit = ReadBytes(folder + limitFile);
    if (limit && *limit < kNoLimitAbove) {
      const int64_t used = ReadBytes(folder + usageFile).value_or(0);
      const int64_t cache = std::min(used, StatValue(folder + "/memory.stat", cacheKey).value_or(0));
      const int64_t left = std::max<int64_t>(*limit - (used - cache), 0);
      room = room ? std::min(*room, left) : left;
    }
    if (folder.size() <= h.Top.size()) break;
    folder.erase(folder.rfind('/'));
  }
  return room;
}

// What a limit of the process leaves beyond `held` pages.
std::optional<int64_t> ProcessRoom(int resource, long long heldPages) {
  struct rlimit rl {};
  if (::getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return std::nullopt;
  const auto limit = static_cast<int64_t>(std::min<rlim_t>(rl.rlim_cur, INT64_MAX));
  return std::max<int64_t>(limit - static_cast<int64_t>(heldPages) * ::sysconf(_SC_PAGESIZE), 0);
}

int64_t MachineAvailable(const std::string& root) {
  if (const std::optional<int64_t> kb = StatValue(root + "/proc/meminfo", "MemAvailable:")) return *kb * 1024;
  // A kernel before 3.14: free memory alone, which leaves out what the cache would give back.
  return static_cast<int64_t>(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
}

}  // namespace

TMemoryAllowance MemoryAllowance(const TMemorySystem& system) {
  TMemoryAllowance a;
  a.Bytes = std::max<int64_t>(MachineAvailable(system.Root), 0);
  a.Bound = TMemoryBound::Machine;
  const auto take = [&](std::optional<int64_t> room, TMemoryBound bound) {
    if (room && *room < a.Bytes) a = {*room, bound};
  };
  for (const THierarchy& h : MemoryHierarchies(system.Root)) take(GroupRoom(h), TMemoryBound::ControlGroup);
  // Pages of the whole address space and of the data segment, as the two limits count them.
  long long pages[6] = {};
  if (FILE* f = std::fopen("/proc/self/statm", "re")) {
    if (std::fscanf(f, "%lld %lld %lld %lld %lld %lld", &pages[0], &pages[1], &pages[2], &pages[3], &pages[4],
                    &pages[5]) != 6)
      pages[0] = pages[5] = 0;
    std::fclose(f);
  }
  take(ProcessRoom(RLIMIT_DATA, pages[5]), TMemoryBound::DataSize);
  take(ProcessRoom(RLIMIT_AS, pages[0]), TMemoryBound::AddressSpace);
  return a;
}

const char* MemoryBoundText(TMemoryBound bound) {
  switch (bound) {
    case TMemoryBound::AddressSpace: return "the address-space limit of this process";
    case TMemoryBound::DataSize: return "the data-size limit of this process";
    case TMemoryBound::ControlGroup: return "the memory limit of its control group";
    case TMemoryBound::Machine: break;
  }
  return "the memory available on this machine";
}

}  // namespace kelvado
