#include "tests/framework/fuzz/XMLStoreFuzz.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "framework/tiExcept.h"
#include "framework/tiQueryXML.h"
#include "framework/tiXML.h"
#include "tests/framework/fuzz/FuzzSupport.h"
#include "tests/framework/fuzz/StoreFuzzSteps.h"

namespace kelvado::fuzz {

namespace {

const std::string& WorkFile() {
  static TWorkFile file("kelvado-xmlfuzz");
  return file.Name();
}

void WriteInput(const std::string& name, const uint8_t* data, size_t size) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_TRUNC | O_CREAT, 0600);
  if (fd < 0) std::abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

[[noreturn]] void Broken(const std::string& what) { fuzz::Broken("XML store", what); }

}  // namespace

int FuzzXMLStoreOneInput(const uint8_t* data, size_t size) {
  // Escaping with the markup table restores every text exactly.
  if (size < 4096) {
    static const TtiXMLReservedCharsTranslator translator;
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (translator.RemoveReservedChars(xckMarkup, translator.InsertReservedChars(xckMarkup, text)) != text)
      Broken("escaping does not round-trip");
  }

  const std::string& file = WorkFile();
  WriteInput(file, data, size);
  TtiDatabaseXML db;
  try {
    db.Connect(file, "", "", "");
  } catch (const EtiPerDBExceptionCanNotConnect&) {
    return 0;
  }
  Try([&] { ReadEverything<TtiQueryXML>(db); });
  ChangeAndSave<TtiQueryXML>(db);

  // Whatever the store saved, it reads again.
  TtiDatabaseXML again;
  try {
    again.Connect(file, "", "", "");
  } catch (const Exception& e) {
    Broken(std::string("a file the store wrote does not read again: ") + e.what());
  }
  Try([&] { ReadEverything<TtiQueryXML>(again); });
  return 0;
}

}  // namespace kelvado::fuzz
