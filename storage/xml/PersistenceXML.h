#pragma once
// Project files as a whole.
//
// TXMLMapper_tiPer reads and saves business objects and node lists in the one XML file it has attached, by
// running the visitor groups of the project-file visitors (VisitorsXML.h) over them on the XML persistence
// layer. Reading never changes the file, its date included.
//
// TProjectManager keeps the projects open in the application and performs every whole-file operation on them:
// open (with the checks of existence, extension, schema, content and release, the already-open guard and the
// upgrade of older releases), new, save, export of an item, import of items, rescue copies and the list of
// open files. It shows nothing itself: the questions it would ask the user (a missing file, an invalid
// file, a file open already, an error while opening) are events whose unassigned default is the dialog's
// default answer.
//
// Saving never leaves a half-written file: the new content is built in memory and written in one atomic
// replacement of the file (temporary file, flush, rename), so a save that fails, or a process killed while it
// saves, leaves the previous file byte for byte as it was.
#include <ctime>
#include <exception>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/BOMLists.h"
#include "model/Exceptions.h"
#include "model/PersistenceAbs.h"
#include "platform/FileIO.h"

namespace kelvado {

class TVersionMgr;
class TtiXMLSchema;
struct TtiXMLParseResult;
struct TtiXMLCensus;
class TtiDatabase;

// Error texts (base 1000) of the project files beyond those of the tables (XMLTables.h).
inline constexpr int msgProjectFileMissing = 1014;     // file
inline constexpr int msgNotAProjectFile = 1015;        // file
inline constexpr int msgNoProjectInFile = 1016;        // file
inline constexpr int msgUnknownRelease = 1066;         // file, release text, edition text
inline constexpr int msgProjectWithoutFileName = 1067; // project name
inline constexpr int msgNotARegularFile = 1080;        // file
inline constexpr int msgFileReadOnly = 1081;           // file
inline constexpr int msgFileChangedOnDisk = 1082;      // file
inline constexpr int msgFileWriteFailed = 1083;        // reason naming the file

// The name of the schema file beside the program.
inline constexpr const char* cProjectSchemaFileName = "kvd.xsd";

// The XML operations of a project-file mapper.
class TXMLMapper : public TAbsMapper {
public:
  // The attached file; empty when none.
  virtual std::string GetFileName() = 0;
  // Attaches the file and connects it, read afresh (also when it is the attached one); a file that does not
  // exist is created first (CreateNew).
  virtual void SetFileName(const std::string& FileName) = 0;
  // Creates a store holding the empty project tables under FileName (empty: the attached file), replacing a
  // file of that name, and attaches it.
  virtual void CreateNew(const std::string& FileName) = 0;
  // The attached file replaced, in one atomic write, by a store holding only the empty project tables.
  virtual void Recreate() = 0;
  // Deletes every row of the table of the class (TableNameForClass) / of the named table in the attached file.
  virtual void EmptyTableOfClass(const TtiClass& AClass) = 0;
  virtual void EmptyTable(const std::string& TableName) = 0;
};

class TXMLMapper_tiPer : public TXMLMapper {
public:
  // LayerName: the persistence layer (the XML layer is registered when missing, and so are the two visitor
  // groups). FileName: attached when it exists; empty means DefaultProjectFileName() in the current folder.
  TXMLMapper_tiPer(const std::string& LayerName, const std::string& FileName);
  // Disconnects the attached file (nothing when the persistence manager is gone already).
  ~TXMLMapper_tiPer() override;

  std::string GetStoreFileName() override { return GetFileName(); }
  // The visitor hooks have no meaning for project files: ENotImplemented (text 1012).
  void SetOnAfterRead(TNotifyEvent Event) override;
  void SetOnAfterSave(TNotifyEvent Event) override;
  void SetOnBeforeRead(TNotifyEvent Event) override;
  void SetOnBeforeSave(TNotifyEvent Event) override;

