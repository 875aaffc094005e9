// The project manager of unit PersistenceXML.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <new>
#include <sstream>

#include "framework/tiLibXml.h"
#include "framework/tiLog.h"
#include "framework/tiPerManager.h"
#include "framework/tiQueryXML.h"
#include "framework/tiUtils.h"
#include "model/BOM.h"
#include "model/BOMProject.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsLists.h"
#include "model/GlobalsTexts.h"
#include "model/MsgIds.h"
#include "model/MsgStrings.h"
#include "platform/FileIO.h"
#include "platform/MemoryLimits.h"
#include "platform/Process.h"
#include "platform/SettingsFile.h"
#include "storage/db/GlobalsPer.h"
#include "storage/db/VersionMgr.h"
#include "storage/xml/PersistenceXML.h"
#include "storage/xml/VisitorsXML.h"
#include "storage/xml/XMLTables.h"

namespace kelvado {

namespace {

const char* const kProjectListKind = "projectfile";

std::string Megabytes(int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

// The limit that bounds what the program may take, in the run's language (the framework's English words when
// the language file lacks the text).
std::string BoundText(TMemoryBound bound) {
  int number = msgBoundMachine;
  switch (bound) {
    case TMemoryBound::AddressSpace: number = msgBoundAddressSpace; break;
    case TMemoryBound::DataSize: number = msgBoundDataSize; break;
    case TMemoryBound::ControlGroup: number = msgBoundControlGroup; break;
    case TMemoryBound::Machine: break;
  }
  const std::string text = GetMsgString(number, 0);
  return text.empty() ? MemoryBoundText(bound) : text;
}

// A file is refused before anything large is built when opening it would take more than the process may
// still take (MemoryAllowance: its limits, its control group's, the machine's available memory).
void RefuseBeyondMemory(const std::string& file, int64_t fileBytes, int64_t need) {
  const TMemoryAllowance room = MemoryAllowance();
  if (need > room.Bytes)
    throw EOutOfMemory(msgFileNeedsTooMuchMemory,
                       {file, Megabytes(fileBytes), Megabytes(need), Megabytes(room.Bytes), BoundText(room.Bound)});
}

// Memory freed (a file's document) goes back to the system.
void ReturnFreedMemory() noexcept {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

// The file's modification date; 0 when it cannot be read.
DateTime FileDate(const std::string& name) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) return DateTime{};
  return DateTime{tiUnixMSecsToDateTime(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000)};
}

DateTime Today() { return DateTime{std::floor(tiNow())}; }

// A folder, FIFO or device under a project file's name is refused as what it is, never taken for a missing file.
void RefuseUnlessRegular(const std::string& name) {
  if (PathExists(name) && !FileExists(name)) throw EIOError(msgNotARegularFile, {name});
}

// A name that cannot be looked at for another reason than its absence (a loop of links, a name too long, a
// folder that may not be entered) is refused with that reason, never called missing.
void RefuseUnreachable(const std::string& name) {
  struct stat st {};
  if (name.empty() || ::stat(name.c_str(), &st) == 0) return;
  const int err = errno;
  if (err != ENOENT && err != ENOTDIR) throw EIOError(msgFileCannotBeRead, {name, SystemErrorText(err)});
}

// A file this user may not read is refused saying so, never taken for an invalid file by a parser that could
// not open it.
void RefuseUnreadable(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd >= 0) {
    ::close(fd);
    return;
  }
  const int err = errno;
  throw EIOError(msgFileCannotBeRead, {name, SystemErrorText(err)});
}

// The name under which a rescue copy (NAME.kvd.rescue, NAME.kvd.rescue_2 ...) opens: NAME.rescue.kvd,
// NAME.rescue_2.kvd; empty for any other name.
std::string OpenableRescueName(const std::string& name) {
  const std::string ext = std::string(".") + ProjectFileExt;
  const std::string mark = ext + ".rescue";
  const size_t at = name.rfind(mark);
  if (at == std::string::npos || name.find('/', at) != std::string::npos) return {};
  const std::string number = name.substr(at + mark.size());
  if (!number.empty() &&
      (number.size() < 2 || number[0] != '_' || number.find_first_not_of("0123456789", 1) != std::string::npos))
    return {};
  return name.substr(0, at) + name.substr(at + ext.size()) + ext;
}

// What a save will write, and that it may: the file the name's links lead to, a regular file its owner has not
// made read-only (the rename that replaces it needs only the folder).
std::string WritableTarget(const std::string& name) {
  try {
    RefuseUnlessRegular(name);
    const std::string target = FollowFileLinks(name);
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
      try {
        CheckFileReplaceable(target);
      } catch (const EFileAccess& e) {
        if (e.Cause() == "it is read-only") throw EIOError(msgFileReadOnly, {name});
        throw;
      }
      // A project file is replaced by a rename, which would give the new project to this name only: its other
      // names would go on showing the old one.
      if (st.st_nlink > 1) throw EIOError(msgFileHardLinked, {name, std::to_string(st.st_nlink)});
    }
    return target;
  } catch (const EFileAccess& e) {
    throw EIOError(msgFileWriteFailed, {e.what()});
  }
}

