#pragma once
// Runs a piece of a test in a forked child, for what must not touch the test program itself (a user it drops
// to, a limit it sets), and gives back the child's answer as a text through a pipe. The child has only the
// thread that forked it: `body` must not wait for another (a pool's monitor, a worker).
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <new>
#include <string>

namespace kelvado::testing {

// `body` run in a forked child after `setUp` (which gives an empty text or why it failed); its answer, or
// "bad_alloc", "exception: <what>", "died: <status>" or what `setUp` said went wrong.
inline std::string RunInChild(const std::function<std::string()>& body,
                              const std::function<std::string()>& setUp = {}) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    ::close(fds[0]);
    ::alarm(120);  // a child that hangs ends
    std::string answer = setUp ? setUp() : std::string();
    if (answer.empty()) {
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
