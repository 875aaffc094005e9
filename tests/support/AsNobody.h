#pragma once
// Runs a piece of a test as the user nobody, for what root would pass by its privileges (it reads and writes
// every file whatever its mode): a forked child drops to nobody and sends its answer back as a text. The child
// has only the thread that forked it: `body` must not wait for another (a pool's monitor, a worker). An alarm
// ends a child that hangs.
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <functional>
#include <string>

namespace kelvado::testing {

inline constexpr uid_t kNobody = 65534;

// `body`'s answer, "exception: <what>", "no nobody" (the child could not drop to nobody) or "died: <status>".
inline std::string AnswerAsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t child = ::fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    ::close(fds[0]);
    ::alarm(60);
    std::string answer;
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      answer = "no nobody";
    } else {
      try {
        answer = body();
      } catch (const std::exception& e) {
        answer = std::string("exception: ") + e.what();
      } catch (...) {
        answer = "exception";
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
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "died: " + std::to_string(status);
  return answer;
}

}  // namespace kelvado::testing