// Held from the check that the file is unchanged until the new file is in place (see TFileSaveLock).
std::unique_ptr<TFileSaveLock> LockForSave(const std::string& name) {
  try {
    return std::make_unique<TFileSaveLock>(name);
  } catch (const EFileAccess& e) {
    throw EIOError(msgFileWriteFailed, {e.what()});
  }
}

// Raises the refusal of a save that holds the file's lock in the user's words: changed on disk just before
// the new file would have taken its place, or something of the file that the new one could not keep.
void RaiseLockedRefusal(const TFileSaveLock& lock, const std::string& name) {
  if (lock.ChangedMeanwhile()) throw EIOError(msgFileChangedOnDisk, {name});
  if (!lock.NotKept()) return;
  const TFileKeepRefusal& r = *lock.NotKept();
  switch (r.Kind) {
    case TFileKeepRefusal::kRightsLost:
      throw EIOError(msgSaveTakesRights, {name, r.Owner, r.Saver, r.Loser, r.After, r.Before});
    case TFileKeepRefusal::kGroupNotKept: throw EIOError(msgSaveLosesGroup, {name, r.Group, r.Saver});
    case TFileKeepRefusal::kSetIdBits: throw EIOError(msgSaveLosesSetIdBits, {name, r.Saver});
    case TFileKeepRefusal::kAttribute:
      throw EIOError(msgSaveLosesAttribute, {name, r.Attribute, SystemErrorText(r.Error)});
  }
}

// The stamp of the file a save wrote: the one it put in place, not what the name may lead to a moment later.
TFileStamp StampAfterSave(const TFileSaveLock& lock, const std::string& name) {
  TFileStamp stamp = lock.Replaced() ? lock.Seen() : FileStampOf(name);
  stamp.File = name;
  return stamp;
}

// Both names denote the same file (however each is written).
bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  const bool same = std::filesystem::equivalent(a, b, ec);
  return !ec && same;
}

// The file name and date a store sets are no edit of the project: set also on a protected one.
void SetStoreData(TProject& project, const std::string& fileName, DateTime lastChange) {
  TWriteProtectionLifted lifted;
  project.SetFileName(fileName);
  project.SetLastChange(lastChange);
}

// The names of the projects the store holds, in the order of their nodes (a project without a name by the
// placeholder the tree shows for it).
std::vector<std::string> ProjectsIn(const std::string& file, const std::string& layer) {
  const TDBConnectionLease lease = tiPerMgr().GetPersistenceLayers().LeaseDatabase(file, layer);
  TtiDatabase& db = lease.Database();
  TtiDBMetaData tables;
  db.ReadMetaDataTables(tables);
  const std::string nodeTable = TableNameForClass(TProjectOp::StaticClass());
  const std::string dataTable = TableNameForClass(TProject::StaticClass());
  if (!tables.FindByTableName(nodeTable)) return {};
  std::unique_ptr<TtiQuery> q = db.CreateTIQuery();
  q->AttachDatabase(&db);
  std::vector<std::string> projects;
  q->SelectRow(nodeTable, nullptr);
  for (; !q->Eof(); q->Next()) projects.push_back(q->FieldAsString("Project"));
  q->Close();
  for (std::string& project : projects) {
    std::string name;
    if (tables.FindByTableName(dataTable)) {
      TtiQueryParams where;
      where.SetValueAsString("OID", project);
      q->SelectRow(dataTable, &where);
      if (!q->Eof()) name = q->FieldAsString("Name");
      q->Close();
    }
    project = name.empty() ? PlaceholderProjectName() : name;
  }
  q->DetachDatabase();
  return projects;
}

