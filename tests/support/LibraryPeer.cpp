// kv_lib_peer: a second program that writes to a library file the way the program does (the library visitors
// in one group), for the tests that kill a writer in the middle of a write.
//
//   kv_lib_peer LIB N [K] writes N new elements with their nodes (2N objects) in one group: prints "mid" when
//                         K objects (K <= N, N when not given) are written and goes on; at the N-th object it
//                         waits (for the test to kill it), so the group never commits
//   kv_lib_peer --mapper  starts as the program does, registering nothing itself: the general database, then
//                         the library mapper on the settings ($KELVADO_CONFIG_DIR); prints "library=" and the
//                         mapper's library, "open=" and the general database's answer for the open library,
//                         and "after=" with that answer once the mapper is freed
//   kv_lib_peer --readonly  starts as --mapper does, reads the library's subsystems ("read N") and saves them
//                         changed ("saved", or "refused" and the message number)
#include <unistd.h>

#include <iostream>
#include <string>

#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/Exceptions.h"
#include "model/PersistenceDBAbs.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/PersistenceDBMapper.h"
#include "storage/db/VisitorsDB.h"

using namespace kelvado;

namespace {

int RunMapper() {
  try {
    RegisterPersistenceDB();
    PersistenceDB();
    std::cout << "library=" << ORMapper().GetStoreFileName() << std::endl;
    std::cout << "open=" << PersistenceDB().GetOpenLibFileName() << std::endl;
    ORMapperShutdown();
    std::cout << "after=" << PersistenceDB().GetOpenLibFileName() << std::endl;
    PersistenceDBShutdown();
  } catch (const std::exception& e) {
    std::cout << "error: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}

int RunReadOnly() {
  try {
    RegisterPersistenceDB();
    PersistenceDB();
    TComponentOpList subs;
    ORMapper().ReadComponentOpList(subs);
    std::cout << "read " << subs.GetCount() << std::endl;
    try {
      subs.Items(0)->GetComponent()->SetName("geändert");
      ORMapper().SaveComponentOpList(subs);
      std::cout << "saved" << std::endl;
    } catch (const EIOError& e) {
      std::cout << "refused " << e.MsgNumber() << std::endl;
    }
    ORMapperShutdown();
    PersistenceDBShutdown();
  } catch (const std::exception& e) {
    std::cout << "error: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--mapper") return RunMapper();
  if (argc == 2 && std::string(argv[1]) == "--readonly") return RunReadOnly();
  if (argc != 3 && argc != 4) {
    std::cerr << "usage: kv_lib_peer LIB N [K]\n";
    return 2;
  }
  const std::string lib = argv[1];
  const int n = std::stoi(argv[2]);
  const int k = argc == 4 ? std::stoi(argv[3]) : n;
  try {
    RegisterPersistenceLayerIBX();
    RegisterVisitorsDB();
    tiPerMgr().ConnectDatabase(lib, "SYSDBA", "", {}, cTIPersistIBX);
    TElementOpList list;
    for (int i = 0; i < n; ++i) {
      auto e = TtiObject::CreateNew<TElement>();
      e->SetName("Peer " + std::to_string(i));
      auto op = TtiObject::CreateNew<TElementOp>();
      op->SetElement(std::move(e));
      list.Add(std::move(op));
    }
    int written = 0;
    TVisUpdate::SetOnBeforeSave([&](TtiObject*) {
      if (++written == k) std::cout << "mid" << std::endl;
      if (written == n)
        for (;;) ::pause();
    });
    tiPerMgr().Save(&list, lib, cTIPersistIBX);
    std::cout << "done" << std::endl;
  } catch (const std::exception& e) {
    std::cout << "error: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
