// Build tool: creates a Firebird database file from SQL scripts, e.g. the general database and the default
// library beside the program.
//
//   kv_mkdb [--read-only] OUTPUT SCRIPT...
//
// The file is built under a temporary name and renamed into place only when every script ran, so a failed
// build never leaves a half-filled database behind. --read-only switches the database to Firebird's read-only
// mode, makes the file read-only and records its digest beside it (OUTPUT.sha256), which readers check.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "framework/tiFirebird.h"

using namespace kelvado;

int main(int argc, char** argv) {
  bool readOnly = false;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--read-only")
      readOnly = true;
    else
      args.push_back(a);
  }
  if (args.size() < 2) {
    std::cerr << "usage: kv_mkdb [--read-only] OUTPUT SCRIPT...\n";
    return 2;
  }
  const std::string out = args[0];
  const std::string tmp = out + ".tmp";
  std::remove(tmp.c_str());
  try {
    TtiFBDatabase::CreateDatabase(tmp);
    {
      TtiFBDatabase db(tmp);
      db.Connect();
      for (size_t i = 1; i < args.size(); ++i) {
        std::ifstream in(args[i], std::ios::binary);
        if (!in) throw Exception("Cannot read the script \"" + args[i] + "\"");
        std::stringstream ss;
        ss << in.rdbuf();
        tiFBRunScript(db, ss.str(), args[i]);
      }
      db.Disconnect();
    }
    if (readOnly) {
      TtiFBDatabase::SetReadOnlyMode(tmp, true);
      if (::chmod(tmp.c_str(), 0444) != 0) throw Exception("Cannot make \"" + tmp + "\" read-only");
    }
    std::remove(out.c_str());
    if (std::rename(tmp.c_str(), out.c_str()) != 0) throw Exception("Cannot rename \"" + tmp + "\" to \"" + out + "\"");
    if (readOnly) {
      try {
        tiFBRecordDigest(out);
      } catch (...) {
        std::remove(out.c_str());  // never a database beside another file's digest
        throw;
      }
    }
  } catch (const std::exception& e) {
    std::remove(tmp.c_str());
    std::cerr << "kv_mkdb: " << out << ": " << e.what() << "\n";
    return 1;
  }
  return 0;
}
