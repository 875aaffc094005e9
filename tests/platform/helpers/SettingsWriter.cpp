// A second program for the settings tests: writes values into the current user's settings store as another
// running copy of the tool would, so that tests can have several processes write one settings file at once.
//   kv_settings_writer <settings folder> <key> <writer name> <count>
// writes the integer values "<writer name>_0" = 0 ... "<writer name>_<count-1>" = count-1 into <key>, one write
// each. Exit status 0 when every write succeeded.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "platform/Registry.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s <settings folder> <key> <writer name> <count>\n", argv[0]);
    return 2;
  }
  ::setenv("KELVADO_CONFIG_DIR", argv[1], 1);
  const std::string key = argv[2], writer = argv[3];
  const int count = std::atoi(argv[4]);
  try {
    kelvado::IRegistry& reg = kelvado::CurrentUserRegistry();
    for (int i = 0; i < count; ++i) reg.WriteInteger(key, writer + "_" + std::to_string(i), i);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
