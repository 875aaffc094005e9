#include "framework/tiQueryXMLLight.h"

#include <atomic>

#include "framework/tiCBPort.h"
#include "framework/tiCompress.h"
#include "framework/tiExcept.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "platform/FileIO.h"
#include "platform/TextCase.h"

namespace kelvado {

const TtiClass& TtiDatabaseXMLLight::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabaseXMLLight, TtiDatabaseTXTAbs>(), "TtiDatabaseXMLLight");
  return c;
}
const TtiClass& TtiDatabaseCB::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDatabaseCB, TtiDatabaseXMLLight>(), "TtiDatabaseCB");
  return c;
}
const TtiClass& TtiQueryXMLLight::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiQueryXMLLight, TtiQueryTXTAbs>(), "TtiQueryXMLLight");
  return c;
}
const TtiClass& TtiDBConnectionPoolDataXMLLight::StaticClass() {
  static const TtiClass c(TtiClass::Of<TtiDBConnectionPoolDataXMLLight, TtiDBConnectionPoolDataTXTAbs>(),
                          "TtiDBConnectionPoolDataXMLLight");
  return c;
}

// ---------------------------------------------------------------------------------------------------------
// The port to the clipboard monitor

namespace {
std::atomic<ItiCBStorePort*> gCBPort{nullptr};
}  // namespace

void tiSetCBStorePort(ItiCBStorePort* port) { gCBPort.store(port); }
ItiCBStorePort* tiCBStorePort() { return gCBPort.load(); }

// ---------------------------------------------------------------------------------------------------------
// TtiDatabaseXMLLight

namespace {

bool NoCompression(const std::string& name) { return name.empty() || SameTextAscii(name, cgsCompressNone); }

std::string EmptyDocument(TtiOptXMLDBSize size) {
  TtiXMLTags tags;
  tags.SetOptXMLDBSize(size);
  return tags.DocumentStart() + tags.DocumentEnd();
}

}  // namespace

TtiDatabaseXMLLight::TtiDatabaseXMLLight() : compressName_(cgsCompressNone) {}
TtiDatabaseXMLLight::~TtiDatabaseXMLLight() = default;

void TtiDatabaseXMLLight::Configure(TtiXMLToDataSetReadWriter& readWriter, TtiDataBuffers& buffers) const {
  readWriter.SetDataSets(&buffers);
  readWriter.SetXMLFieldNameStyle(style_);
  readWriter.SetOptXMLDBSize(optXMLDBSize_);
  readWriter.SetCompressName(compressName_);
}

void TtiDatabaseXMLLight::ReadParams() {
  try {
    bool found = false;
    const std::string readOnly = ParamValue("readonly", &found);
    std::string upper = readOnly;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    readOnly_ = found && (upper == "TRUE" || upper == "T" || upper == "YES" || upper == "Y" || upper == "1");
    const std::string compress = ParamValue("compress");
    compressName_ = compress.empty() ? std::string(cgsCompressNone) : compress;
    if (!NoCompression(compressName_) && !tiCompressFactory().CreateInstance(compressName_))
      throw Exception("Unknown compression <%s>", {compressName_});
    const std::string size = ParamValue("optxmldbsize", &found);
    if (found) {
      TtiXMLTags tags;
      tags.SetOptXMLDBSizeAsString(size);
      optXMLDBSize_ = tags.GetOptXMLDBSize();
    }
    const std::string style = ParamValue("xmlfieldnamestyle", &found);
    if (found) style_ = tiStrToXMLFieldNameStyle(style);
  } catch (const Exception& e) {
    throw EtiPerDBExceptionCanNotConnect(PerLayerName(), DatabaseName(), UserName(), Password(), e.Message());
  }
}

void TtiDatabaseXMLLight::SetConnected(bool value) {
  if (!value) {
    if (GetConnected()) Log(tiFormat("Disconnecting from %s", {DatabaseName()}), lsDBConnection);
    ReplaceDataSets(nullptr);
    SetConnectedFlag(false);
    SetInTransaction(false);
    return;
  }
  // Whatever happens below, the tables held so far are gone, and a pool must not hand this connection out
  // again until a read succeeds.
  SetConnectedFlag(false);
  SetErrorInLastCall(true);
  ReadParams();
  Read();
  SetConnectedFlag(true);
  SetErrorInLastCall(false);
}

void TtiDatabaseXMLLight::ReadFrom(const std::string* text) {
  auto fresh = std::make_unique<TtiDataBuffers>();
  try {
    TtiXMLToDataSetReadWriter readWriter;
    Configure(readWriter, *fresh);
    if (text) {
      readWriter.SetAsString(*text);
    } else {
      const std::string content = tiFileToString(DatabaseName(), tiXMLLightMaxDocumentSize);
      // The empty document CreateDatabase writes (it knows no connection parameters) is an empty store
      // whatever the tags and compression the store is opened with.
      if (content != EmptyDocument(optDBSizeOff)) readWriter.SetAsString(content);
    }
  } catch (const Exception& e) {
    ReplaceDataSets(nullptr);
    SetConnectedFlag(false);
    SetErrorInLastCall(true);
    // The file, or the clipboard's document, and what is wrong with it: nothing of a connection to show.
    const std::string& why = e.Message();
    if (!fileBased_) throw EtiPerFileExceptionCanNotConnect("The clipboard's document can not be read: " + why);
    if (why.find("<" + DatabaseName() + ">") != std::string::npos) throw EtiPerFileExceptionCanNotConnect(why);
    throw EtiPerFileExceptionCanNotConnect("Can not read the file <" + DatabaseName() + ">: " + why);
  }
  ReplaceDataSets(std::move(fresh));
}

