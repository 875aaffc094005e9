#include "storage/db/PersistenceDBMapper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/tiFirebird.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryIBX.h"
#include "framework/tiUtils.h"
#include "framework/tiVisitor.h"
#include "model/BOM.h"
#include "model/BOMComponent.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/Exceptions.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLists.h"
#include "model/GlobalsTexts.h"
#include "model/MetaData.h"
#include "model/MsgIds.h"
#include "model/MsgStrings.h"
#include "model/PersistenceDBAbs.h"
#include "platform/FileIO.h"
#include "platform/MessageBox.h"
#include "platform/SettingsFile.h"
#include "platform/TextCase.h"
#include "platform/Process.h"
#include "storage/db/GlobalsPer.h"
#include "storage/db/PersistenceDB.h"
#include "storage/db/VersionMgr.h"
#include "storage/db/VisitorsDB.h"

namespace kelvado {

namespace fs = std::filesystem;

namespace {

// A database name with a server part ("host:/path", "host/3050:/path"): the server opens it, and it is no
// file of this machine.
bool IsServerName(const std::string& name) { return tiFBIsServerName(name); }

// A local name taken relative to the program's folder, normalized; a server name as it is.
std::string ExpandName(const std::string& name) {
  if (name.empty() || IsServerName(name)) return name;
  fs::path p(name);
  if (p.is_relative()) p = fs::path(ProgramFolder()) / p;
  return p.lexically_normal().string();
}

// The modification date of a local file, put back after a read (the engine writes its transaction counters
// into the file even when nothing else changes).
class TKeptDate {
public:
  explicit TKeptDate(std::string file) : file_(std::move(file)) {
    struct stat st {};
    ok_ = !file_.empty() && !IsServerName(file_) && ::stat(file_.c_str(), &st) == 0;
    if (ok_) {
      times_[0] = st.st_atim;
      times_[1] = st.st_mtim;
    }
  }
  void Restore() const {
    if (!ok_) return;
    // Unchanged (a file that is only read): nothing to put back, which only its owner could.
    struct stat st {};
    if (::stat(file_.c_str(), &st) == 0 && st.st_mtim.tv_sec == times_[1].tv_sec &&
        st.st_mtim.tv_nsec == times_[1].tv_nsec)
      return;
    if (::utimensat(AT_FDCWD, file_.c_str(), times_, 0) != 0)
      LogError("The modification date of " + file_ + " could not be put back");
  }

private:
  std::string file_;
  bool ok_ = false;
  struct timespec times_[2] {};
};

std::string ErrorCaption() { return "KELVADO Error (v." + VersionText(CurrentKVDVersion) + ")"; }

// The mapper that last told the general database which library is open.
const TORMapper_tiPer* gPublisher = nullptr;

// The general database answers which library is open (GetOpenLibFileName): the mapper tells it whenever that
// changes. An empty name (no library, or the mapper is gone) clears the answer.
void PublishOpenLibrary(const TORMapper_tiPer* mapper, const std::string& file) {
  if (file.empty() && gPublisher != mapper) return;  // another mapper's answer stands
  gPublisher = file.empty() ? nullptr : mapper;
  if (!PersistenceDBAssigned()) return;
  if (auto* db = dynamic_cast<TPersistenceDB_FB*>(&PersistenceDB())) {
    if (file.empty()) db->SetOpenLibFileNameSource(nullptr);
    else db->SetOpenLibFileNameSource([file] { return file; });
  }
}

std::unique_ptr<TORMapper_tiPer>& MapperSlot() {
  static std::unique_ptr<TORMapper_tiPer> mapper;
  return mapper;
}

}  // namespace

// ---- TORMapper ----

void TORMapper::SetOnAfterRead(TNotifyEvent Event) { TVisSelect::SetOnAfterRead(std::move(Event)); }
void TORMapper::SetOnAfterSave(TNotifyEvent Event) { TVisUpdate::SetOnAfterSave(std::move(Event)); }
void TORMapper::SetOnBeforeRead(TNotifyEvent Event) { TVisSelect::SetOnBeforeRead(std::move(Event)); }
void TORMapper::SetOnBeforeSave(TNotifyEvent Event) { TVisUpdate::SetOnBeforeSave(std::move(Event)); }

// ---- TORMapper_tiPer ----

TORMapper_tiPer::TORMapper_tiPer(const std::string& LayerName)
    : layerName_(LayerName), ownVersionMgr_(std::make_unique<TVersionMgr>()) {
  // Layers are registered in code, each by the part of the program that uses it: the library files' layer
  // here, before the first connection needs it.
  if (SameTextAscii(layerName_, cTIPersistIBX) && !tiPerMgr().GetPersistenceLayers().IsLoaded(layerName_))
    RegisterPersistenceLayerIBX();
  RegisterVisitorsDB();
  genUser_ = GetDatabaseUserNameGen();
  genPassword_ = GetDatabasePasswordGen();
  genCharset_ = GetDatabaseCharsetGen();
  ConnectGeneralDatabase(GetDatabaseDatabaseNameGen());
  libUser_ = GetDatabaseUserNameLib();
  libPassword_ = GetDatabasePasswordGenLib();
  libCharset_ = GetDatabaseCharsetLib();
  OpenLibrary(GetDatabaseDatabaseNameLib());
}

TORMapper_tiPer::~TORMapper_tiPer() {
  PublishOpenLibrary(this, {});
  if (!tiPerMgrAssigned()) return;
  try {
    if (!generalFile_.empty()) tiPerMgr().DisconnectDatabase(generalFile_, layerName_);
  } catch (const std::exception& e) {
    LogError(std::string("Disconnecting the general database failed: ") + e.what());
  }
  Detach();
}

void TORMapper_tiPer::NotSupported() { throw ENotImplemented(1012); }

bool TORMapper_tiPer::ReadFrom(TtiObject& obj, const std::string& file) {
  const std::string db = file.empty() ? libraryFile_ : file;
  TKeptDate kept(db);
  try {
    tiPerMgr().Read(&obj, db, layerName_);
  } catch (...) {
    kept.Restore();
    throw;
  }
  kept.Restore();
  return true;
}

void TORMapper_tiPer::SaveToLibrary(TtiObject& obj) {
  // As a project file its owner made read-only: read, but never written (root included).
  if (libraryReadOnly_) throw EIOError(msgLibraryReadOnly, {libraryFile_});
  tiPerMgr().Save(&obj, libraryFile_, layerName_);
}

bool TORMapper_tiPer::ReadList(TtiObjectList& list) {
  list.Clear();
  list.SetObjectState(posEmpty);
  return ReadFrom(list);
}

bool TORMapper_tiPer::ReadCatalogue(TtiObjectList& list, bool fromLibrary) {
  list.Clear();
  list.SetObjectState(posEmpty);
  return ReadFrom(list, fromLibrary ? libraryFile_ : generalFile_);
}

bool TORMapper_tiPer::ReadCatConditionOp(TCatConditionOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadCCFMeasureOp(TCCFMeasureOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadDCMeasureOp(TDCMeasureOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadElementOp(TElementOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadBlocOp(TBlocOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadChannelOp(TChannelOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadComponentOp(TComponentOp& Obj) { return ReadFrom(Obj); }
bool TORMapper_tiPer::ReadSFOp(TSFOp&) { NotSupported(); }
bool TORMapper_tiPer::ReadProjectOp(TProjectOp&) { NotSupported(); }

bool TORMapper_tiPer::ReadCatConditionOpList(TCatConditionOpList& List) { return ReadList(List); }
bool TORMapper_tiPer::ReadCCFMeasureOpList(TCCFMeasureOpList& List, bool FromLibrary) {
  return ReadCatalogue(List, FromLibrary);
}
bool TORMapper_tiPer::ReadDCMeasureOpList(TDCMeasureOpList& List, bool FromLibrary) {
  return ReadCatalogue(List, FromLibrary);
}
bool TORMapper_tiPer::ReadElementOpList(TElementOpList& List) { return ReadList(List); }
bool TORMapper_tiPer::ReadBlocOpList(TBlocOpList& List) { return ReadList(List); }
bool TORMapper_tiPer::ReadChannelOpList(TChannelOpList& List) { return ReadList(List); }
bool TORMapper_tiPer::ReadComponentOpList(TComponentOpList& List) { return ReadList(List); }
bool TORMapper_tiPer::ReadSFOpList(TSFOpList&) { NotSupported(); }
bool TORMapper_tiPer::ReadProjectOpList(TProjectOpList&) { NotSupported(); }

void TORMapper_tiPer::SaveCatConditionOp(TCatConditionOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveCCFMeasureOp(TCCFMeasureOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveDCMeasureOp(TDCMeasureOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveElementOp(TElementOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveBlocOp(TBlocOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveChannelOp(TChannelOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveComponentOp(TComponentOp& Obj) { SaveToLibrary(Obj); }
void TORMapper_tiPer::SaveSFOp(TSFOp&) { NotSupported(); }
void TORMapper_tiPer::SaveProjectOp(TProjectOp&) { NotSupported(); }
void TORMapper_tiPer::SaveCatConditionOpList(TCatConditionOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveCCFMeasureOpList(TCCFMeasureOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveDCMeasureOpList(TDCMeasureOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveElementOpList(TElementOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveBlocOpList(TBlocOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveChannelOpList(TChannelOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveComponentOpList(TComponentOpList& List) { SaveToLibrary(List); }
void TORMapper_tiPer::SaveSFOpList(TSFOpList&) { NotSupported(); }
void TORMapper_tiPer::SaveProjectOpList(TProjectOpList&) { NotSupported(); }

void TORMapper_tiPer::CreateLibrary(const std::string& FileName, const std::string& User,
                                    const std::string& Password, const std::string& Charset) {
  if (!User.empty() || !Password.empty() || !Charset.empty()) throw ENotImplemented(std::string());
  PersistenceDB().CreateNewDatabase(ExpandName(FileName));
}

void TORMapper_tiPer::ReadMetaData(TMetaData& Meta, const std::string& FileName, const std::string& User,
                                   const std::string& Password, const std::string& Charset) {
  (void)Charset;  // the access layer fixes the character set of library files
  const std::string named = ExpandName(FileName);
  if (!named.empty() && !IsServerName(named) && !FileExists(named)) throw EKelvado(1026, {FileName});
  const std::string file = named.empty() ? libraryFile_ : named;
  const std::string bareName = fs::path(file).stem().string();
  const std::string user = User.empty() ? libUser_ : User;
  const std::string password = Password.empty() ? libPassword_ : Password;

  TMetaDataList list;
  list.SetObjectState(posEmpty);
  const TKeptDate keptLibrary(libraryFile_);
  const TKeptDate keptFile(file);
  const bool temporary = file != libraryFile_;
  if (temporary) tiPerMgr().ConnectDatabase(file, user, password, {}, layerName_);
  try {
    tiPerMgr().Read(&list, file, layerName_);
    const TMetaData* found = nullptr;
    for (int i = 0; i < list.GetCount() && !found; ++i)
      if (!list.Items(i)->GetDeleted()) found = list.Items(i);
    if (!found) {
      Meta.GetOID().GetNextValue();
      Meta.SetDefaults();
      Meta.SetName(bareName);
      Meta.SetObjectState(posCreate);
    } else {
      Meta.Assign(*found);
      Meta.GetOID().SetAsString(found->GetOID().GetAsString());
      Meta.SetObjectState(posClean);
    }
  } catch (...) {
    if (temporary) tiPerMgr().DisconnectDatabase(file, layerName_);
    keptFile.Restore();
    keptLibrary.Restore();
    throw;
  }
  if (temporary) tiPerMgr().DisconnectDatabase(file, layerName_);
  keptFile.Restore();
  keptLibrary.Restore();
}

void TORMapper_tiPer::SaveMetaData(TMetaData& Meta) {
  Meta.SetDateTime(DateTime{tiNow()});
  Meta.SetKVDVersion(CurrentKVDVersion);
  Meta.SetNormVersion(CurrentNormVersion);
  Meta.SetDirty(true);
  SaveToLibrary(Meta);
}

void TORMapper_tiPer::ConnectGeneralDatabase(const std::string& FileName) {
  const std::string name = ExpandName(FileName);
  if (name == generalFile_) return;
  if (!generalFile_.empty()) tiPerMgr().DisconnectDatabase(generalFile_, layerName_);
  generalFile_.clear();
  tiPerMgr().ConnectDatabase(name, genUser_, genPassword_, {}, layerName_);
  generalFile_ = name;
  DoStoreChanged();
}

void TORMapper_tiPer::Detach() {
  if (libraryFile_.empty()) return;
  const TKeptDate kept(libraryFile_);
  try {
    if (tiPerMgrAssigned()) tiPerMgr().DisconnectDatabase(libraryFile_, layerName_);
  } catch (const std::exception& e) {
    LogError("Disconnecting the library " + libraryFile_ + " failed: " + e.what());
  }
  kept.Restore();
  libraryFile_.clear();
  libraryReadOnly_ = false;
  PublishOpenLibrary(this, {});
}

TORMapper_tiPer::TOpenResult TORMapper_tiPer::Attach(const std::string& fileName) {
  if (fileName.empty()) throw EIOError(1023, {fileName});
  // Opening reads the header record; only an upgrade may change the file (and its date).
  const TKeptDate kept(fileName);
  tiPerMgr().ConnectDatabase(fileName, libUser_, libPassword_, {}, layerName_);
  libraryFile_ = fileName;
  libraryReadOnly_ = tiFBIsReadOnlyFile(fileName);
  TMetaData meta;
  ReadMetaData(meta);
  const TKelvadoVersion version = meta.GetKVDVersion();
  const TNormVersion edition = meta.GetNormVersion();
  TVersionMgr& mgr = versionMgr_ ? *versionMgr_ : *ownVersionMgr_;
  if (!mgr.CheckLibraryVersion(fileName, version, meta.GetKVDVersionOriginalString(), edition)) {
    Detach();
    return TOpenResult::Refused;
  }
  const TKelvadoVersion before = version;
  if (!mgr.UpgradeLibrary(fileName, layerName_, meta.GetIsProtected(), version, edition)) {
    Detach();
    return TOpenResult::Refused;
  }
  // Only an upgrade restamps the header record.
  TMetaData after;
  ReadMetaData(after);
  if (after.GetKVDVersion() == before) kept.Restore();
  PublishOpenLibrary(this, fileName);
  return TOpenResult::Opened;
}

bool TORMapper_tiPer::OpenLibrary(const std::string& FileName) {
  const std::string name = ExpandName(FileName);
  if (!libraryFile_.empty() && name == libraryFile_) return true;
  DoStoreChanging();
  DoRelease();
  const std::string old = libraryFile_;
  Detach();

  // The previous library is attached again once; when that fails too, none is attached (never a loop between
  // two libraries that both fail).
  auto fallBack = [&] {
    if (old.empty()) return;
    try {
      if (Attach(old) == TOpenResult::Opened) DoStoreChanged();
    } catch (const std::exception& e) {
      Detach();
      LogError("The previous library " + old + " could not be attached again: " + e.what());
    }
  };

  std::string reason;
  try {
    if (Attach(name) == TOpenResult::Opened) {
      DoStoreChanged();
      return true;
    }
    if (!old.empty()) {
      fallBack();
      return false;
    }
    // An upgrade refused without a previous library leaves nothing to work with.
    throw EIOError(1023, {name});
  } catch (const std::exception& e) {
    reason = e.what();
  }
  Detach();
  tiSetFrameworkTerminated(false);
  fallBack();
  // Told after falling back, so that the message says whether a library is open.
  const std::string outcome =
      libraryFile_.empty() ? GetMsgString(msgNoLibraryOpen - msgBaseError, msgBaseError)
                           : GetMsgString(185, msgBaseStatus);
  ShowMessage({ErrorCaption(), name + "\r\n\r\n" + outcome + "\r\n\r\n" + reason, MsgIcon::Error, MsgButtons::Ok,
               MsgResult::Ok});
  throw EIOError(1023, {name});
}

bool TORMapper_tiPer::IsLibraryFileTypeRegistered() {
  return IsFileTypeRegistered(std::string(".") + LibraryFileExt, LibraryProgID());
}

void TORMapper_tiPer::RegisterLibraryFileType() {
  RegisterOwnFileType(std::string(".") + LibraryFileExt, LibraryProgID(), LibraryFileDescription(),
                      GetOptIconFileLib());
}

// ---- The singleton ----

TORMapper_tiPer& ORMapper() {
  auto& slot = MapperSlot();
  if (!slot) slot = std::make_unique<TORMapper_tiPer>(GetDatabasePersistenceLayerName());
  return *slot;
}

bool ORMapperAssigned() { return static_cast<bool>(MapperSlot()); }

void ORMapperShutdown() { MapperSlot().reset(); }

// ---- TLibListManager ----

namespace {

std::string NameOf(const std::string& line) {
  const auto eq = line.find('=');
  return eq == std::string::npos ? line : line.substr(0, eq);
}

std::string PathOf(const std::string& line) {
  const auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

// A stored path as a full path: relative ones are relative to the program's folder.
fs::path FullPath(const std::string& stored) {
  fs::path p(stored);
  if (p.is_relative()) p = fs::path(ProgramFolder()) / p;
  return p.lexically_normal();
}

// The path relative to the program's folder (a path outside it begins with "../").
std::string RelativeToProgram(const std::string& path) {
  fs::path full = fs::path(path).is_relative() ? fs::absolute(path) : fs::path(path);
  return full.lexically_normal().lexically_relative(fs::path(ProgramFolder()).lexically_normal()).string();
}

}  // namespace

std::string TLibListManager::NameAt(int Index) const { return NameOf(lines_.at(static_cast<size_t>(Index))); }
std::string TLibListManager::PathAt(int Index) const { return PathOf(lines_.at(static_cast<size_t>(Index))); }

void TLibListManager::LoadList() {
  if constexpr (UseRegistryLists) {
    lines_ = LoadRecentList("lib");
  } else {
    lines_.clear();
    std::istringstream in(ReadRegularFileIfExists(LibListFileName(), kMaxSettingsFileSize).value_or(""));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) lines_.push_back(line);
    }
  }
}

bool TLibListManager::SaveList() {
  if constexpr (UseRegistryLists) {
    return SaveRecentList(lines_, "lib");
  } else {
    std::string text;
    for (const std::string& l : lines_) text += l + "\r\n";
    try {
      WriteFileAtomically(LibListFileName(), text);
    } catch (const EFileAccess& e) {
      LogError(e.what());
      return false;
    }
    return true;
  }
}

void TLibListManager::AddLibrary(const std::string& Name, const std::string& Path) {
  // A library on a server is the server's file: it is registered by its name, never looked for here.
  std::string stored = Path;
  if (!IsServerName(Path)) {
    if (!FileExists(Path)) throw EKelvado(1026, {Path});
    const std::string relative = RelativeToProgram(Path);
    if (relative.rfind("../", 0) != 0) stored = relative;
  }
  int index = -1;
  if (FindLibrary(Name, index)) lines_[static_cast<size_t>(index)] = Name + "=" + stored;
  else lines_.push_back(Name + "=" + stored);
}

void TLibListManager::RegisterLibrary(const std::string& Name, const std::string& Path) {
  RemoveLibraryFile(Path);
  AddLibrary(Name, Path);
}

void TLibListManager::RemoveLibraryFile(const std::string& Path) {
  // Server names compare as written; local paths as the file they name.
  auto key = [](const std::string& p) { return IsServerName(p) ? p : RelativeToProgram(FullPath(p).string()); };
  const std::string wanted = IsServerName(Path) ? Path : RelativeToProgram(Path);
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (key(PathOf(lines_[i])) == wanted) {
      lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void TLibListManager::RemoveMissing() {
  // A stored relative path is relative to the program's folder, wherever the program was started from.
  // A library on a server is not a file of this machine: it stays.
  for (size_t i = lines_.size(); i-- > 0;) {
    const std::string path = PathOf(lines_[i]);
    if (IsServerName(path)) continue;
    // Only a library that is gone leaves the list: one that cannot be looked at now (in a folder without
    // permission) stays registered.
    std::error_code unknown;
    if (!fs::exists(FullPath(path), unknown) && !unknown) lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

bool TLibListManager::FindLibrary(const std::string& Name, int& Index) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    if (NameOf(lines_[i]) == Name) {
      Index = static_cast<int>(i);
      return true;
    }
  }
  Index = -1;
  return false;
}

}  // namespace kelvado
