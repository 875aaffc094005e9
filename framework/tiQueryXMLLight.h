#pragma once
// The persistence layers "XMLLight" and "CB": a whole database held in memory (framework/tiQueryTXT.h) and
// kept as an XML-light document (framework/tiXMLLight.h). "XMLLight" keeps the document in a file; "CB" keeps
// it as text that comes from and goes to the clipboard through the clipboard monitor (framework/tiCBPort.h),
// and also writes it to its file.
//
// A store is read once on connect; queries work on the tables in memory; a commit writes the whole document,
// but only when something changed since it was read or last written (so reading a store never writes it). The
// file is replaced atomically: a failed write leaves the old file byte for byte, raises EtiPerDBException
// naming it and leaves the transaction open to be rolled back. A rollback reads the last written state again.
// A document that cannot be read makes the connection (or rollback) fail with EtiPerDBExceptionCanNotConnect
// naming the store and the reason, and keeps no part of it.
//
// Connection parameters (name=value): "readonly" (TRUE, T, YES, Y or 1: never write), "compress" (the name of
// a compressor, framework/tiCompress.h; the "CB" store never compresses), "optxmldbsize" (optDBSizeOff,
// optDBSizeOn), "xmlfieldnamestyle" (string, integer). A value that is none of these is refused on connect.
#include <memory>
#include <string>

#include "framework/tiQueryTXT.h"
#include "framework/tiXML.h"
#include "framework/tiXMLLight.h"

namespace kelvado {

inline constexpr const char* cTIPersistXMLLight = "XMLLight";
inline constexpr const char* cTIPersistCB = "CB";

class TtiDatabaseXMLLight : public TtiDatabaseTXTAbs {
public:
  TI_CLASS(TtiDatabaseXMLLight)
  TtiDatabaseXMLLight();
  ~TtiDatabaseXMLLight() override;

  // true: reads the parameters, then the document. false: logs "Disconnecting from %s", empties the tables.
  void SetConnected(bool value) override;
  // Writes the document when the tables changed (see above).
  void Commit() override;
  // Reads the last written state again (nothing to read when nothing changed).
  void RollBack() override;

  // The file exists.
  bool TestConnectTo(const std::string& dbName, const std::string& userName, const std::string& password,
                     const std::string& params) override;
  // Writes the empty document to the file (making its folder when missing), replacing any file of that name.
  void CreateDatabase(const std::string& dbName, const std::string& userName, const std::string& password) override;

  // The tables from the store (file or text), replacing those held.
  virtual void Read();
  // The tables to the store; nothing when read only.
  virtual void Save();

  bool GetFileBased() const { return fileBased_; }
  bool GetReadOnly() const { return readOnly_; }
  const std::string& GetCompressName() const { return compressName_; }
  TtiOptXMLDBSize GetOptXMLDBSize() const { return optXMLDBSize_; }
  TtiXMLFieldNameStyle GetXMLFieldNameStyle() const { return style_; }
  // The document of a store that is not file based.
  const std::string& GetDocumentText() const { return documentText_; }

protected:
  void SaveOutsideTransaction() override;
  // Gives the read-writer this store's settings and `buffers`.
  void Configure(TtiXMLToDataSetReadWriter& readWriter, TtiDataBuffers& buffers) const;
  // The layer's name, for errors.
  virtual const char* PerLayerName() const { return cTIPersistXMLLight; }
  // Parses `text` (or the file) into new tables that replace the held ones; on failure the store holds no
  // tables and raises EtiPerDBExceptionCanNotConnect.
  void ReadFrom(const std::string* text);
  [[noreturn]] void SaveFailed(const std::string& why);
  void ReadParams();

  bool fileBased_ = true;
  bool readOnly_ = false;
  std::string compressName_;
  TtiOptXMLDBSize optXMLDBSize_ = optDBSizeOff;
  TtiXMLFieldNameStyle style_ = xfnsString;
  std::string documentText_;
};

// The clipboard store. Its document starts as the empty document.
class TtiDatabaseCB : public TtiDatabaseXMLLight {
public:
  TI_CLASS(TtiDatabaseCB)
  TtiDatabaseCB();

  // Takes the clipboard's text when the monitor offers one that is an XML-light document (bytes after the
  // document's end are not part of it), then reads the held document: a clipboard holding anything else
  // leaves the previous document in place.
  void Read() override;
  // Writes the file (named by the database name), then, when the document differs from the one held, holds it
  // and hands it to the monitor for the clipboard. Nothing when read only.
  void Save() override;
  // Whether the held document is an XML-light document.
  bool Test() override;

protected:
  const char* PerLayerName() const override { return cTIPersistCB; }
};

class TtiQueryXMLLight : public TtiQueryTXTAbs {
public:
  TI_CLASS(TtiQueryXMLLight)
  TtiQueryXMLLight() : TtiQueryTXTAbs(xckMarkup) {}
};

// Pool data of both layers (at most one database per store).
class TtiDBConnectionPoolDataXMLLight : public TtiDBConnectionPoolDataTXTAbs {
public:
  TI_CLASS(TtiDBConnectionPoolDataXMLLight)
  TtiDBConnectionPoolDataXMLLight() = default;
};

// Register the layers with the persistence manager (a second call changes nothing), and remove them again
// unless the persistence manager is gone already.
void RegisterPersistenceLayerXMLLight();
void UnRegisterPersistenceLayerXMLLight();
void RegisterPersistenceLayerCB();
void UnRegisterPersistenceLayerCB();

}  // namespace kelvado
