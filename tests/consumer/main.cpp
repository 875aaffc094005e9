// Evaluates one look-up on the general database that the pulled-in tree built: proves that the libraries link
// from outside and that the data files land where the engine looks for them.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

#include "model/GlobalsLookups.h"
#include "storage/db/PersistenceDB.h"

int main() {
  using namespace kelvado;
  try {
    const std::filesystem::path dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    auto db = std::make_unique<TPersistenceDB_FB>((dir / "db" / "KELVADO_GEN_DE.FDB").string());
    db->Connect();
    SetPersistenceDB(std::move(db));
    const TMTTFdDenotation band = GetMTTFdDenotation(50.0);
    std::printf("kelvado_consumer: MTTFd of 50 years lies in band %d\n", static_cast<int>(band));
    PersistenceDBShutdown();
    return band == mttfHigh ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kelvado_consumer: %s\n", e.what());
    return 1;
  }
}
