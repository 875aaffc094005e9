#pragma once
// Runs a peer program beside the test program that acts as a second process (kv_fb_peer,
// tests/support/FirebirdPeer.cpp, on Firebird files unless another is named: kv_lib_peer on libraries,
// kv_pf_saver on project files, kv_clip_peer on the clipboard):
// its stdout is read line by line, its stdin stays open until CloseInput, so a test can keep it holding a file
// while it tries something else.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Process.h"
#include "tests/support/SkipOutsideCI.h"

extern char** environ;

namespace kelvado::testing {

// The command line of a helper program beside the test program: its texts, and the pointers into them that
// posix_spawn takes (null-terminated; valid while the texts live).
struct TPeerCommand {
  TPeerCommand(const std::string& program, const std::vector<std::string>& args) {
    text.push_back(ProgramFolder() + program);
    text.insert(text.end(), args.begin(), args.end());
    for (auto& t : text) argv.push_back(t.data());
    argv.push_back(nullptr);
  }
  std::vector<std::string> text;
  std::vector<char*> argv;
};

class PeerProcess {
public:
  // `program`: another helper beside the test program; `environment`: variables ("NAME=value") it gets besides
  // the test program's own, replacing those of the same name.
  explicit PeerProcess(const std::vector<std::string>& args, const std::string& program = "kv_fb_peer",
                       const std::vector<std::string>& environment = {}) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    TPeerCommand command(program, args);
    std::vector<std::string> envText = environment;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('=') + 1);
      bool replaced = false;
      for (const std::string& mine : environment) replaced = replaced || mine.rfind(name, 0) == 0;
      if (!replaced) envText.push_back(entry);
    }
    std::vector<char*> env;
    for (std::string& e : envText) env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    // The peer answers SIGINT and SIGTERM as a program started from a terminal does, also when the test
    // program was started with them ignored (in the background of a script).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    if (::posix_spawn(&pid_, command.argv[0], &fa, &attr, command.argv.data(), env.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~PeerProcess() {
    CloseInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (output_ >= 0) ::close(output_);
  }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  // The next line of its output without the line end; "" when it ended or nothing came within the time.
  std::string ReadLine(int timeoutMs = 60000) {
    for (;;) {
      const auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{output_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return {};
      char buf[4096];
      const ssize_t n = ::read(output_, buf, sizeof buf);
      if (n <= 0) {
        std::string rest;
        rest.swap(buffer_);
        return rest;
      }
      buffer_.append(buf, static_cast<size_t>(n));
    }
  }

  // Everything it still writes, up to its end.
  std::string ReadAll() {
    std::string all;
    for (std::string line = ReadLine(); !line.empty(); line = ReadLine()) all += line + "\n";
    return all;
  }

  void CloseInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
  }
  void Kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  // Whether it stopped (SIGSTOP) within the time; false also when it ended instead.
  bool WaitStopped(int timeoutMs = 60000) {
    for (int waited = 0; pid_ > 0 && waited < timeoutMs; waited += 10) {
      int status = 0;
      const pid_t got = ::waitpid(pid_, &status, WUNTRACED | WNOHANG);
      if (got == pid_ && WIFSTOPPED(status)) return true;
      if (got == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
      }
      ::usleep(10000);
    }
    return false;
  }
  // Its wait status (see WIFEXITED ...); -1 when it never started.
  int Wait() {
    if (pid_ <= 0) return status_;
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status_;
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int status_ = -1;
  std::string buffer_;
};

// Runs the peer to its end: its output and how it ended ("exit 0", "signal 7").
struct PeerRun {
  std::string out;
  std::string end;
  // The peer could not set up what it was asked for (a file system to mount): SKIP_OUTSIDE_CI(out).
  bool Skipped() const { return end == "exit 77"; }
};

inline PeerRun RunPeer(const std::vector<std::string>& args, const std::string& program = "kv_fb_peer") {
  PeerProcess p(args, program);
  PeerRun r;
  if (!p.Started()) {
    r.end = "not started";
    return r;
  }
  p.CloseInput();
  r.out = p.ReadAll();
  const int st = p.Wait();
  r.end = WIFEXITED(st) ? "exit " + std::to_string(WEXITSTATUS(st))
                        : WIFSIGNALED(st) ? "signal " + std::to_string(WTERMSIG(st)) : "unknown";
  return r;
}

}  // namespace kelvado::testing
