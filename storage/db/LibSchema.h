#pragma once
// The schema of item library files: three SQL scripts built into the program, and the creation of a new,
// empty library file from them.
#include <string>
#include <string_view>
#include <vector>

namespace kelvado {

struct TLibSchemaScript {
  const char* Name;       // "KELVADO_LIB", "KELVADO_LIB_DEP", "KELVADO_LIB_RNG"
  std::string_view Text;  // the SQL text
};

// The scripts in the order they must run: tables, then foreign keys, then range checks.
const std::vector<TLibSchemaScript>& LibSchemaScripts();

// Creates the library database file FileName (which must not exist yet) and runs the three scripts on it. A
// local file is built under a temporary name beside it and given its name only when complete (a creation that
// fails, or a program killed half-way, leaves nothing under the name). On any failure EtiFBException (or
// EConvertError) is raised naming the file, and the script and line where it failed.
void CreateLibraryDatabaseFile(const std::string& fileName, const std::string& userName = "SYSDBA",
                               const std::string& password = "");

}  // namespace kelvado