// Every object of the graph that is not deleted becomes posCreate, so that a save writes it: also an object
// built in memory and never read or saved (posEmpty). With new identifiers, a copy saved into a file next to
// others never collides with them.
class TVisAllNew : public TtiVisitor {
public:
  explicit TVisAllNew(bool newIdentifiers) : newIdentifiers_(newIdentifiers) {}
  bool AcceptVisitor() override {
    auto* o = dynamic_cast<TtiObject*>(GetVisited());
    return o && !o->GetDeleted();
  }
  void Execute(TtiVisited* visited) override {
    TtiVisitor::Execute(visited);
    if (!AcceptVisitor()) return;
    auto* o = static_cast<TtiObject*>(visited);
    o->SetObjectState(posCreate);
    if (newIdentifiers_) o->GetOID().GetNextValue();
  }

private:
  bool newIdentifiers_;
};

}  // namespace

int64_t ProjectFileOpenEstimate(const TtiXMLCensus& Census) {
  const TtiXMLCensus& c = Census;
  // Fitted to the highest point of opens measured in processes of their own (bench/bench_projectfile), files
  // saved by the program from 0.3 to 223 MB (3.5 times their size) and by hand: a row 600 bytes (the store's
  // row, its place in the indexes, the object read from it, the checks of the content), an attribute 12, every
  // byte of their texts 2 (the row's copy, the object's), and the parser's buffer, which holds the row it reads
  // whole and grows by doubling. A file whose rows stand among other text keeps them as elements too: its
  // document. A tenth more for what varies between runs.
  int64_t need = 600 * c.Elements + 12 * c.Attributes + 2 * c.AttributeBytes + 2 * c.LargestElementBytes;
  if (c.TextPieces > 0 || c.Other > 0) need += c.DocumentBytes();
  return std::max(need + need / 10, c.Bytes);
}

TProjectManager::TProjectManager() : TProjectManager(tiAddTrailingSlash(tiGetEXEPath()) + cProjectSchemaFileName) {}

TProjectManager::TProjectManager(const std::string& SchemaFileName)
    : openProjects_(std::make_unique<TProjectOpList>()) {
  KeepReserve();
  if (!FileExists(SchemaFileName)) {
    Log("No schema <" + SchemaFileName + ">: project files are not checked against a schema");
    return;
  }
  try {
    schema_ = std::make_unique<TtiXMLSchema>(SchemaFileName);
  } catch (const std::exception& e) {
    LogError(std::string("Project files are not checked against a schema: ") + e.what());
  }
}

TProjectManager::~TProjectManager() = default;

TXMLMapper_tiPer& TProjectManager::GetMapper() { return mapper_ ? *mapper_ : XMLMapper(); }

bool TProjectManager::IsFileTypeRegistered() const {
  return kelvado::IsFileTypeRegistered(std::string(".") + ProjectFileExt, ProjectProgID());
}

void TProjectManager::RegisterFileType() const {
  RegisterOwnFileType(std::string(".") + ProjectFileExt, ProjectProgID(), ProjectFileDescription(),
                      GetOptIconFileProject());
}

std::unique_ptr<EInvalidXML> TProjectManager::ValidateProjectFile(const std::string& FileName) const {
  if (!schema_) return nullptr;
  TtiXMLParseResult read;
  return Validate(FileName, read);
}

