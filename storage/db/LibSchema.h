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

// Creates the library database file FileName (which must not exist yet) and runs the three scripts on it. On
// any failure the half-made file is removed and EtiFBException (or EConvertError) raised naming the file, and
// the script and line where it failed; a new library file is therefore either complete or absent.
void CreateLibraryDatabaseFile(const std::string& fileName, const std::string& userName = "SYSDBA",
                               const std::string& password = "");

}  // namespace kelvado
