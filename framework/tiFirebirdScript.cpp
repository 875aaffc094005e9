#include <algorithm>
#include <cctype>
#include <sstream>

#include "framework/tiFirebirdInternal.h"
#include "platform/TextCase.h"

// SQL scripts as isql reads them: split into statements and run on an open database.

namespace kelvado {

using namespace fbi;

namespace {

// The leading words of a statement, upper case, separated by single blanks.
std::vector<std::string> Words(const std::string& text, size_t count) {
  std::vector<std::string> w;
  std::istringstream in(text);
  std::string s;
  while (w.size() < count && in >> s) w.push_back(UpperAscii(s));
  return w;
}

bool IsSchemaStatement(const std::vector<std::string>& w) {
  if (w.empty()) return false;
  static const char* kDdl[] = {"CREATE", "ALTER", "DROP", "RECREATE", "DECLARE", "COMMENT", "GRANT", "REVOKE"};
  for (const char* k : kDdl)
    if (w[0] == k) return true;
  return false;
}

}  // namespace

std::vector<TtiFBScriptStatement> tiFBSplitScript(const std::string& s, const std::string& scriptName) {
  std::vector<TtiFBScriptStatement> out;
  std::string term = ";";
  std::string cur;
  int line = 1;
  int curLine = 0;
  size_t i = 0;
  const size_t n = s.size();
  auto fail = [&](int at, const std::string& what) {
    throw EtiFBException(tiFormat("Script \"%s\", line %d: %s", {scriptName, at, what}));
  };
  auto blank = [&] { return cur.find_first_not_of(" \t\r\n") == std::string::npos; };
  while (i < n) {
    const char c = s[i];
    if (c == '-' && i + 1 < n && s[i + 1] == '-') {
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && s[i + 1] == '*') {
      const size_t e = s.find("*/", i + 2);
      if (e == std::string::npos) fail(line, "unterminated comment");
      line += static_cast<int>(std::count(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(e), '\n'));
      i = e + 2;
      cur += ' ';
      continue;
    }
    if (s.compare(i, term.size(), term) == 0) {
      const std::string text = TrimBlanks(cur);
      cur.clear();
      i += term.size();
      if (text.empty()) continue;
      const auto w = Words(text, 3);
      if (w.size() >= 2 && w[0] == "SET" && w[1] == "TERM") {
        if (w.size() != 3 || Words(text, 4).size() != 3) fail(curLine, "SET TERM needs exactly one new terminator");
        // Keep the terminator's original spelling (it is compared as written).
        std::istringstream in(text);
        std::string a, b, t;
        in >> a >> b >> t;
        term = t;
        continue;
      }
      out.push_back({text, curLine});
      continue;
    }
    if (c == '\'' || c == '"') {
      if (blank()) curLine = line;
      size_t j = i + 1;
      for (;;) {
        if (j >= n) fail(line, "unterminated quoted text");
        if (s[j] == c) {
          if (j + 1 < n && s[j + 1] == c) {
            j += 2;
            continue;
          }
          break;
        }
        ++j;
      }
      line += static_cast<int>(std::count(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(j), '\n'));
      cur.append(s, i, j - i + 1);
      i = j + 1;
      continue;
    }
    if (blank() && !std::isspace(static_cast<unsigned char>(c))) curLine = line;
    if (c == '\n') ++line;
    cur += c;
    ++i;
  }
  if (!blank()) fail(curLine, "the last statement has no terminator \"" + term + "\"");
  return out;
}

void tiFBRunScript(TtiFBDatabase& db, const std::string& script, const std::string& scriptName) {
  const auto statements = tiFBSplitScript(script, scriptName);
  TtiFBTransaction tr(db);
  tr.Start();
  bool autoDdl = true;
  for (const auto& st : statements) {
    auto fail = [&](const std::string& what) {
      if (tr.Active()) {
        try {
          tr.RollBack();
        } catch (const Exception&) {
        }
      }
      throw EtiFBException(tiFormat("Script \"%s\", line %d, on %s: %s\nStatement: %s",
                                    {scriptName, st.Line, db.Describe(), what, Shorten(st.Text, 200)}));
    };
    const auto w = Words(st.Text, 4);
    if ((w[0] == "COMMIT" || w[0] == "ROLLBACK") && (w.size() == 1 || (w.size() == 2 && w[1] == "WORK"))) {
      try {
        if (w[0] == "COMMIT")
          tr.Commit();
        else
          tr.RollBack();
        tr.Start();
      } catch (const Exception& e) {
        fail(e.Message());
      }
      continue;
    }
    if (w[0] == "SET") {
      if (w.size() == 4 && w[1] == "SQL" && w[2] == "DIALECT") {
        if (w[3] != "3") fail("only SQL dialect 3 is supported");
        continue;
      }
      if (w.size() == 3 && w[1] == "AUTODDL" && (w[2] == "ON" || w[2] == "OFF")) {
        autoDdl = w[2] == "ON";
        continue;
      }
      if (w.size() >= 2 && (w[1] == "SQL" || w[1] == "AUTODDL" || w[1] == "NAMES" || w[1] == "ECHO" ||
                            w[1] == "BAIL" || w[1] == "LIST" || w[1] == "STATS" || w[1] == "PLAN"))
        fail("this isql command is not supported in scripts");
    }
    if (w[0] == "CONNECT" || (w.size() >= 2 && (w[0] == "CREATE" || w[0] == "DROP") &&
                              (w[1] == "DATABASE" || w[1] == "SCHEMA")))
      fail("a script cannot create, open or drop a database; it runs on the open one");
    try {
      db.ExecuteImmediate(tr, st.Text);
      if (autoDdl && IsSchemaStatement(w)) {
        tr.Commit();
        tr.Start();
      }
    } catch (const Exception& e) {
      fail(e.Message());
    }
  }
  try {
    tr.Commit();
  } catch (const Exception& e) {
    throw EtiFBException(tiFormat("Script \"%s\" on %s: %s", {scriptName, db.Describe(), e.Message()}));
  }
}

}  // namespace kelvado
