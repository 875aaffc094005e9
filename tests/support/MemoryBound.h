#pragma once
// Runs a piece of a test in a forked child whose address space may grow only by a given number of bytes beyond
// what it holds when it starts: a read that takes more memory than it may gets bad_alloc (or dies) there
// instead of taking the machine's memory. The child's answer comes back as a text through a pipe. The child
// has only the thread that forked it: `body` must not wait for another (a pool's monitor, a worker).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <string>

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

// `body` run in a child limited to `extraBytes` more address space than it has at the start; its answer, or
// "bad_alloc", "exception: <what>" or "died: <status>".
inline std::string RunWithinMemory(size_t extraBytes, const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    ::close(fds[0]);
    std::string answer;
    const rlim_t limit = AddressSpaceNow() + extraBytes;
    const struct rlimit rl {limit, limit};
    if (::setrlimit(RLIMIT_AS, &rl) != 0) {
      answer = "no limit";
    } else {
      try {
        answer = body();
      } catch (const std::bad_alloc&) {
        answer = "bad_alloc";
      } catch (const std::exception& e) {
        answer = std::string("exception: ") + e.what();
      }
    }
    for (size_t done = 0; done < answer.size();) {
      const ssize_t n = ::write(fds[1], answer.data() + done, answer.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string answer;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "died: " + std::to_string(status) + " " + answer;
  return answer;
}

}  // namespace kelvado::testing
