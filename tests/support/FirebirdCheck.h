#pragma once
// Checks of Firebird files from outside the program: Firebird's own validation (gfix, package
// firebird3.0-utils) of a database file that no attachment holds any more.
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "framework/tiFirebird.h"

namespace kelvado::testing {

// Runs "gfix -v -full" on the file (with the Firebird environment of this process, as the engine of the
// program sees the file): "" when gfix finds it clean, else what gfix reported and how it ended.
inline std::string GfixValidate(const std::string& file) {
  tiFBInitEnvironment();
  std::string quoted = "'";
  for (char c : file) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  FILE* p = ::popen(("gfix -v -full -user SYSDBA " + quoted + " 2>&1").c_str(), "r");
  if (!p) return "gfix could not be started";
  std::string out;
  char buf[4096];
  for (size_t n; (n = ::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = ::pclose(p);
  if (status == 0 && out.empty()) return {};
  return out + "(gfix ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
}

}  // namespace kelvado::testing
