#pragma once
// The library mapper: reads and saves library items in the one item library it keeps attached (a Firebird
// file, or a file on a Firebird server when the name has a server part, "host:/path/lib.klb"), through the SQL
// visitors of VisitorsDB.h on the persistence layer it names ("IBX"). It also attaches the general database on
// the same layer, whose measure catalogues it reads as well. Opening a library reads its header record, checks
// its release and upgrades an older file (VersionMgr.h). Reading never changes a library file's modification
// date. TLibListManager keeps the user's list of registered libraries.
#include <memory>
#include <string>
#include <vector>

#include "model/PersistenceAbs.h"

namespace kelvado {

class TMetaData;
class TVersionMgr;

// The hook setters of the mapper: they set the process-wide hooks of the SQL visitors.
class TORMapper : public TAbsMapper {
public:
  void SetOnAfterRead(TNotifyEvent Event) override;
  void SetOnAfterSave(TNotifyEvent Event) override;
  void SetOnBeforeRead(TNotifyEvent Event) override;
  void SetOnBeforeSave(TNotifyEvent Event) override;

  // The version manager the controller assigns (not owned); without one the mapper checks and upgrades with a
  // manager of its own that has no events.
  TVersionMgr* GetVersionMgr() const { return versionMgr_; }
  void SetVersionMgr(TVersionMgr* mgr) { versionMgr_ = mgr; }

protected:
  TVersionMgr* versionMgr_ = nullptr;
};

class TORMapper_tiPer : public TORMapper {
public:
  // Reads the user names, passwords and character sets of both databases from the settings, connects the
  // general database (databasenamegen) and opens the library (databasenamelib). A library that cannot be
  // opened raises EIOError 1023 naming it.
  explicit TORMapper_tiPer(const std::string& LayerName);
  // Disconnects the general database, then the library.
  ~TORMapper_tiPer() override;

  std::string GetStoreFileName() override { return libraryFile_; }
  const std::string& GetGeneralDatabaseFileName() const { return generalFile_; }
  const std::string& GetLayerName() const { return layerName_; }

  bool ReadCatConditionOp(TCatConditionOp& Obj) override;
  bool ReadCCFMeasureOp(TCCFMeasureOp& Obj) override;
  bool ReadDCMeasureOp(TDCMeasureOp& Obj) override;
  bool ReadElementOp(TElementOp& Obj) override;
  bool ReadBlocOp(TBlocOp& Obj) override;
  bool ReadChannelOp(TChannelOp& Obj) override;
  bool ReadComponentOp(TComponentOp& Obj) override;
  // Projects and safety functions live in project files: ENotImplemented 1012.
  bool ReadSFOp(TSFOp& Obj) override;
  bool ReadProjectOp(TProjectOp& Obj) override;

  // A list is emptied first.
  bool ReadCatConditionOpList(TCatConditionOpList& List) override;
  // From the library, or from the general database.
  bool ReadCCFMeasureOpList(TCCFMeasureOpList& List, bool FromLibrary) override;
  bool ReadDCMeasureOpList(TDCMeasureOpList& List, bool FromLibrary) override;
  bool ReadElementOpList(TElementOpList& List) override;
  bool ReadBlocOpList(TBlocOpList& List) override;
  bool ReadChannelOpList(TChannelOpList& List) override;
  bool ReadComponentOpList(TComponentOpList& List) override;
  bool ReadSFOpList(TSFOpList& List) override;
  bool ReadProjectOpList(TProjectOpList& List) override;

  // Each save is one transaction: a failure leaves the library as it was and passes on. A library whose file
  // may not be written (its owner made it read-only) is read, but every save raises EIOError 1170 naming it.
  void SaveCatConditionOp(TCatConditionOp& Obj) override;
  void SaveCCFMeasureOp(TCCFMeasureOp& Obj) override;
  void SaveDCMeasureOp(TDCMeasureOp& Obj) override;
  void SaveElementOp(TElementOp& Obj) override;
  void SaveBlocOp(TBlocOp& Obj) override;
  void SaveChannelOp(TChannelOp& Obj) override;
  void SaveComponentOp(TComponentOp& Obj) override;
  void SaveSFOp(TSFOp& Obj) override;
  void SaveProjectOp(TProjectOp& Obj) override;
  void SaveCatConditionOpList(TCatConditionOpList& List) override;
  void SaveCCFMeasureOpList(TCCFMeasureOpList& List) override;
  void SaveDCMeasureOpList(TDCMeasureOpList& List) override;
  void SaveElementOpList(TElementOpList& List) override;
  void SaveBlocOpList(TBlocOpList& List) override;
  void SaveChannelOpList(TChannelOpList& List) override;
  void SaveComponentOpList(TComponentOpList& List) override;
  void SaveSFOpList(TSFOpList& List) override;
  void SaveProjectOpList(TProjectOpList& List) override;

