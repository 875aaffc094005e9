#pragma once
// Waiting for another thread of this process to block, read from the kernel's view of it
// (/proc/self/task/<tid>/syscall), so that a test orders its steps on what the thread does instead of on a
// guess how long it takes to get there.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

namespace kelvado::testing {

// Kernel id of the calling thread.
inline pid_t CurrentThreadTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Kernel ids of the threads of this process.
inline std::set<pid_t> ProcessThreadTids() {
  std::set<pid_t> tids;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task"))
    tids.insert(static_cast<pid_t>(std::stol(e.path().filename().string())));
  return tids;
}

// Whether thread `tid` is blocked in a futex wait with a time limit: a condition variable's wait_for (a slot
// wait, an interruptible sleep). A thread that runs, or waits for a mutex without limit, is not.
inline bool InTimedWait(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
  std::string nr, uaddr, op, val, timeout;
  if (!(in >> nr >> uaddr >> op >> val >> timeout) || nr != std::to_string(SYS_futex)) return false;
  const unsigned long cmd = std::stoul(op, nullptr, 16) & FUTEX_CMD_MASK;
  return (cmd == FUTEX_WAIT || cmd == FUTEX_WAIT_BITSET) && std::stoul(timeout, nullptr, 16) != 0;
}

// Waits until one of the threads `tids` is in a timed wait; false when none is there within `limit`.
inline bool WaitUntilInTimedWait(const std::set<pid_t>& tids,
                                 std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (pid_t tid : tids)
      if (InTimedWait(tid)) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::yield();
  }
}
inline bool WaitUntilInTimedWait(pid_t tid, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  return WaitUntilInTimedWait(std::set<pid_t>{tid}, limit);
}

}  // namespace kelvado::testing
