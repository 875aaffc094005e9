#pragma once
// Checks of Firebird files from outside the program: Firebird's own validation (gfix, package
// firebird3.0-utils) of a database file that no attachment holds any more.
#include <stdio.h>
#include <sys/wait.h>

#include <string>

#include "framework/tiFirebird.h"

namespace kelvado::testing {

inline std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs "gfix -v -full" on the database (with the Firebird environment of this process, as the engine of the
// program sees a local file; a name with a server part goes to that server, as SYSDBA with `password`): ""
// when gfix finds it clean, else what gfix reported and how it ended.
inline std::string GfixValidate(const std::string& file, const std::string& password = {}) {
  tiFBInitEnvironment();
  const std::string login = "-user SYSDBA" + (password.empty() ? std::string() : " -password " + ShellQuoted(password));
  // This process's Firebird configuration allows the embedded engine only; gfix reaches a server with the
  // system's.
  const std::string env = tiFBIsServerName(file) ? "env -u FIREBIRD " : "";
  FILE* p = ::popen((env + "gfix -v -full " + login + " " + ShellQuoted(file) + " 2>&1").c_str(), "r");
  if (!p) return "gfix could not be started";
  std::string out;
  char buf[4096];
  for (size_t n; (n = ::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  const int status = ::pclose(p);
  if (status == 0 && out.empty()) return {};
  return out + "(gfix ended with status " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
}

}  // namespace kelvado::testing