std::unique_ptr<EInvalidXML> TProjectManager::Validate(const std::string& FileName, TtiXMLParseResult& Read) const {
  // The store keeps at least the file's texts: a file larger than the memory there is need not stream past.
  // No fixed bound beyond that: whatever the program saved opens again where the memory for it is.
  if (const int64_t size = FileStampOf(FileName).Size; size > 0) RefuseBeyondMemory(FileName, size, size);
  // Without a schema the pass still streams the file past, for the estimate of its memory.
  Read = tiXMLReadCheckedFile(
      FileName, schema_.get(),
      [&](const TtiXMLCensus& census) { RefuseBeyondMemory(FileName, census.Bytes, ProjectFileOpenEstimate(census)); },
      std::numeric_limits<int64_t>::max(), TtiDatabaseXML::NewRowTaker());
  if (!schema_ || Read.Error.Reason.empty()) return nullptr;
  const TtiXMLParseError& e = Read.Error;
  EInvalidXML::TFault fault = EInvalidXML::TFault::Other;
  std::string name1, name2;
  switch (e.Fault) {
    case TtiXMLFault::UnexpectedEnd: fault = EInvalidXML::TFault::UnexpectedEnd; break;
    case TtiXMLFault::TagMismatch:
      fault = EInvalidXML::TFault::TagMismatch;
      name1 = e.OpenTag;
      name2 = e.EndTag;
      break;
    case TtiXMLFault::InvalidCharacter: fault = EInvalidXML::TFault::InvalidCharacter; break;
    case TtiXMLFault::NotXML: fault = EInvalidXML::TFault::NotXML; break;
    case TtiXMLFault::ElementNotAllowed:
      fault = EInvalidXML::TFault::ElementNotAllowed;
      name1 = e.Element;
      break;
    case TtiXMLFault::AttributeNotAllowed:
      fault = EInvalidXML::TFault::AttributeNotAllowed;
      name1 = e.Element;
      name2 = e.Attribute;
      break;
    case TtiXMLFault::Other: break;
  }
  return std::make_unique<EInvalidXML>(FileName, e.Reason, e.Code, e.Line, e.Column, e.Context, fault, name1, name2);
}

void TProjectManager::ReadCheckedFile(const std::string& FileName, bool Import, TtiObjectList& List) {
  TtiXMLParseResult checked;
  if (std::unique_ptr<EInvalidXML> invalid = Validate(FileName, checked)) AskAboutInvalidFile(*invalid, Import);
  // Attached afresh, so that what is read is what was checked (the file may have changed since the mapper last
  // held it); the document the check has read is the one the store takes: the file is read once.
  TXMLMapper_tiPer& mapper = GetMapper();
  {
    TtiXMLDocumentOffer offer(FileName, std::move(checked));
    mapper.SetFileName(FileName);
  }
  // Once read (or refused), nothing of the file's document is needed: it takes many times the tree's memory,
  // which goes back to the system (the allocator would keep it for the process).
  struct TRelease {
    TXMLMapper_tiPer& Mapper;
    ~TRelease() {
      Mapper.ReleaseDocument();
      ReturnFreedMemory();
    }
  } release{mapper};
  CheckXMLTables(FileName, mapper.GetLayerName(), !Import);
  // Checked: readers of classes whose tables are empty need not walk the tree.
  const TXMLReadCensus census(List, FileName, mapper.GetLayerName());
  mapper.Read(List);
}

void TProjectManager::AskAboutInvalidFile(const EInvalidXML& Error, bool Import) {
  const std::string text =
      "KELVADO Error (v." + VersionText(CurrentKVDVersion) + ")\r\n\r\n" + Error.MessageText();
  if (onInvalidFile_ && onInvalidFile_(text, Import)) {
    Log("Schema check of <" + Error.FileName() + "> ignored: " + Error.Reason());
    return;
  }
  throw Error;
}

TProjectOp* TProjectManager::FindOpenProject(const std::string& FileName) const {
  for (int i = 0; i < openProjects_->GetCount(); ++i) {
    TProjectOp* op = openProjects_->Items(i);
    if (op->GetProject() && !op->GetProject()->GetFileName().empty() &&
        SameFile(op->GetProject()->GetFileName(), FileName))
      return op;
  }
  return nullptr;
}

void TProjectManager::KeepReserve() {
  if (!reserve_) reserve_.reset(new (std::nothrow) char[kOutOfMemoryReserve]);
}

void TProjectManager::RaiseOutOfMemory(const std::string& FileName) {
  // Running out of memory says nothing about the file: it is neither damaged nor invalid. The report's text
  // needs memory of its own, which the reserve leaves it.
  reserve_.reset();
  throw EOutOfMemory(msgOutOfMemory, {FileName});
}

