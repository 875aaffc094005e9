// kv_fb_peer: the other program of the tests that need two. It works on Firebird files from a process of its
// own, with a lock folder of its own, and reports one line per action on stdout: "ok <action>[: detail]" or
// "error <action>: <message>". A fault that kills it (SIGBUS) shows in its exit status, not in the test.
//
//   kv_fb_peer [--lock DIR] [--tmpfs DIR SIZE] [--password PASSWORD] ACTION...
//
//   --lock DIR         Firebird lock folder of this process (made when missing)
//   --password PW      the SYSDBA password "open" logs in with (databases on a server)
//   --tmpfs DIR SIZE   a file system of SIZE ("256k", "8m") mounted at DIR, seen by this process only;
//                      exit status 77 when this process may not mount
//   open FILE          attach for writing        openread FILE   attach for reading only
//   insert             add a row to table T       count          print the rows of table T
//   work N             N transactions that read and write
//   wait               print "ready", wait until stdin ends
//   close              detach
//   create FILE        create an empty database   newlib FILE    create a library file (general-database object)
//   fill DIR           fill the file system of DIR to the last block
//   libwrite FILE N    write N new elements with their nodes to a library in one group, as the program does,
//                      and close it again
//   gfix FILE          Firebird's validation of a file no attachment holds: "ok gfix" when it finds it clean
//   ls DIR             the names in DIR
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "framework/tiFirebird.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "model/BOM.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/VisitorsDB.h"
#include "tests/support/FirebirdCheck.h"

using namespace kelvado;

namespace {

std::unique_ptr<TtiFBDatabase> gDb;
std::string gPassword;

std::string OneLine(std::string s) {
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

int64_t Count() { return kelvado::testing::CountRowsOfT(*gDb); }

void Insert(int64_t value) { kelvado::testing::InsertIntoT(*gDb, value); }

std::string List(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.emplace_back(e->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const auto& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

void Fill(const std::string& dir) {
  const std::string file = dir + "/filler";
  const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw Exception("Cannot create " + file);
  std::vector<char> block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  while (::write(fd, block.data(), 1) > 0) {
  }
  ::close(fd);
}

bool MountTmpfs(const std::string& dir, const std::string& size) {
  if (::unshare(CLONE_NEWNS) != 0) return false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
  ::mkdir(dir.c_str(), 0700);
  return ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
}

void LibWrite(const std::string& lib, int n) {
  RegisterPersistenceLayerIBX();
  RegisterVisitorsDB();
  TElementOpList list;
  for (int i = 0; i < n; ++i) {
    auto e = TtiObject::CreateNew<TElement>();
    e->SetName("Peer " + std::to_string(i) + std::string(200, 'x'));
    auto op = TtiObject::CreateNew<TElementOp>();
    op->SetElement(std::move(e));
    list.Add(std::move(op));
  }
  tiPerMgr().ConnectDatabase(lib, "SYSDBA", "", {}, cTIPersistIBX);
  try {
    tiPerMgr().Save(&list, lib, cTIPersistIBX);
  } catch (...) {
    tiPerMgr().DisconnectDatabase(lib, cTIPersistIBX);
    throw;
  }
  tiPerMgr().DisconnectDatabase(lib, cTIPersistIBX);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  size_t i = 0;
  for (; i < a.size() && a[i].rfind("--", 0) == 0; ++i) {
    if (a[i] == "--lock" && i + 1 < a.size()) {
      ::mkdir(a[i + 1].c_str(), 0700);
      ::setenv("FIREBIRD_LOCK", a[i + 1].c_str(), 1);
      ++i;
    } else if (a[i] == "--password" && i + 1 < a.size()) {
      gPassword = a[++i];
    } else if (a[i] == "--tmpfs" && i + 2 < a.size()) {
      if (!MountTmpfs(a[i + 1], a[i + 2])) {
        std::cout << "skip: cannot mount a file system here" << std::endl;
        return 77;
      }
      i += 2;
    } else {
      std::cerr << "kv_fb_peer: unknown option " << a[i] << "\n";
      return 2;
    }
  }
  auto arg = [&]() -> std::string {
    if (i + 1 >= a.size()) {
      std::cerr << "kv_fb_peer: " << a[i] << " needs an argument\n";
      std::exit(2);
    }
    return a[++i];
  };
  for (; i < a.size(); ++i) {
    const std::string action = a[i];
    std::string detail;
    try {
      if (action == "open" || action == "openread") {
        gDb = std::make_unique<TtiFBDatabase>(arg(), "SYSDBA", gPassword);
        gDb->SetReadOnlyAccess(action == "openread");
        gDb->Connect();
      } else if (action == "insert") {
        Insert(::getpid());
      } else if (action == "count") {
        detail = std::to_string(Count());
      } else if (action == "work") {
        const int n = std::stoi(arg());
        for (int k = 0; k < n; ++k) {
          Insert(k);
          Count();
        }
      } else if (action == "wait") {
        std::cout << "ready" << std::endl;
        std::string line;
        while (std::getline(std::cin, line)) {
        }
      } else if (action == "close") {
        gDb.reset();
      } else if (action == "create") {
        TtiFBDatabase::CreateDatabase(arg());
      } else if (action == "newlib") {
        TPersistenceDB_FB("").CreateNewDatabase(arg());
      } else if (action == "libwrite") {
        const std::string lib = arg();
        LibWrite(lib, std::stoi(arg()));
      } else if (action == "gfix") {
        detail = OneLine(kelvado::testing::GfixValidate(arg()));
        if (!detail.empty()) throw Exception(detail);
      } else if (action == "fill") {
        Fill(arg());
      } else if (action == "ls") {
        detail = List(arg());
      } else {
        std::cerr << "kv_fb_peer: unknown action " << action << "\n";
        return 2;
      }
      std::cout << "ok " << action << (detail.empty() ? "" : ": " + detail) << std::endl;
    } catch (const std::exception& e) {
      std::cout << "error " << action << ": " << OneLine(e.what()) << std::endl;
    }
  }
  return 0;
}
