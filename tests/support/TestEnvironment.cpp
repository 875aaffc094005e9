// Linked into every test program: points the program at the build's own scratch folders before main() runs,
// so no test ever reads or writes a real user's configuration or data, however the test is started
// (ctest, by hand, from a debugger).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {
struct TestEnvironment {
  TestEnvironment() {
    const std::string home = KELVADO_TEST_HOME;
    setenv("KELVADO_CONFIG_DIR", (home + "/config").c_str(), 0);
    setenv("XDG_CONFIG_HOME", (home + "/xdg-config").c_str(), 0);
    setenv("XDG_DATA_HOME", (home + "/xdg-data").c_str(), 0);
    // Unset, the language of the texts follows the locale; the tests compare German texts, so they run with a
    // German message locale whatever the machine's (tests of the choice itself set their own).
    unsetenv("LC_ALL");
    setenv("LC_MESSAGES", "de_DE.UTF-8", 1);
    // The Firebird engine's lock tables in a folder of this program's own, which the processes it starts
    // inherit: a test that kills a process in the middle of its work cannot leave a lock table behind that
    // hangs the test programs running beside it. Only the general database, which no process writes, is
    // opened by several test programs at once.
    const char* lock = std::getenv("FIREBIRD_LOCK");
    if (!(lock && *lock)) {
      lockDir_ = home + "/firebird-lock/" + std::to_string(::getpid());
      ::mkdir((home + "/firebird-lock").c_str(), 0700);
      ::mkdir(lockDir_.c_str(), 0700);
      setenv("FIREBIRD_LOCK", lockDir_.c_str(), 1);
      owner_ = ::getpid();
    }
  }
  ~TestEnvironment() {
    if (owner_ != ::getpid()) return;  // a forked child leaving by exit()
    std::error_code ec;
    std::filesystem::remove_all(lockDir_, ec);
  }
  std::string lockDir_;
  pid_t owner_ = 0;
} gTestEnvironment;
}  // namespace

// The Firebird client and the ICU caches its character-set module loads keep process-wide state they never
// free, and so does the dynamic loader for the engine's plugins; our own code stays under leak detection.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfbclient\n"
         "leak:libEngine12\n"
         "leak:libib_util\n"
         "leak:libicuuc\n"
         "leak:libfbintl\n"
         "leak:_dl_map_object_deps\n";
}

// The leak checker's scan of the thread-local storage of libraries loaded at run time (the Firebird engine's
// plugins) crashes with this toolchain's sanitizer runtime and glibc, depending on memory layout. Without
// that scan, memory held only through thread-local storage is reported as leaked: stricter, never laxer.
extern "C" const char* __lsan_default_options() { return "use_tls=0"; }