  // Reads run "Task_ReadXML" over the object (a list is first made posEmpty) on the attached file. Each returns
  // true; errors of the file, the visitors and the business objects pass on. Should the file's modification
  // time have changed, it is set back.
  bool ReadCatConditionOp(TCatConditionOp& Obj) override;
  bool ReadCCFMeasureOp(TCCFMeasureOp& Obj) override;
  bool ReadDCMeasureOp(TDCMeasureOp& Obj) override;
  bool ReadElementOp(TElementOp& Obj) override;
  bool ReadBlocOp(TBlocOp& Obj) override;
  bool ReadChannelOp(TChannelOp& Obj) override;
  bool ReadComponentOp(TComponentOp& Obj) override;
  bool ReadSFOp(TSFOp& Obj) override;
  bool ReadProjectOp(TProjectOp& Obj) override;
  bool ReadCatConditionOpList(TCatConditionOpList& List) override;
  // FromLibrary has no meaning for project files.
  bool ReadCCFMeasureOpList(TCCFMeasureOpList& List, bool FromLibrary) override;
  bool ReadDCMeasureOpList(TDCMeasureOpList& List, bool FromLibrary) override;
  bool ReadElementOpList(TElementOpList& List) override;
  bool ReadBlocOpList(TBlocOpList& List) override;
  bool ReadChannelOpList(TChannelOpList& List) override;
  bool ReadComponentOpList(TComponentOpList& List) override;
  bool ReadSFOpList(TSFOpList& List) override;
  bool ReadProjectOpList(TProjectOpList& List) override;

  // Reads the object again from the file: a list's items and a node's children are rebuilt from the rows
  // (the objects held before are freed); then every object of Obj's graph that is posUpdate or posClean
  // becomes posEmpty and is read.
  void Refresh(TtiObject& Obj) override;

  // Saves run "Task_SaveXML" over the object on the attached file (created first when it does not exist); all
  // changes reach the file in one commit. The project node's save also sets its project's file name to the
  // attached file.
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

  std::string GetFileName() override { return fileName_; }
  void SetFileName(const std::string& FileName) override;
  void CreateNew(const std::string& FileName) override;
  void Recreate() override;
  void EmptyTableOfClass(const TtiClass& AClass) override;
  void EmptyTable(const std::string& TableName) override;

  // The save of a whole file: FileName (attached by it) written to hold only the project tables and Obj's tree
  // (a project node's save also sets its project's file name), in one commit. An XML store is written from
  // memory: it is connected to the empty tables made anew, and the old file is never read, so a file damaged
  // or changed on disk does not stand in the way. Until the commit the file keeps its old content; a failure
  // leaves it as it was and the mapper attached as before, holding nothing of the failed save.
  void SaveAnew(TtiObject& Obj, const std::string& FileName);
  void SaveProjectOpAnew(TProjectOp& Obj, const std::string& FileName);
  void SaveProjectOpAnew(TProjectOp& Obj) { SaveProjectOpAnew(Obj, fileName_); }
  // Drops what an XML store holds of the attached file (its document, many times the file's size): a project
  // read or saved needs nothing of its file. The file stays attached; the next operation on it reads it again.
  void ReleaseDocument() noexcept;
  // Lets go of what the store holds of the attached file and attaches FileName (when it exists, read when next
  // used): the mapper back on the file it held before a save into a file that is gone again.
  void AttachUnread(const std::string& FileName) noexcept;