TProjectOp* TProjectManager::OpenProjectFile(const std::string& FileName, bool CheckVersion) {
  KeepReserve();
  try {
    return OpenProjectFileAsIs(FileName, CheckVersion);
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory(FileName);
  }
}

TProjectOp* TProjectManager::OpenProjectFileAsIs(const std::string& FileName, bool CheckVersion) {
  RefuseUnlessRegular(FileName);
  RefuseUnreachable(FileName);
  if (!FileExists(FileName)) {
    // A bare name is looked for in the current folder only (the template of a new project).
    if (FileName.find('/') != std::string::npos) throw EIOError(msgProjectFileMissing, {FileName});
    return nullptr;
  }
  const size_t dot = FileName.rfind('.');
  const size_t slash = FileName.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      FileName.substr(dot) != std::string(".") + ProjectFileExt) {
    // The program's own rescue copy: the user is told how to open it.
    if (const std::string openable = OpenableRescueName(FileName); !openable.empty())
      throw EIOError(msgRescueCopy, {FileName, openable});
    throw EIOError(msgNotAProjectFile, {FileName});
  }
  // Open already: nothing of the file needs reading again.
  if (checkAlreadyOpen_) {
    if (TProjectOp* open = FindOpenProject(FileName)) {
      if (onAlreadyOpen_) onAlreadyOpen_(*open);
      return open;
    }
  }
  RefuseUnreadable(FileName);
  // Taken before reading: should the file change meanwhile, a save asks rather than overwrite the change.
  const TFileStamp stamp = FileStampOf(FileName);
  TProjectOpList read;
  ReadCheckedFile(FileName, false, read);
  TXMLMapper_tiPer& mapper = GetMapper();
  if (read.CountNotDeleted() == 0) throw EKelvado(msgNoProjectInFile, {FileName});
  // A project file is written with one project: the others would be left out of the tree opened, without a
  // word, and lost with all their items at its next save.
  if (read.CountNotDeleted() > 1)
    throw EIOError(msgSeveralProjectsInFile, {FileName, std::to_string(read.CountNotDeleted())});

  // The releases of all projects first: a file of an unknown release is refused as a whole.
  std::vector<bool> notices(static_cast<size_t>(read.GetCount()), false);
  if (CheckVersion) {
    TVersionMgr& versions = mapper.GetVersionMgr();
    for (int i = 0; i < read.GetCount(); ++i) {
      TProjectOp& op = *read.Items(i);
      const TProject* p = op.GetProject();
      if (!p) continue;
      bool notice = false;
      if (!versions.CheckProjectVersion(p->GetName(), p->GetKVDVersion(), p->GetKVDVersionOriginalString(),
                                        p->GetNormVersion(), notice))
        throw EIOError(msgUnknownRelease,
                       {FileName,
                        p->GetKVDVersionOriginalString().empty() ? VersionText(p->GetKVDVersion())
                                                                 : p->GetKVDVersionOriginalString(),
                        p->GetNormVersion() == ver13849Unknown && !p->GetNormVersionOriginalString().empty()
                            ? p->GetNormVersionOriginalString()
                            : NormVersionText(p->GetNormVersion())});
      notices[static_cast<size_t>(i)] = notice;
    }
  }

  const DateTime fileDate = FileDate(FileName);
  TProjectOp* result = nullptr;
  std::vector<std::unique_ptr<TtiObject>> items = read.Empty();
  for (size_t i = 0; i < items.size(); ++i) {
    auto* op = static_cast<TProjectOp*>(items[i].get());
    if (checkAlreadyOpen_) {
      if (TProjectOp* open = FindOpenProject(FileName)) {
        result = open;
        if (onAlreadyOpen_) onAlreadyOpen_(*open);
        continue;
      }
    }
    if (op->GetProject()) {
      SetStoreData(*op->GetProject(), FileName, fileDate);
      op->GetProject()->SetFileStamp(stamp);
    }
    openProjects_->Add(std::move(items[i]));
    result = op;
    mapper.GetVersionMgr().UpgradeProject(*op);
    if (notices[i]) op->SetDirty(true);
  }
  return result;
}

