#pragma once
// Starting other programs, and where this program lives.
#include <string>
#include <vector>

namespace kelvado {

struct ProcessResult {
  bool started = false;   // false: the program could not be started (see error)
  bool exited = false;    // it ended normally; exitCode holds its status
  int exitCode = -1;
  int signal = 0;         // the signal that ended it, when it did not exit normally
  std::string error;      // why it could not be started or waited for
};

// Starts `exe` with `args` (not including the program name) in `workDir` (empty: this process's folder), with
// no inherited file descriptors beyond stdin, stdout and stderr, and waits without time-out for its end.
// A relative `exe` containing "/" is taken relative to this process's folder (not to workDir); a bare name is
// searched in PATH.
ProcessResult RunProcessAndWait(const std::string& exe, const std::vector<std::string>& args,
                                const std::string& workDir);

// Starts `exe` with `args` and does not wait; the ended process is reaped in the background. False (and
// `error` filled when given) when it could not be started.
bool StartProcess(const std::string& exe, const std::vector<std::string>& args, std::string* error = nullptr);

// Splits a command-line text into arguments: blanks separate, double quotes group (and are removed), \" is a
// literal quote inside or outside quotes.
std::vector<std::string> SplitCommandLine(const std::string& params);

// The full path of the running program, and its folder with a trailing "/".
std::string ProgramFilePath();
std::string ProgramFolder();

}  // namespace kelvado
