#include "storage/db/LibSchema.h"

#include <unistd.h>

#include "framework/tiExcept.h"
#include "framework/tiFirebird.h"
#include "framework/tiUtils.h"

namespace kelvado {

namespace {

void RunSchemaScripts(TtiFBDatabase& db) {
  db.Connect();
  for (const auto& s : LibSchemaScripts()) tiFBRunScript(db, std::string(s.Text), s.Name);
  db.Disconnect();
}

}  // namespace

void CreateLibraryDatabaseFile(const std::string& fileName, const std::string& userName,
                               const std::string& password) {
  if (tiFBIsServerName(fileName)) {
    // A server makes the file under its name; a failure drops it through the server.
    TtiFBDatabase::CreateDatabase(fileName, userName, password);
    TtiFBDatabase db(fileName, userName, password);
    try {
      RunSchemaScripts(db);
    } catch (...) {
      try {
        if (db.Connected()) db.DropDatabase();
      } catch (const std::exception&) {
      }
      throw;
    }
    return;
  }
  // Built beside its name and given the name when complete, as a project is saved: a creation that fails or is
  // killed half-way leaves no library without its schema under the name, and the name free for the next try.
  const std::string temporary = TtiFBDatabase::CreateDatabaseBeside(fileName, userName, password);
  TtiUndoUnlessDone discard([&temporary]() noexcept { ::unlink(temporary.c_str()); });
  try {
    TtiFBDatabase db(temporary, userName, password);
    RunSchemaScripts(db);
  } catch (Exception& e) {
    // The temporary name means nothing to the user: the message names the library.
    e.SetMessage("Cannot create the library \"" + fileName + "\": " + e.Message());
    throw;
  }
  TtiFBDatabase::PublishDatabase(temporary, fileName, userName, password);
  discard.Done();
}

}  // namespace kelvado