TProjectOp* TProjectManager::NewProject() {
  TProjectOp* op = nullptr;
  {
    struct TRestoreGuard {
      bool& flag;
      ~TRestoreGuard() { flag = true; }
    } restore{checkAlreadyOpen_};
    checkAlreadyOpen_ = false;
    op = OpenProjectFile(DefaultProjectFileName(), true);
  }
  if (!op) {
    auto created = TtiObject::CreateNew<TProjectOp>();
    created->SetProject(TtiObject::CreateNew<TProject>());
    op = created.get();
    openProjects_->Add(std::move(created));
  }
  if (op->GetProject()) {
    SetStoreData(*op->GetProject(), std::string(), Today());
    op->GetProject()->SetFileStamp({});
  }
  return op;
}

void TProjectManager::SaveProject(TProjectOp& ProjectOp) {
  TProject* project = ProjectOp.GetProject();
  // Saving to whatever file the mapper has attached would overwrite another project's file.
  if (!project || project->GetFileName().empty())
    throw EIOError(msgProjectWithoutFileName, {ProjectOp.GetProjectName()});
  KeepReserve();
  // A failed save gives the project back its name before the error arrives here.
  const std::string& name = project->GetFileName();
  try {
    SaveProjectUnguarded(ProjectOp, name);
  } catch (const std::bad_alloc&) {
    GetMapper().ReleaseDocument();
    RaiseOutOfMemory(name);
  }
}

void TProjectManager::SaveProjectUnguarded(TProjectOp& ProjectOp, const std::string& FileName) {
  TProject* project = ProjectOp.GetProject();
  const std::string name = FileName;
  const std::string target = WritableTarget(name);
  // From the check until the new file is in place: of two programs saving the file at once, one is refused.
  const std::unique_ptr<TFileSaveLock> lock = LockForSave(name);
  CheckUnchangedOnDisk(*project, name, lock->Seen());
  TXMLMapper_tiPer& mapper = GetMapper();
  // The store gives the project the name of the file it writes (a temporary one for a new file): a failed save
  // leaves it the name it had.
  TtiUndoUnlessDone keepName([&]() noexcept {
    try {
      SetStoreData(*project, name, project->GetLastChange());
    } catch (const std::exception& e) {
      LogError("The file name of project <" + ProjectOp.GetProjectName() + "> was not restored: " + e.what());
    }
  });
  std::string toFile;
  const auto save = [&] {
    // Every object is written anew; also those built in memory and never saved (posEmpty), which the
    // framework's SetAllObjectStates would leave out of the file without a word.
    TVisAllNew whole(false);
    ProjectOp.Iterate(whole);
    ProjectOp.SetKVDVersion(CurrentKVDVersion);
    ProjectOp.SetNormVersion(CurrentNormVersion);
    project->SetKVDVersion(CurrentKVDVersion);
    project->SetNormVersion(CurrentNormVersion);
    // Written from memory: the file on disk is not read, so a damaged one can be saved over.
    mapper.SaveProjectOpAnew(ProjectOp, toFile);
  };
  TFileStamp saved;
  try {
    if (!lock->Seen().File.empty()) {
      toFile = name;
      save();
      saved = StampAfterSave(*lock, name);
    } else {
      // The store of the new file is made under its temporary name (SaveIntoNewFile attaches it).
      saved = SaveIntoNewFile(name, target, [&] {
        toFile = mapper.GetFileName();
        save();
      });
    }
  } catch (...) {
    RaiseLockedRefusal(*lock, name);
    // In place, but not flushed to disk: the file is this program's all the same.
    if (lock->Replaced()) project->SetFileStamp(StampAfterSave(*lock, name));
    throw;
  }
  keepName.Done();
  mapper.ReleaseDocument();
  SetStoreData(*project, name, Today());
  project->SetFileStamp(saved);
}

void TProjectManager::CheckUnchangedOnDisk(const TProject& Project, const std::string& FileName,
                                           const TFileStamp& Now) {
  const TFileStamp& known = Project.GetFileStamp();
  // Only the file this program read or saved for the project: "save as" over another file is the user's choice.
  if (known.File.empty() || known.File != FileName) return;
  // A file that is gone holds nothing a save could destroy.
  if (Now.File.empty() || Now.SameFileState(known)) return;
  if (onFileChanged_ && onFileChanged_(FileName)) {
    Log("<" + FileName + "> was changed by another program since it was read; overwritten as the user chose");
    return;
  }
  throw EIOError(msgFileChangedOnDisk, {FileName});
}

