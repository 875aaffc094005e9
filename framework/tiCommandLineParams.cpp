#include "framework/tiCommandLineParams.h"
#include "platform/TextCase.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

namespace kelvado {

namespace {

struct ProgramArgs {
  std::mutex mutex;
  bool given = false;
  std::vector<std::string> args;
  std::unique_ptr<TtiCommandLineParams> params;
  // Instances replaced by tiResetCommandLine: callers may still hold references to them.
  std::vector<std::unique_ptr<TtiCommandLineParams>> retired;
};

ProgramArgs& Program() {
  static ProgramArgs program;
  return program;
}

// The arguments of this process after the program name, as the kernel holds them.
std::vector<std::string> ReadProcCmdline() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\0', pos);
    if (end == std::string::npos) end = all.size();
    args.push_back(all.substr(pos, end - pos));
    pos = end + 1;
  }
  if (!args.empty()) args.erase(args.begin());
  return args;
}

}  // namespace

TtiCommandLineParams::TtiCommandLineParams(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) commandLine_ += ' ';
    commandLine_ += args[i];
  }
  // Strip dashes from both ends, then every run of dashes starts a new switch.
  const size_t b = commandLine_.find_first_not_of('-');
  if (b == std::string::npos) return;
  const size_t e = commandLine_.find_last_not_of('-');
  const std::string text = commandLine_.substr(b, e - b + 1);

  size_t pos = 0;
  while (pos <= text.size()) {
    size_t dash = text.find('-', pos);
    if (dash == std::string::npos) dash = text.size();
    const std::string word = text.substr(pos, dash - pos);
    // A word of blanks only (e.g. a blank argument before a switch) names nothing.
    if (!TrimBlanks(word).empty()) {
      const size_t blank = word.find(' ');
      const std::string name = UpperAscii(word.substr(0, blank));
      const std::string value = blank == std::string::npos ? std::string() : TrimBlanks(word.substr(blank + 1));
      params_.push_back(name + "=" + value);
    }
    pos = text.find_first_not_of('-', dash);
    if (pos == std::string::npos) break;
  }
}

bool TtiCommandLineParams::IsParam(const std::string& name) const {
  const std::string wanted = UpperAscii(name);
  for (const std::string& p : params_)
    if (p.compare(0, p.find('='), wanted) == 0) return true;
  return false;
}

void tiSetCommandLine(int argc, const char* const* argv) {
  ProgramArgs& program = Program();
  std::lock_guard<std::mutex> lock(program.mutex);
  // Once parsed, the instance stays: callers may hold references to it.
  if (program.params) return;
  program.args.clear();
  for (int i = 1; i < argc; ++i) program.args.emplace_back(argv[i] ? argv[i] : "");
  program.given = true;
}

const TtiCommandLineParams& gCommandLineParams() {
  ProgramArgs& program = Program();
  std::lock_guard<std::mutex> lock(program.mutex);
  if (!program.params)
    program.params = std::make_unique<TtiCommandLineParams>(program.given ? program.args : ReadProcCmdline());
  return *program.params;
}

void tiResetCommandLine() {
  ProgramArgs& program = Program();
  std::lock_guard<std::mutex> lock(program.mutex);
  if (program.params) program.retired.push_back(std::move(program.params));
  program.args.clear();
  program.given = false;
}

}  // namespace kelvado
