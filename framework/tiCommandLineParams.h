#pragma once
// The framework's command-line switches: a dash, a name and an optional value ("-db /data/x.kvd",
// "-VerboseDBConnection"). Names are kept upper-case; a value is cut at the next "-".
#include <string>
#include <vector>

namespace kelvado {

class TtiCommandLineParams {
public:
  // Parses the program arguments (without the program name).
  explicit TtiCommandLineParams(const std::vector<std::string>& args);

  // True when an entry's name equals the upper-case form of `name`.
  bool IsParam(const std::string& name) const;
  // The whole command line as one text (arguments joined with one blank).
  const std::string& AsString() const { return commandLine_; }
  // Entries "NAME=value", in command-line order.
  const std::vector<std::string>& Params() const { return params_; }

private:
  std::string commandLine_;
  std::vector<std::string> params_;
};

// Hands the program's arguments to the framework; main() calls it once, before the first use of
// gCommandLineParams() (later calls are ignored). Without it the arguments are read from /proc/self/cmdline.
void tiSetCommandLine(int argc, const char* const* argv);
// The process-wide instance, parsed on first use.
const TtiCommandLineParams& gCommandLineParams();
// Forgets the given arguments and the parsed instance, so that tiSetCommandLine takes effect again (tests).
// Instances handed out before stay valid until the process ends.
void tiResetCommandLine();

}  // namespace kelvado
