#include "platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace kelvado {

namespace {

std::string AbsoluteFromCwd(const std::string& path) {
  if (path.empty() || path[0] == '/' || path.find('/') == std::string::npos) return path;
  char buf[4096];
  if (!::getcwd(buf, sizeof(buf))) return path;
  return std::string(buf) + "/" + path;
}

// Spawns the program; on success fills pid and returns an empty text, else the reason.
std::string Spawn(const std::string& exe, const std::vector<std::string>& args, const std::string& workDir,
                  pid_t& pid) {
  if (exe.empty()) return "no program given";
  // The child changes its folder before it looks the program up: resolve a relative path here first.
  const std::string program = AbsoluteFromCwd(exe);
  std::vector<std::string> argvText;
  argvText.push_back(exe);
  argvText.insert(argvText.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argvText) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int rc = 0;
  if (!workDir.empty()) rc = posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  // The child gets no handles of ours beyond the standard three.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (rc == 0) {
    const bool search = program.find('/') == std::string::npos;
    rc = search ? posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ)
                : posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    std::string why = "cannot start \"" + exe + "\"";
    if (!workDir.empty()) why += " in \"" + workDir + "\"";
    return why + ": " + std::strerror(rc);
  }
  return std::string();
}

}  // namespace

ProcessResult RunProcessAndWait(const std::string& exe, const std::vector<std::string>& args,
                                const std::string& workDir) {
  ProcessResult result;
  pid_t pid = 0;
  result.error = Spawn(exe, args, workDir, pid);
  if (!result.error.empty()) return result;
  result.started = true;
  int status = 0;
  pid_t w;
  do {
    w = ::waitpid(pid, &status, 0);
  } while (w < 0 && errno == EINTR);
  if (w < 0) {
    result.error = std::string("cannot wait for \"") + exe + "\": " + std::strerror(errno);
    return result;
  }
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

bool StartProcess(const std::string& exe, const std::vector<std::string>& args, std::string* error) {
  pid_t pid = 0;
  std::string why = Spawn(exe, args, std::string(), pid);
  if (!why.empty()) {
    if (error) *error = why;
    return false;
  }
  // Reap the child when it ends so it does not linger as a zombie.
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

std::vector<std::string> SplitCommandLine(const std::string& params) {
  std::vector<std::string> args;
  std::string current;
  bool inArg = false, quoted = false;
  for (size_t i = 0; i < params.size(); ++i) {
    char c = params[i];
    if (c == '\\' && i + 1 < params.size() && params[i + 1] == '"') {
      current += '"';
      inArg = true;
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
      inArg = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
      if (inArg) args.push_back(current);
      current.clear();
      inArg = false;
    } else {
      current += c;
      inArg = true;
    }
  }
  if (inArg) args.push_back(current);
  return args;
}

std::string ProgramFilePath() {
  std::vector<char> buf(4096);
  while (true) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
    buf.resize(buf.size() * 2);
  }
}

std::string ProgramFolder() {
  std::string exe = ProgramFilePath();
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

}  // namespace kelvado
