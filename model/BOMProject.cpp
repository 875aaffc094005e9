#include "model/BOMProject.h"

#include <md5.h>

#include <cstdio>

#include "framework/tiUtils.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"

namespace kelvado {

namespace {

// Everything at or below a blank (spaces, tabs, line breaks) is cut from the end.
std::string TrimRight(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  return s;
}

std::string StatusText(int index, const FmtArgs& args = {}) { return FormatMsgString(msgBaseStatus + index, args); }

}  // namespace

// ---- TProject ----

const TtiClass& TProject::StaticClass() {
  static const TtiClass c(TtiClass::Of<TProject, TPerObjAbsEx>(), "TProject", [](TtiPropTableBuilder<TProject>& b) {
    b.String("Author", &TProject::GetAuthor, &TProject::SetAuthor)
        .String("Document", &TProject::GetDocument, &TProject::SetDocument)
        .String("Documentation", &TProject::GetDocumentation, &TProject::SetDocumentation)
        .String("DocumentsFolder", &TProject::GetDocumentsFolder, &TProject::SetDocumentsFolder)
        .String("LastChangeString", &TProject::GetLastChangeString)
        .String("MachineName", &TProject::GetMachineName, &TProject::SetMachineName)
        .String("Name", &TProject::GetName, &TProject::SetName)
        .String("StandardsFolder", &TProject::GetStandardsFolder, &TProject::SetStandardsFolder);
  });
  return c;
}

TProject::TProject()
    : author_(GetWindowsUserName()),
      documentsFolder_(GetOptDefDocumentsFolder()),
      standardsFolder_(GetOptDefStandardsFolder()) {
  DoOnChange(this);
}

TProject::~TProject() = default;

void TProject::SetDocumentation(const std::string& v) { SetProp(documentation_, TrimRight(v)); }

std::string TProject::GetLastChangeString() const {
  if (lastChange_.Days == 0.0) return "-";
  try {
    int y = 0, m = 0, d = 0;
    DecodeDate(lastChange_.Days, y, m, d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
  } catch (const Exception&) {
    return "-";  // a date outside the calendar is no date to show
  }
}

bool TProject::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TProject*>(&other);
  return o && fileName_ == o->fileName_ && machineName_ == o->machineName_ && name_ == o->name_ &&
         standardsFolder_ == o->standardsFolder_ && author_ == o->author_ && document_ == o->document_ &&
         documentation_ == o->documentation_ && documentsFolder_ == o->documentsFolder_ && StampsEqual(*o);
}

void TProject::Assign(const TtiObject& source) {
  const auto* s = dynamic_cast<const TProject*>(&source);
  if (!s) throw EtiPerProgrammerException("Attempt to assign a %s to a %s", {source.ClassName(), ClassName()});
  if (s == this) return;
  author_ = s->author_;
  document_ = s->document_;
  documentation_ = s->documentation_;
  documentsFolder_ = s->documentsFolder_;
  machineName_ = s->machineName_;
  name_ = s->name_;
  standardsFolder_ = s->standardsFolder_;
  fileName_ = s->fileName_;
  lastChange_ = s->lastChange_;
  AssignStamps(*s);
  StoreIsProtected(s->GetIsProtected());
  Changed();
}

// ---- TProjectOp ----

const TtiClass& TProjectOp::StaticClass() {
  static const TtiClass c(TtiClass::Of<TProjectOp, TNodeInner>(), "TProjectOp",
                          [](TtiPropTableBuilder<TProjectOp>& b) {
                            b.Object("Project", &TProjectOp::GetProject)
                                .List("List", &TProjectOp::GetList)
                                .String("ProjectName", &TProjectOp::GetProjectName, &TProjectOp::SetProjectName);
                          });
  return c;
}

TProjectOp::TProjectOp() : list_(std::make_unique<TSFOpList>()) {
  list_->SetOwner(this);
  list_->SetItemOwner(this);
  list_->SetOnChange([this](TtiObject* sender) { ListChanged(sender); });
  DoOnChange(this);
}

TProjectOp::~TProjectOp() {
  list_->SetOnChange(nullptr);
  list_->SetOnStructureChange(nullptr);
  if (project_) project_->SetOnChange(nullptr);
}

void TProjectOp::SetProject(std::unique_ptr<TProject> project) {
  if (project.get() == project_.get()) {
    (void)project.release();  // the node owns it already
    return;
  }
  CheckWriteProtection();
  if (project_) {
    project_->SetOnChange(nullptr);
    if (project_->GetOwner() == this) project_->SetOwner(nullptr);
  }
  project_ = std::move(project);
  if (project_) {
    project_->SetOwner(this);
    project_->SetOnChange([this](TtiObject* sender) { DataChanged(sender); });
  }
  DoOnChange(this);
}

void TProjectOp::DataChanged(TtiObject* sender) {
  DoOnChange(sender);
  DoOnStructureChange(this);
}

void TProjectOp::ListChanged(TtiObject* sender) { DoOnChange(sender); }

std::string TProjectOp::GetProjectName() const {
  if (!project_ || project_->GetName().empty()) return PlaceholderProjectName();
  return project_->GetName();
}

void TProjectOp::SetProjectName(const std::string& name) {
  if (!project_) throw EtiPerProgrammerException("%s has no project", {ClassName()});
  project_->SetName(name);
}

std::string TProjectOp::GetCaption() const { return project_ ? GetProjectName() : GetMsgString(7, msgBaseGeneral); }

bool TProjectOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TProjectOp*>(&other);
  if (!o || list_->GetCount() != o->list_->GetCount()) return false;
  if (static_cast<bool>(project_) != static_cast<bool>(o->project_)) return false;
  if (project_ && !project_->Equals(*o->project_)) return false;
  if (!StampsEqual(*o)) return false;
  for (int i = 0; i < list_->GetCount(); ++i)
    if (!list_->GetItems(i)->Equals(*o->list_->GetItems(i))) return false;
  return true;
}