TFileStamp TProjectManager::SaveIntoNewFile(const std::string& FileName, const std::string& Target,
                                            const std::function<void()>& Save) {
  // A new file appears complete or not at all: it is built under a hidden temporary name beside it and then
  // given its name, which nothing may have taken meanwhile.
  TXMLMapper_tiPer& mapper = GetMapper();
  const std::string before = mapper.GetFileName();
  std::string tmp;
  try {
    tmp = CreateTempFileBeside(Target);
  } catch (const EFileAccess& e) {
    throw EIOError(msgFileWriteFailed, {e.what()});
  }
  // Nothing of a failed save stays: neither the temporary file nor the mapper on it (its next save would make
  // the file again).
  TtiUndoUnlessDone discard([&]() noexcept {
    mapper.AttachUnread(before);
    ::unlink(tmp.c_str());
  });
  try {
    mapper.CreateNew(tmp);
    Save();
  } catch (Exception& e) {
    // The user knows the file by the name chosen, not by the temporary one.
    std::string text = e.Message();
    for (size_t at = text.find(tmp); at != std::string::npos; at = text.find(tmp, at + FileName.size()))
      text.replace(at, tmp.size(), FileName);
    e.SetMessage(text);
    throw;
  }
  TFileStamp stamp = FileStampOf(tmp);
  try {
    PublishNewFile(tmp, Target);
  } catch (const EFileAccess& e) {
    throw EIOError(msgFileWriteFailed, {e.what()});
  }
  discard.Done();
  // Attached unread: reading the file just written would cost a whole read, and one larger than the store
  // reads without the open's estimate would be refused after it is in place. The next use reads it.
  mapper.AttachUnread(FileName);
  stamp.File = FileName;
  return stamp;
}

void TProjectManager::RefuseExportTarget(const std::string& FileName) {
  // Anything but a store of the project tables (a library, a text, another program's XML) is not the file of
  // an export: said in one sentence, not with the store's account of why it could not be read.
  const auto notAProjectFile = [&] { return EIOError(msgExportTargetNotProjectFile, {FileName}); };
  TtiXMLParseResult checked;
  if (Validate(FileName, checked) || !checked.Doc) throw notAProjectFile();
  TXMLMapper_tiPer& mapper = GetMapper();
  try {
    TtiXMLDocumentOffer offer(FileName, std::move(checked));
    mapper.SetFileName(FileName);
    CheckXMLTables(FileName, mapper.GetLayerName(), false);
  } catch (const EtiPerDBExceptionCanNotConnect&) {
    throw notAProjectFile();
  } catch (const EIOError&) {
    throw notAProjectFile();
  }
  const std::vector<std::string> projects = ProjectsIn(FileName, mapper.GetLayerName());
  if (!projects.empty()) throw EIOError(msgExportTargetHoldsProject, {FileName, projects.front()});
}

void TProjectManager::SaveObjectToFile(const TtiObject& Item, const std::string& FileName) {
  KeepReserve();
  try {
    const std::string target = WritableTarget(FileName);
    std::unique_ptr<TtiObject> copy = Item.Clone();
    // The framework's copy keeps the states and identifiers of everything below the item: a saved subtree
    // would not be written, and copies exported one after the other would repeat identifiers.
    TVisAllNew makeNew(true);
    copy->Iterate(makeNew);
    TXMLMapper_tiPer& mapper = GetMapper();
    // From the look at what the file holds until the export is in place (see SaveProject).
    const std::unique_ptr<TFileSaveLock> lock = LockForSave(FileName);
    try {
      if (!lock->Seen().File.empty()) {
        // The export replaces the file whole, as a save does: added to a project file, the copy would be an
        // item outside its project, and the file would be refused from then on.
        const std::string before = mapper.GetFileName();
        TtiUndoUnlessDone back([&]() noexcept { mapper.AttachUnread(before); });
        RefuseExportTarget(FileName);
        mapper.SaveAnew(*copy, FileName);
        back.Done();
      } else {
        SaveIntoNewFile(FileName, target, [&] { mapper.Save(*copy); });
      }
    } catch (...) {
      RaiseLockedRefusal(*lock, FileName);
      throw;
    }
    mapper.ReleaseDocument();
  } catch (const std::bad_alloc&) {
    // Reading the file or writing it: either way the file is as it was, and no fault of its own.
    GetMapper().ReleaseDocument();
    RaiseOutOfMemory(FileName);
  }
}

