// Linked into every test program: points the program at the build's own scratch folders before main() runs,
// so no test ever reads or writes a real user's configuration or data, however the test is started
// (ctest, by hand, from a debugger).
#include <cstdlib>
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
  }
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