  // A new, empty library file. User, password or character set other than empty raise ENotImplemented; a
  // creation that fails raises (the file then does not exist).
  void CreateLibrary(const std::string& FileName, const std::string& User = {}, const std::string& Password = {},
                     const std::string& Charset = {});
  // The header record of the library file FileName (empty: the attached library). A file without one gives a
  // new record (posCreate) named after the file. A named file that does not exist raises EKelvado 1026.
  void ReadMetaData(TMetaData& Meta, const std::string& FileName = {}, const std::string& User = {},
                    const std::string& Password = {}, const std::string& Charset = {});
  // Stamps the record (now, the running program's release and edition) and saves it to the attached library.
  void SaveMetaData(TMetaData& Meta);
  // Attaches another library. The name is taken relative to the program's folder; a name with a server part
  // is kept as it is. Nothing happens for the library already attached. A library whose release is refused
  // leaves the previous one attached (the version check told the user) and returns false. A library that
  // cannot be opened, read or upgraded is reported in a message box, the previous one is attached again (the
  // box tells whether a library is open), and EIOError 1023 names it. Returns true when FileName is attached.
  bool OpenLibrary(const std::string& FileName);
  // Attaches another general database (relative names as for libraries) and fires the store-changed event.
  void ConnectGeneralDatabase(const std::string& FileName);

  // The library file type of the desktop.
  static bool IsLibraryFileTypeRegistered();
  // Raises EKelvado 1013 when the registration fails.
  static void RegisterLibraryFileType();

private:
  enum class TOpenResult { Opened, Refused };
  // One attempt, without falling back.
  TOpenResult Attach(const std::string& fileName);
  void Detach();
  // The read group on the object against `file` (the library when empty); the file's date is kept.
  bool ReadFrom(TtiObject& obj, const std::string& file = {});
  void SaveToLibrary(TtiObject& obj);
  bool ReadList(TtiObjectList& list);
  bool ReadCatalogue(TtiObjectList& list, bool fromLibrary);
  [[noreturn]] static void NotSupported();

  std::string libraryFile_;
  std::string generalFile_;
  std::string layerName_;
  std::string libPassword_;
  std::string libUser_;
  std::string genCharset_;
  std::string genPassword_;
  std::string genUser_;
  std::string libCharset_;
  bool libraryReadOnly_ = false;  // the attached library may not be written (tiFBIsReadOnlyFile)
  std::unique_ptr<TVersionMgr> ownVersionMgr_;
};

// The mapper, created on the first call with the layer of the setting persistencelayername.
TORMapper_tiPer& ORMapper();
// Whether the mapper exists (does not create it).
bool ORMapperAssigned();
// Frees the mapper (its databases are disconnected), so that the next ORMapper() starts anew.
void ORMapperShutdown();

// The registered libraries: "name=path" lines. A path below the program's folder is kept relative to it.
class TLibListManager {
public:
  TLibListManager() = default;

  const std::vector<std::string>& Lines() const { return lines_; }
  // The name and the path of an entry.
  std::string NameAt(int Index) const;
  std::string PathAt(int Index) const;

  // From the settings (list "lib"), or from LibList.txt beside the program when the lists live in files.
  void LoadList();
  // Back to where LoadList reads; false when it could not be written.
  bool SaveList();
  // A missing local file raises EKelvado 1026 naming it; a name with a server part ("host:/path") is stored as
  // it is, unchecked (only the server can see the file). A second entry under the same name replaces the path.
  void AddLibrary(const std::string& Name, const std::string& Path);
  // RemoveLibraryFile (Path), then AddLibrary (Name, Path).
  void RegisterLibrary(const std::string& Name, const std::string& Path);
  // Removes the first entry naming the same file.
  void RemoveLibraryFile(const std::string& Path);
  // Removes every entry whose local file does not exist (a relative path is taken relative to the program's
  // folder); entries with a server part stay.
  void RemoveMissing();
  // The first entry of exactly that name (case-sensitive); Index -1 and false when none.
  bool FindLibrary(const std::string& Name, int& Index) const;

private:
  std::vector<std::string> lines_;
};

}  // namespace kelvado
