#pragma once
// What the store conformance suite needs of the Firebird store, on a local file (tests/framework) and on a
// server (tests/fbserver): the layer "IBX" with probed classes, a new database holding the table TestItem,
// and Firebird's own validation of the file when a test ends.
#include <string>

#include "framework/tiFirebird.h"
#include "framework/tiQueryIBX.h"
#include "tests/framework/ProbedLayer.h"
#include "tests/support/FirebirdCheck.h"

namespace kelvado::test {

struct TIBXStoreBase : TProbeHolder {
  static std::string LayerName() { return cTIPersistIBX; }
  void RegisterLayer() { RegisterProbedLayer<TtiDatabaseIBX, TtiQueryIBX>(cTIPersistIBX, nullptr); }
  std::string UserName() { return "SYSDBA"; }
  std::string ConnectParams() { return {}; }

  // Creates the database (a local file or a name with a server part) with the table the suite works on.
  static void CreateTestItemDatabase(const std::string& name, const std::string& password) {
    TtiFBDatabase::CreateDatabase(name, "SYSDBA", password);
    TtiFBDatabase db(name, "SYSDBA", password);
    db.Connect();
    tiFBRunScript(db,
                  "CREATE TABLE TestItem (OID VARCHAR(36) NOT NULL PRIMARY KEY, Name VARCHAR(100), Amount BIGINT);",
                  "conformance");
  }
  // After the test: the probe goes, and gfix finds the database clean.
  void Finish(const std::string& name, const std::string& password) {
    Drop();
    EXPECT_EQ(kelvado::testing::GfixValidate(name, password), "");
  }
};

}  // namespace kelvado::test
