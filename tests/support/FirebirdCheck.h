#pragma once
// Checks of Firebird files from outside the program: Firebird's own validation (gfix, package
// firebird3.0-utils) of a database file that no attachment holds any more; and the rows of the one-column
// table T (I INTEGER) that the tests with two programs write, each in a transaction of its own.
#include <stdio.h>
#include <sys/wait.h>

#include <cstdint>
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

inline int64_t CountRowsOfT(TtiFBDatabase& db) {
  TtiFBTransaction tr(db);
  tr.Start(true);
  TtiFBStatement q(db, tr);
  q.SetSQL("SELECT COUNT(*) FROM T");
  q.Open();
  const int64_t n = q.FieldAsInteger(0);
  q.Close();
  tr.Commit();
  return n;
}

inline void InsertIntoT(TtiFBDatabase& db, int64_t value) {
  TtiFBTransaction tr(db);
  tr.Start();
  TtiFBStatement q(db, tr);
  q.SetSQL("INSERT INTO T (I) VALUES (:I)");
  q.SetParamInteger("I", value);
  q.Execute();
  tr.Commit();
}

}  // namespace kelvado::testing