  const std::string& GetLayerName() const { return layerName_; }
  // The configuration's character set of XML files (section xml, key charset); the store writes UTF-8.
  const std::string& GetCharset() const { return charset_; }
  // The version manager of the project checks: the one the application assigned, else one of the mapper's own.
  TVersionMgr& GetVersionMgr();
  // Not owned; null returns to the mapper's own.
  void SetVersionMgr(TVersionMgr* Mgr) { versionMgr_ = Mgr; }

protected:
  // Called by SaveAnew between the tables made anew and the save visitors (a test fails a save there).
  virtual void TablesRebuilt(TtiObject&) {}

private:
  // The layer and the two groups registered, the attached file connected: also after the persistence manager
  // was started anew.
  void Prepare();
  // The layer and the two groups only.
  void PrepareLayer();
  // Whether the layer keeps its stores as XML documents in memory.
  bool IsXMLStoreLayer() const;
  // The tables of the attached store rebuilt and the tree saved into them in one commit; a failure is rolled
  // back.
  void SaveIntoAttached(TtiObject& Obj);
  template <class T>
  bool ReadObject(T& Obj);
  template <class T>
  bool ReadList(T& List);
  void SaveObject(TtiObject& Obj);
  // Replaces the content of the locked database by the empty project tables, inside its open transaction.
  void RebuildTables(TtiDatabase& Database);

  std::string charset_;
  std::string fileName_;
  std::string layerName_;
  TVersionMgr* versionMgr_ = nullptr;
  std::unique_ptr<TVersionMgr> ownVersionMgr_;
};

// What opening a project file takes at its highest point, estimated from above by what its text holds (counted
// while it streams past): the rows as the store keeps them, the tree read from them and the checks of the
// content; for a file whose rows stand among other text (edited by hand), the document as well.
int64_t ProjectFileOpenEstimate(const TtiXMLCensus& Census);

// The mapper of the application, created on the first call with the layer of the configuration (section xml,
// key persistencelayername) and no file name.
TXMLMapper_tiPer& XMLMapper();
// Frees it (disconnecting its file), so that the next XMLMapper() starts afresh.
void XMLMapperShutdown();

class TProjectManager {
public:
  // Events. OnOpenError is called with the exception while it is being handled.
  using TFileEvent = std::function<void(const std::string& FileName)>;
  using TOpenErrorEvent = std::function<void(const std::string& FileName, const std::exception& E)>;
  using TProjectEvent = std::function<void(TProjectOp& ProjectOp)>;
  // The warning about a file that fails the schema check: its text and whether the file is being imported
  // (buttons OK and Ignore) or opened (Abort and Ignore). True for Ignore: the file is read all the same.
  // Unassigned: the default answer (Abort, OK), and the check's error is raised.
  using TInvalidFileEvent = std::function<bool(const std::string& Text, bool Import)>;
  // The question before a save over a file that another program changed since this one opened or last saved
  // it: true overwrites that change. Unassigned: the default answer, don't overwrite (EIOError 1082).
  using TFileChangedEvent = std::function<bool(const std::string& FileName)>;

  // The schema "kvd.xsd" beside the program, when it is there and can be read (otherwise files are not
  // checked against a schema; the reason is logged).
  TProjectManager();
  // The schema from that file instead.
  explicit TProjectManager(const std::string& SchemaFileName);
  ~TProjectManager();
  TProjectManager(const TProjectManager&) = delete;
  TProjectManager& operator=(const TProjectManager&) = delete;

  // When true (always, except inside NewProject), opening a file that is open already hands back its project.
  bool GetCheckAlreadyOpen() const { return checkAlreadyOpen_; }
  void SetCheckAlreadyOpen(bool Value) { checkAlreadyOpen_ = Value; }
  // The open projects, owned.
  TProjectOpList& GetOpenProjects() const { return *openProjects_; }
  // The mapper of open; XMLMapper() until one is assigned (not owned).
  TXMLMapper_tiPer& GetMapper();
  void SetMapper(TXMLMapper_tiPer* Mapper) { mapper_ = Mapper; }
  // Whether files are checked against a schema.
  bool HasSchema() const { return schema_ != nullptr; }

