#include "storage/db/LibSchema.h"

#include <cstdio>

#include "framework/tiFirebird.h"

namespace kelvado {

void CreateLibraryDatabaseFile(const std::string& fileName, const std::string& userName,
                               const std::string& password) {
  TtiFBDatabase::CreateDatabase(fileName, userName, password);
  TtiFBDatabase db(fileName, userName, password);
  try {
    db.Connect();
    for (const auto& s : LibSchemaScripts()) tiFBRunScript(db, std::string(s.Text), s.Name);
    db.Disconnect();
  } catch (...) {
    // The file is ours (creation refuses existing files): leave no library without its schema behind. A file
    // on a server can only be dropped through the server.
    try {
      if (db.Connected()) db.DropDatabase();
    } catch (const std::exception&) {
    }
    if (!tiFBIsServerName(fileName)) std::remove(fileName.c_str());
    throw;
  }
}

}  // namespace kelvado