void TtiDatabaseXMLLight::Read() {
  if (fileBased_) ReadFrom(nullptr);
  else ReadFrom(&documentText_);
}

void TtiDatabaseXMLLight::SaveFailed(const std::string& why) { throw EtiPerFileException(why); }

void TtiDatabaseXMLLight::Save() {
  if (readOnly_) return;
  TtiXMLToDataSetReadWriter readWriter;
  Configure(readWriter, DataSets());
  try {
    if (fileBased_) readWriter.SaveToFile(DatabaseName());
    else documentText_ = readWriter.GetAsString();
  } catch (const Exception& e) {
    SaveFailed(e.Message());
  }
  SetModified(false);
}

void TtiDatabaseXMLLight::SaveOutsideTransaction() { Save(); }

void TtiDatabaseXMLLight::Commit() {
  if (Modified()) Save();
  SetInTransaction(false);
}

void TtiDatabaseXMLLight::RollBack() {
  SetInTransaction(false);
  // Unchanged tables are what the store holds: there is nothing to discard.
  if (!Modified()) return;
  Read();
}

bool TtiDatabaseXMLLight::TestConnectTo(const std::string& dbName, const std::string&, const std::string&,
                                        const std::string&) {
  return FileExists(dbName);
}

void TtiDatabaseXMLLight::CreateDatabase(const std::string& dbName, const std::string&, const std::string&) {
  try {
    tiStringToNewFile(EmptyDocument(optDBSizeOff), dbName);
  } catch (const Exception& e) {
    throw EtiPerFileException(e.Message());
  }
}

// ---------------------------------------------------------------------------------------------------------
// TtiDatabaseCB

TtiDatabaseCB::TtiDatabaseCB() {
  fileBased_ = false;
  documentText_ = EmptyDocument(optDBSizeOff);
}

void TtiDatabaseCB::Read() {
  // The clipboard carries plain documents only.
  compressName_ = cgsCompressNone;
  TtiXMLTags tags;
  tags.SetOptXMLDBSize(optXMLDBSize_);
  if (ItiCBStorePort* port = tiCBStorePort()) {
    std::string text;
    if (port->ReadClipboardText(text)) {
      size_t length = 0;
      if (tiIsXMLLightDocument(text, tags, &length)) {
        text.resize(length);
        ReadFrom(&text);
        documentText_ = std::move(text);
        return;
      }
    }
  }
  // Also after a failed read of the clipboard's text, the held document is what a rollback returns to.
  if (!tiIsXMLLightDocument(documentText_, tags)) documentText_ = EmptyDocument(optXMLDBSize_);
  ReadFrom(&documentText_);
}

void TtiDatabaseCB::Save() {
  if (readOnly_) return;
  compressName_ = cgsCompressNone;
  TtiXMLToDataSetReadWriter readWriter;
  Configure(readWriter, DataSets());
  std::string text;
  try {
    text = readWriter.GetAsString();
    tiStringToFile(text, DatabaseName());
  } catch (const Exception& e) {
    SaveFailed(e.Message());
  }
  SetModified(false);
  if (text == documentText_) return;
  if (ItiCBStorePort* port = tiCBStorePort()) port->WriteClipboardText(text);
  documentText_ = std::move(text);
}

bool TtiDatabaseCB::Test() {
  TtiXMLTags tags;
  tags.SetOptXMLDBSize(optXMLDBSize_);
  return tiIsXMLLightDocument(documentText_, tags);
}

// ---------------------------------------------------------------------------------------------------------
// Registration

void RegisterPersistenceLayerXMLLight() {
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(
      cTIPersistXMLLight, &TtiDBConnectionPoolDataXMLLight::StaticClass(), TtiQueryXMLLight::StaticClass(),
      TtiDatabaseXMLLight::StaticClass());
}

void UnRegisterPersistenceLayerXMLLight() {
  if (tiPerMgrAssigned()) tiPerMgr().GetPersistenceLayers().UnRegisterPersistenceLayer(cTIPersistXMLLight);
}

void RegisterPersistenceLayerCB() {
  tiPerMgr().GetPersistenceLayers().RegisterPersistenceLayer(cTIPersistCB, &TtiDBConnectionPoolDataXMLLight::StaticClass(),
                                                             TtiQueryXMLLight::StaticClass(),
                                                             TtiDatabaseCB::StaticClass());
}

void UnRegisterPersistenceLayerCB() {
  if (tiPerMgrAssigned()) tiPerMgr().GetPersistenceLayers().UnRegisterPersistenceLayer(cTIPersistCB);
}

}  // namespace kelvado
