#include "tests/framework/fuzz/XMLLightFuzz.h"

#include <string>

#include "framework/tiCBPort.h"
#include "framework/tiCompress.h"
#include "framework/tiExcept.h"
#include "framework/tiQueryXMLLight.h"
#include "framework/tiXMLLight.h"
#include "tests/framework/fuzz/FuzzSupport.h"
#include "tests/framework/fuzz/StoreFuzzSteps.h"

namespace kelvado::fuzz {

namespace {

[[noreturn]] void Broken(const std::string& what) { fuzz::Broken("XML-light", what); }

// The clipboard as the store sees it.
class TPort : public ItiCBStorePort {
public:
  bool ReadClipboardText(std::string& text) override {
    text = clipboard;
    return true;
  }
  void WriteClipboardText(const std::string& text) override { clipboard = text; }
  std::string clipboard;
};

std::string Write(TtiDataBuffers& buffers, TtiXMLFieldNameStyle style, TtiOptXMLDBSize size) {
  TtiXMLToDataSetReadWriter rw;
  rw.SetDataSets(&buffers);
  rw.SetXMLFieldNameStyle(style);
  rw.SetOptXMLDBSize(size);
  return rw.GetAsString();
}

// Reads the text; when it reads, what is written of it must read again and be written the same.
void RoundTrip(const std::string& text, TtiXMLFieldNameStyle style, TtiOptXMLDBSize size, const std::string& compress) {
  TtiDataBuffers buffers;
  TtiXMLToDataSetReadWriter rw;
  rw.SetDataSets(&buffers);
  rw.SetXMLFieldNameStyle(style);
  rw.SetOptXMLDBSize(size);
  rw.SetCompressName(compress);
  try {
    rw.SetAsString(text);
  } catch (const Exception&) {
    return;
  }
  std::string written;
  try {
    written = Write(buffers, style, size);
  } catch (const Exception& e) {
    // Text that was read is text that can be written: names and values passed the same checks.
    Broken(std::string("a document that was read can not be written: ") + e.what());
  }
  TtiDataBuffers again;
  rw.SetDataSets(&again);
  rw.SetCompressName(cgsCompressNone);
  try {
    rw.SetAsString(written);
  } catch (const Exception& e) {
    Broken(std::string("a written document does not read again: ") + e.what());
  }
  if (Write(again, style, size) != written) Broken("a written document reads back as another one");
}

}  // namespace

int FuzzXMLLightOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (TtiXMLFieldNameStyle style : {xfnsString, xfnsInteger})
    for (TtiOptXMLDBSize tags : {optDBSizeOff, optDBSizeOn}) RoundTrip(text, style, tags, cgsCompressNone);
  if (size > 1 && data[0] == 0x78) RoundTrip(text, xfnsString, optDBSizeOff, cgsCompressZLib);
  size_t length = 0;
  if (tiIsXMLLightDocument(text, tiXMLTags(), &length) && length > size) Broken("a document longer than its text");

  // The clipboard store: connect on the text, work on its tables, commit, and read what the commit gave.
  static TWorkFile file("kelvado-xmllightfuzz");
  static TPort port;
  tiSetCBStorePort(&port);
  port.clipboard = text;
  TtiDatabaseCB db;
  try {
    db.Connect(file.Name(), "", "", "");
  } catch (const EtiPerDBExceptionCanNotConnect&) {
    tiSetCBStorePort(nullptr);
    return 0;
  }
  Try([&] { ReadEverything<TtiQueryXMLLight>(db); });
  ChangeAndSave<TtiQueryXMLLight>(db);
  TtiDatabaseCB again;
  try {
    again.Connect(file.Name(), "", "", "");
  } catch (const Exception& e) {
    Broken(std::string("a document the store wrote does not read again: ") + e.what());
  }
  Try([&] { ReadEverything<TtiQueryXMLLight>(again); });
  tiSetCBStorePort(nullptr);
  return 0;
}

}  // namespace kelvado::fuzz
