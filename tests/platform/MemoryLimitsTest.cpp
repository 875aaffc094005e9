// What the process may still take comes from the limits that really bind it: its own, its control group's and
// the machine's, the smallest of them, named.
#include "platform/MemoryLimits.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/MemoryBound.h"
#include "tests/support/SkipOutsideCI.h"

namespace kelvado::testing {
namespace {

std::string Answer(const TMemoryAllowance& a) {
  return std::to_string(static_cast<int>(a.Bound)) + " " + std::to_string(a.Bytes);
}

int64_t BytesOf(const std::string& answer) { return std::stoll(answer.substr(answer.find(' ') + 1)); }

constexpr int64_t MB = int64_t(1) << 20;

// A limit set on a real process: its address space (ulimit -v) and a memory control group of its own; none
// at all leaves the machine's available memory.
TEST(MemoryAllowance, TheLimitsOfARealProcessBindAndAreNamed) {
  // Never more than the machine has available.
  const TMemoryAllowance free = MemoryAllowance();
  int64_t available = 0;
  {
    std::ifstream in("/proc/meminfo");
    for (std::string key; in >> key;)
      if (key == "MemAvailable:") in >> available;
  }
  EXPECT_LE(free.Bytes, available * 1024 + 64 * MB);
  EXPECT_GT(free.Bytes, 64 * MB);

  if (AddressSpaceLimitsWork()) {
    const std::string limited = RunWithinMemory(size_t(96) << 20, [] { return Answer(MemoryAllowance()); });
    ASSERT_EQ(limited.substr(0, 2), std::to_string(static_cast<int>(TMemoryBound::AddressSpace)) + " ") << limited;
    // What the child took before it asked counts as taken.
    EXPECT_LE(BytesOf(limited), 96 * MB);
    EXPECT_GT(BytesOf(limited), 80 * MB);
  }

  const std::string grouped = RunInMemoryGroup(128 * MB, [] { return Answer(MemoryAllowance()); });
  if (grouped.rfind("no group", 0) == 0) SKIP_OUTSIDE_CI(grouped);
  ASSERT_EQ(grouped.substr(0, 2), std::to_string(static_cast<int>(TMemoryBound::ControlGroup)) + " ") << grouped;
  EXPECT_LE(BytesOf(grouped), 128 * MB);
  EXPECT_GT(BytesOf(grouped), 96 * MB);
}

class MemorySystemFiles : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("kelvado-memsys-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root_);
    Put("proc/meminfo", "MemTotal:       16000000 kB\nMemFree:          100000 kB\nMemAvailable:    8388608 kB\n");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void Put(const std::string& path, const std::string& text) {
    const std::filesystem::path p = root_ / path;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  TMemoryAllowance Allowance() const { return MemoryAllowance({root_.string()}); }
  std::filesystem::path root_;
};

// The groups as the system files describe them: a limit on a group above the process's binds too; "max" and
// v1's "no limit" are none; a group that has read many files counts their cache as free; a container sees its
// own group as the mount's root.
TEST_F(MemorySystemFiles, EveryGroupAboveTheProcessCountsAndTheFileCacheIsFree) {
  // No control group files: the machine.
  TMemoryAllowance a = Allowance();
  EXPECT_EQ(a.Bound, TMemoryBound::Machine);
  EXPECT_EQ(a.Bytes, 8192 * MB);

  // v2, the limit one level up, the process's own group without one.
  Put("proc/self/cgroup", "0::/user.slice/app.scope\n");
  Put("proc/self/mountinfo",
      "22 1 0:21 / / rw - ext4 /dev/sda1 rw\n"
      "31 22 0:26 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw,nsdelegate\n");
  Put("sys/fs/cgroup/user.slice/app.scope/memory.max", "max\n");
  Put("sys/fs/cgroup/user.slice/app.scope/memory.current", "50000000\n");
  Put("sys/fs/cgroup/user.slice/memory.max", std::to_string(1000 * MB) + "\n");
  Put("sys/fs/cgroup/user.slice/memory.current", std::to_string(900 * MB) + "\n");
  Put("sys/fs/cgroup/user.slice/memory.stat",
      "anon 1000\nfile 2000\nactive_file 5\ninactive_file " + std::to_string(300 * MB) + "\n");
  a = Allowance();
  EXPECT_EQ(a.Bound, TMemoryBound::ControlGroup);
  EXPECT_EQ(a.Bytes, 400 * MB);
  // A group whose use is past its limit leaves nothing.
  Put("sys/fs/cgroup/user.slice/memory.stat", "inactive_file 0\n");
  Put("sys/fs/cgroup/user.slice/memory.current", std::to_string(1200 * MB) + "\n");
  a = Allowance();
  EXPECT_EQ(a.Bound, TMemoryBound::ControlGroup);
  EXPECT_EQ(a.Bytes, 0);

  // v1 in a container: the mount shows the container's group as its root; an unlimited group is no limit.
  std::filesystem::remove_all(root_ / "sys");
  Put("proc/self/cgroup", "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc/job\n0::/\n");
  Put("proc/self/mountinfo",
      "40 31 0:35 /docker/abc /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n"
      "41 31 0:36 /docker/abc /sys/fs/cgroup/cpu,cpuacct ro - cgroup cgroup rw,cpu,cpuacct\n");
  Put("sys/fs/cgroup/memory/job/memory.limit_in_bytes", "9223372036854771712\n");
  Put("sys/fs/cgroup/memory/job/memory.usage_in_bytes", "1000\n");
  Put("sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(512 * MB) + "\n");
  Put("sys/fs/cgroup/memory/memory.usage_in_bytes", std::to_string(112 * MB) + "\n");
  Put("sys/fs/cgroup/memory/memory.stat", "inactive_file 1\ntotal_inactive_file " + std::to_string(10 * MB) + "\n");
  a = Allowance();
  EXPECT_EQ(a.Bound, TMemoryBound::ControlGroup);
  EXPECT_EQ(a.Bytes, 410 * MB);
  // Larger than what the machine has available: the machine binds.
  Put("sys/fs/cgroup/memory/memory.limit_in_bytes", std::to_string(20000 * MB) + "\n");
  a = Allowance();
  EXPECT_EQ(a.Bound, TMemoryBound::Machine);
  EXPECT_EQ(a.Bytes, 8192 * MB);
}

}  // namespace
}  // namespace kelvado::testing
