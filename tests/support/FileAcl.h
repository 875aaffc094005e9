#pragma once
// A file's access control list through the system's own tools (Debian's acl package): set as setfacl takes
// it, read as getfacl shows it.
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvado::testing {

// Adds or changes entries ("u:nobody:rw-,g::r--"); false when setfacl refused.
inline bool SetAcl(const std::string& file, const std::string& entries) {
  const std::string command = "setfacl -m '" + entries + "' -- '" + file + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// Every entry with its effective rights (the mask applied), without the header that names the file, its owner and group.
inline std::string AclOf(const std::string& file) {
  std::string text;
  FILE* p = ::popen(("getfacl -cpe -- '" + file + "' 2>&1").c_str(), "r");
  if (!p) return "getfacl could not be run";
  char buf[1024];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
  ::pclose(p);
  return text;
}

}  // namespace kelvado::testing