void TProjectManager::ImportFromFile(TPerObjListEx& TargetList, const std::string& FileName) {
  KeepReserve();
  try {
    // Reading a file that is not there would create an empty one and import nothing.
    RefuseUnlessRegular(FileName);
    RefuseUnreachable(FileName);
    if (!FileExists(FileName)) throw EIOError(msgProjectFileMissing, {FileName});
    RefuseUnreadable(FileName);
    std::unique_ptr<TPerObjListEx> read = TargetList.Class().CreateAs<TPerObjListEx>();
    ReadCheckedFile(FileName, true, *read);
    // An import of nothing is said, never taken for one done: a project file keeps its items inside its
    // project, where an import does not look.
    if (read->CountNotDeleted() == 0) throw EIOError(msgNothingToImport, {FileName, TargetList.GetCaption()});
    for (int i = 0; i < read->GetCount(); ++i)
      if (!read->GetItems(i)->GetDeleted()) TargetList.Add(read->CloneItem(i));
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory(FileName);
  }
}

void TProjectManager::SaveRescueCopies(std::vector<TProjectOp*>& List) {
  List.clear();
  for (int i = 0; i < openProjects_->GetCount(); ++i) {
    TProjectOp* op = openProjects_->Items(i);
    if (!op->GetDirty() || !op->GetProject()) continue;
    try {
      std::string base = op->GetProject()->GetFileName();
      if (base.empty()) {
        std::string folder = GetProjectsFolder();
        if (folder.empty()) folder = std::filesystem::current_path().string();
        const std::string valid = MakeValidFileName(op->GetProjectName());
        std::string name;
        if (valid == GetMsgString(111, msgBaseGeneral) || valid.empty()) NextFreeProjectName(folder, name);
        else name = valid + "." + ProjectFileExt;
        base = tiAddTrailingSlash(folder) + name;
      }
      SetStoreData(*op->GetProject(), RescueFileName(base), op->GetProject()->GetLastChange());
      SaveProject(*op);
      List.push_back(op);
    } catch (const std::exception& e) {
      LogError("The rescue copy of project <" + op->GetProjectName() + "> was not saved: " + e.what());
    }
  }
}

void TProjectManager::SaveOpenProjectList() {
  std::vector<std::string> names;
  for (int i = 0; i < openProjects_->GetCount(); ++i) {
    const TProjectOp* op = openProjects_->Items(i);
    if (!op->GetDeleted() && op->GetProject()) names.push_back(op->GetProject()->GetFileName());
  }
  if constexpr (UseRegistryLists) {
    SaveRecentList(names, kProjectListKind);
  } else {
    std::string text;
    for (const std::string& n : names) text += n + "\n";
    tiStringToFile(text, ProjectListFileName());
  }
}

void TProjectManager::LoadOpenProjectList() {
  std::vector<std::string> names;
  if constexpr (UseRegistryLists) {
    names = LoadRecentList(kProjectListKind);
  } else {
    std::istringstream in(ReadRegularFileIfExists(ProjectListFileName(), kMaxSettingsFileSize).value_or(""));
    for (std::string line; std::getline(in, line);) names.push_back(line);
  }
  for (const std::string& name : names) {
    if (!PathExists(name)) {
      if (onFileMissing_) onFileMissing_(name);
      continue;
    }
    try {
      OpenProjectFile(name, false);
    } catch (const std::exception& e) {
      LogError("Reopening <" + name + "> failed: " + e.what());
      if (onOpenError_) onOpenError_(name, e);
    }
  }
}

void TProjectManager::RemoveProject(TProjectOp* ProjectOp) { openProjects_->Remove(ProjectOp); }

}  // namespace kelvado