  void SetOnFileMissing(TFileEvent Event) { onFileMissing_ = std::move(Event); }
  void SetOnOpenError(TOpenErrorEvent Event) { onOpenError_ = std::move(Event); }
  void SetOnAlreadyOpen(TProjectEvent Event) { onAlreadyOpen_ = std::move(Event); }
  void SetOnInvalidFile(TInvalidFileEvent Event) { onInvalidFile_ = std::move(Event); }
  void SetOnFileChanged(TFileChangedEvent Event) { onFileChanged_ = std::move(Event); }

  // Whether ".kvd" is registered for the desktop as a KELVADO project file.
  bool IsFileTypeRegistered() const;
  // Registers it (icon from the configuration's iconfileproject); a failure raises EKelvado 1013.
  void RegisterFileType() const;

  // Opens a project file: null for a bare file name that does not exist (the template of NewProject); a
  // missing file named with a folder raises EIOError 1014, a folder, FIFO or device of that name (bare or not)
  // 1080, an extension other than exactly ".kvd" 1015; a
  // schema violation asks OnInvalidFile (unassigned: raises EInvalidXML 1031); content the project tables
  // cannot hold raises EIOError (XMLTables.h); a file without project raises EKelvado 1016, one of more than
  // one project EIOError 1086 (the file, the number; ImportFromFile into a project list reads them). With
  // CheckVersion, a project of a release or edition this program does not know raises EIOError 1066 and
  // nothing of the file is opened. Each project read gets the file name and the file's date, is added to the
  // open projects and brought up to the current release; a file that is open already gives its open project
  // (OnAlreadyOpen). Returns the last project handled. Reading never changes the file; the schema check streams
  // it (a file it refuses is never built in memory), and the file's document is freed once the projects are
  // read. A file whose estimate of memory (ProjectFileOpenEstimate) exceeds what the process may still take
  // (MemoryAllowance, platform/MemoryLimits.h), or that is larger than that, raises EOutOfMemory 1161 naming the
  // limit before its document is built; running out of memory all the same raises 1160. No bound is set on
  // the file's size beyond that: what the program saved opens again where the memory for it is.
  TProjectOp* OpenProjectFile(const std::string& FileName, bool CheckVersion);
  // The template DefaultProjectFileName() opened as a project without file name, or a new empty project; added
  // to the open projects either way.
  TProjectOp* NewProject();
  // Writes the project, stamped with the current release and edition, to its file name: the file then holds
  // only this project, written from memory (the old file is never read). A project without file name raises EIOError 1067 (nothing is written anywhere). A
  // symbolic link is written through to its target and stays; a file its owner made read-only raises 1081
  // and one that is no regular file 1080, one with more than one name (hard links) 1120, leaving it as it was;
  // a file another program changed since this program opened or saved it asks OnFileChanged (default: EIOError
  // 1082, the file stays as it was). The check holds until the new file is in place: the file is locked
  // against other programs saving it meanwhile, and one that changed it all the same is found just before the
  // rename (1082). The file keeps its owner, group and permissions. A new file (save as, rescue copy) appears
  // complete or not at all; a failed save leaves no file, the project its file name and the mapper its file.
  // Running out of memory raises EOutOfMemory 1160.
  void SaveProject(TProjectOp& ProjectOp);
  // Export: a copy of the item (every object of it new) saved into FileName, which then holds only that copy;
  // links, read-only files, the lock, the replacement, new files and running out of memory as for SaveProject.
  // A file that holds a project is not overwritten: EIOError 1084 names the file and its (first) project; nor
  // is one that is no store of the project tables (a library, a text, another XML file; also one that fails the
  // schema or the check of its content): EIOError 1085.
  void SaveObjectToFile(const TtiObject& Item, const std::string& FileName);
  // Import: the top-level items of the target list's class in FileName appended to TargetList as new copies. A
  // missing file raises EIOError 1014; a schema violation asks OnInvalidFile; bad content and too little memory
  // raise as for open; a file without such items (a project file keeps its items inside its project) raises
  // EIOError 1087 (the file, the list's caption), and TargetList stays as it was.
  void ImportFromFile(TPerObjListEx& TargetList, const std::string& FileName);
  // After an unhandled error: every changed open project saved under a rescue name (its file name, or a name
  // made from the project's name in the projects folder, with ".rescue" appended); List gets those saved.
  // A failure leaves that project out.
  void SaveRescueCopies(std::vector<TProjectOp*>& List);
  // Reopens the files of the stored list of open projects; a missing one fires OnFileMissing, one that fails
  // OnOpenError, and the others are opened all the same.
  void LoadOpenProjectList();
  // Stores the file names of the open projects.
  void SaveOpenProjectList();
  // Removes the project from the open projects (and frees it).
  void RemoveProject(TProjectOp* ProjectOp);
  // The first schema or parse error of the file as EInvalidXML (text 1031 with file, reason, error number,
  // line and column); null when the file passes or there is no schema. A valid file that would need more
  // memory than the program may use raises EOutOfMemory 1161, as opening it would.
  std::unique_ptr<EInvalidXML> ValidateProjectFile(const std::string& FileName) const;

private:
  // ValidateProjectFile, keeping in Read what was read of the file (the document of a file that passed); also
  // without a schema the file streams past first, and one that would take more memory than the process may
  // still take raises EOutOfMemory 1161 (file, its size, the estimate, what may be taken, the limit) before its
  // document is built.
  std::unique_ptr<EInvalidXML> Validate(const std::string& FileName, TtiXMLParseResult& Read) const;
  // The file checked (the memory it needs; the schema, asking OnInvalidFile; the content), attached and its
  // items of List's class read into List; the memory of the file's document goes back to the system.
  void ReadCheckedFile(const std::string& FileName, bool Import, TtiObjectList& List);
  // OpenProjectFile but for running out of memory.
  TProjectOp* OpenProjectFileAsIs(const std::string& FileName, bool CheckVersion);
  // Memory kept aside for the report of running out of memory (its text needs some), taken again by the next
  // operation when it was used.
  static constexpr size_t kOutOfMemoryReserve = 64 * 1024;
  void KeepReserve();
  [[noreturn]] void RaiseOutOfMemory(const std::string& FileName);
  // SaveProject but for running out of memory, which may happen anywhere in it.
  void SaveProjectUnguarded(TProjectOp& ProjectOp, const std::string& FileName);
  // Raises the validation error unless OnInvalidFile answers Ignore.
  void AskAboutInvalidFile(const EInvalidXML& Error, bool Import);
  // The file an existing export target holds checked (memory, schema, content), left attached; refused when
  // it is no project store or holds a project.
  void RefuseExportTarget(const std::string& FileName);
  // The open project of that file; null when none.
  TProjectOp* FindOpenProject(const std::string& FileName) const;
  // Asks OnFileChanged when the file as it is Now is not the one this program last read or wrote for the
  // project under that name.
  void CheckUnchangedOnDisk(const TProject& Project, const std::string& FileName, const TFileStamp& Now);
  // Runs Save with the mapper on a temporary file beside Target, gives that file Target's name and attaches
  // FileName (which leads to Target); gives the stamp of the new file. On failure the temporary file is
  // removed, nothing has that name, the mapper holds the file it held before and the error names FileName.
  TFileStamp SaveIntoNewFile(const std::string& FileName, const std::string& Target,
                             const std::function<void()>& Save);

  bool checkAlreadyOpen_ = true;
  std::unique_ptr<TProjectOpList> openProjects_;
  TXMLMapper_tiPer* mapper_ = nullptr;
  std::unique_ptr<TtiXMLSchema> schema_;
  TFileEvent onFileMissing_;
  TOpenErrorEvent onOpenError_;
  TProjectEvent onAlreadyOpen_;
  TInvalidFileEvent onInvalidFile_;
  TFileChangedEvent onFileChanged_;
  std::unique_ptr<char[]> reserve_;
};

}  // namespace kelvado