void TProjectOp::Assign(const TtiObject& source) {
  const auto* s = dynamic_cast<const TProjectOp*>(&source);
  if (!s) throw EtiPerProgrammerException("Attempt to assign a %s to a %s", {source.ClassName(), ClassName()});
  if (s == this) return;
  list_->Clear();
  for (int i = 0; i < s->list_->GetCount(); ++i) {
    const TtiObject* item = s->list_->GetItems(i);
    if (!item->GetDeleted()) list_->Add(item->Clone());
  }
  SetProject(s->project_ ? s->project_->CloneAs<TProject>() : nullptr);
  AssignStamps(*s);
  StoreIsProtected(s->GetIsProtected());
  Changed();
}

int TProjectOp::GetPosition() const {
  const int i = IndexInOwner();
  return i < 0 ? 0 : i + 1;
}

void TProjectOp::SetOnStructureChange(TNotifyEvent event) {
  TPerObjAbsEx::SetOnStructureChange(event);
  list_->SetOnStructureChange(std::move(event));
}

void TProjectOp::Changed() {
  list_->Changed();
  TPerObjAbsEx::Changed();
}

void TProjectOp::ExpandDocumentPaths() {
  for (int i = 0; i < list_->GetCount(); ++i)
    if (auto* n = dynamic_cast<TPerObjAbsEx*>(list_->GetItems(i))) n->ExpandDocumentPaths();
}

TItemStatus TProjectOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  const std::string placeholder = GetMsgString(111, msgBaseGeneral);
  const std::string name = project_ ? project_->GetName() : std::string();
  if (name.empty() || (!placeholder.empty() && name.find(placeholder) != std::string::npos))
    ReportStatus(messages, result, isYellow, StatusText(281));
  const TPerObjAbsEx& stamped = project_ ? static_cast<const TPerObjAbsEx&>(*project_) : *this;
  const TKelvadoVersion kvd = stamped.GetKVDVersion();
  if (kvd < ver1_0rc1 || kvd > ver1_1_2)
    ReportStatus(messages, result, isYellow, StatusText(282, {VersionText(kvd), VersionText(CurrentKVDVersion)}));
  const TNormVersion norm = stamped.GetNormVersion();
  if (norm < ver2006 || norm > ver20062003)
    ReportStatus(messages, result, isYellow,
                 StatusText(283, {NormVersionText(norm), NormVersionText(CurrentNormVersion)}));
  if (recursive) {
    for (int i = 0; i < list_->GetCount(); ++i) {
      TSFOp* sf = list_->Items(i);
      if (!sf->GetDeleted()) result = MinItemStatus(result, sf->CheckStatus(messages, recursive));
    }
  }
  CallOnAfterCheckStatus();
  return result;
}

std::string TProjectOp::GetNormVersionString() const {
  return NormVersionText(project_ ? project_->GetNormVersion() : GetNormVersion());
}

void TProjectOp::GetHashString(std::string& text) const {
  const std::string debug = AsDebugString();
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, reinterpret_cast<const uint8_t*>(debug.data()), debug.size());
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5Final(digest, &ctx);
  static const char hex[] = "0123456789abcdef";
  text.clear();
  for (uint8_t b : digest) {
    text.push_back(hex[b >> 4]);
    text.push_back(hex[b & 0x0F]);
  }
}

std::string TProjectOp::GetHashString() const {
  std::string s;
  GetHashString(s);
  return s;
}

}  // namespace kelvado
