#include "model/BOMProject.h"

#include <md5.h>

#include <cstdio>

#include "framework/tiUtils.h"
#include "model/BOMSF.h"
#include "model/BOMShared.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsTexts.h"
#include "model/MsgStrings.h"

namespace kelvado {

using namespace bom_detail;

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
  const auto* s = &SourceAs<TProject>(*this, source);
  if (s == this) return;
  author_ = s->author_;
  document_ = s->document_;
  documentation_ = s->documentation_;
  documentsFolder_ = s->documentsFolder_;
  machineName_ = s->machineName_;
  name_ = s->name_;
  standardsFolder_ = s->standardsFolder_;
  fileName_ = s->fileName_;
  fileStamp_ = s->fileStamp_;
  lastChange_ = s->lastChange_;
  FinishAssign(*s);
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
  WireChildList(*list_, this, [this](TtiObject* sender) { ListChanged(sender); });
  DoOnChange(this);
}

TProjectOp::~TProjectOp() {
  UnhookChildList(*list_);
  if (project_) project_->SetOnChange(nullptr);
}

void TProjectOp::SetProject(std::unique_ptr<TProject> project) {
  if (KeepsPart(project_, project)) return;
  CheckWriteProtection();
  const auto old =
      ReplacePart(project_, std::move(project), this, [this](TtiObject* sender) { DataChanged(sender); });
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

std::string TProjectOp::GetCaption() const {
  return project_ ? GetProjectName() : GetMsgString(txtProject, msgBaseGeneral);
}

bool TProjectOp::Equals(const TtiObject& other) const {
  const auto* o = dynamic_cast<const TProjectOp*>(&other);
  return o && SameObject(project_.get(), o->project_.get()) && StampsEqual(*o) && SameItems(*list_, *o->list_);
}

void TProjectOp::Assign(const TtiObject& source) {
  const auto& s = SourceAs<TProjectOp>(*this, source);
  if (&s == this) return;
  RefillWithLiveClones(*list_, *s.list_);
  SetProject(CloneOrNull(s.project_.get()));
  FinishAssign(s);
}

int TProjectOp::GetPosition() const {
  const int i = IndexInOwner();
  return i < 0 ? 0 : i + 1;
}

void TProjectOp::Changed() {
  list_->Changed();
  TPerObjAbsEx::Changed();
}

TItemStatus TProjectOp::CheckStatus(TStatusMessages* messages, bool recursive) {
  CallOnBeforeCheckStatus();
  TItemStatus result = isGreen;
  if (LacksName(project_ ? project_->GetName() : std::string(), txtPlaceholderProject))
    ReportStatus(messages, result, isYellow, StatusText(stsProjectNoName));
  const TPerObjAbsEx& stamped = project_ ? static_cast<const TPerObjAbsEx&>(*project_) : *this;
  // A release the program has no name for (a newer file, "1.1.3") is named as the file holds it.
  const TKelvadoVersion kvd = stamped.GetKVDVersion();
  if (kvd < ver1_0rc1 || kvd > ver1_1_2) {
    const std::string& held = stamped.GetKVDVersionOriginalString();
    ReportStatus(messages, result, isYellow,
                 StatusText(stsProjectOtherRelease, {kvd == verKVDUnknown && !held.empty() ? held : VersionText(kvd),
                                                     VersionText(CurrentKVDVersion)}));
  }
  const TNormVersion norm = stamped.GetNormVersion();
  if (norm < ver2006 || norm > ver20062003)
    ReportStatus(messages, result, isYellow,
                 StatusText(stsProjectOtherNorm, {NormVersionText(norm), NormVersionText(CurrentNormVersion)}));
  if (recursive) result = WithChildStatus(result, *list_, messages, [](const TSFOp&) { return true; });
  CallOnAfterCheckStatus();
  return result;
}

std::string TProjectOp::GetNormVersionString() const {
  return NormVersionText(project_ ? project_->GetNormVersion() : GetNormVersion());
}

void TProjectOp::GetHashString(std::string& text) const {
  // The detailed text, but a value that cannot be computed raises: a checksum over an error text in its place
  // would look like the checksum of a whole project. Its display texts are the built-in German ones, so that
  // a project has one checksum in every language (and the one German runs have always given it).
  std::string debug;
  {
    const TBuiltInTexts fixedTexts;
    debug = DebugText(false, true, true);
  }
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
