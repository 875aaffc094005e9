#include "model/BOMNodeRules.h"

#include "model/BOM.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
#include "model/BOMComponent.h"
#include "model/BOMElement.h"
#include "model/BOMProject.h"
#include "model/BOMSF.h"
#include "model/GlobalsConfig.h"
#include "model/GlobalsFolders.h"
#include "platform/FileIO.h"

namespace kelvado {

namespace {

template <class T>
const T* As(const TtiObject* obj) {
  return dynamic_cast<const T*>(obj);
}

template <class... Ts>
bool IsOneOf(const TtiObject* obj) {
  return (... || (As<Ts>(obj) != nullptr));
}

bool OwnerIsProtected(const TtiObject* node) {
  const auto* owner = As<TPerObjAbsEx>(node->GetOwner());
  return owner && owner->GetIsProtected();
}

// Relevance of the six node classes for their owners; false for anything else.
bool NodeCountsForOwner(const TtiObject* obj) {
  if (As<TProjectOp>(obj)) return As<TProjectOp>(obj)->IsRelevant();
  if (const auto* n = As<TSFOp>(obj)) return n->IsRelevant();
  if (const auto* n = As<TComponentOp>(obj)) return n->IsRelevant();
  if (const auto* n = As<TChannelOp>(obj)) return n->IsRelevant();
  if (const auto* n = As<TBlocOp>(obj)) return n->IsRelevant();
  if (const auto* n = As<TElementOp>(obj)) return n->IsRelevant();
  return false;
}

// A block or element node: deletable when held directly in its plain list (as in a library); below its
// parent node when that counts (or allowwriteall is on) and is not protected. An owner of any other kind, or
// none, is not a place a node can be deleted from.
template <class ParentNode>
bool CanDeleteBelow(const TtiObject* node, const char* plainListClass) {
  const TtiObject* owner = node->GetOwner();
  if (!owner) return false;
  if (owner->ClassName() == plainListClass) return true;
  const auto* parent = As<ParentNode>(owner);
  if (!parent) return false;
  if (!GetOptAllowWriteAll() && !parent->IsRelevant()) return false;
  return !parent->GetIsProtected();
}

bool IsSep(char c) { return c == '/' || c == '\\'; }

std::string WithTrailingSep(std::string s) {
  if (!s.empty() && !IsSep(s.back())) s += '/';
  return s;
}

}  // namespace

bool CanEdit(const TtiObject* Obj) {
  if (!Obj) return false;
  if (GetOptAllowWriteAll()) return true;
  if (As<TPerObjListEx>(Obj)) return true;
  if (IsOneOf<TProjectOp, TSFOp, TComponentOp, TChannelOp, TBlocOp, TElementOp>(Obj)) {
    if (As<TPerObjAbsEx>(Obj)->GetIsProtected()) return false;
    return NodeCountsForOwner(Obj);
  }
  return false;
}

bool CanAdd(const TtiObject* Obj) {
  return IsOneOf<TPerObjListEx, TProjectOp, TSFOp, TChannelOp, TBlocOp>(Obj) && CanEdit(Obj);
}

bool CanDelete(const TtiObject* Obj) {
  if (!Obj) return false;
  if (IsOneOf<TPerObjListEx, TProjectOp>(Obj)) return false;
  if (IsOneOf<TSFOp, TComponentOp>(Obj)) return !OwnerIsProtected(Obj);
  if (As<TChannelOp>(Obj)) return false;  // channels go only with their subsystem
  if (As<TBlocOp>(Obj)) return CanDeleteBelow<TChannelOp>(Obj, "TBlocOpList");
  if (As<TElementOp>(Obj)) return CanDeleteBelow<TBlocOp>(Obj, "TElementOpList");
  return false;
}

bool CanCopy(const TtiObject* Obj) {
  if (!Obj || As<TPerObjListEx>(Obj) || As<TChannelOp>(Obj)) return false;
  return IsOneOf<TProjectOp, TSFOp, TComponentOp, TBlocOp, TElementOp>(Obj);
}

bool CanCut(const TtiObject* Obj) { return CanCopy(Obj) && CanDelete(Obj); }

bool CanAddFromLib(const TtiObject* Obj) { return IsOneOf<TSFOp, TChannelOp, TBlocOp>(Obj) && CanAdd(Obj); }

bool CanCopyToLib(const TtiObject* Obj) {
  return IsOneOf<TComponentOp, TBlocOp, TElementOp>(Obj) && CanCopy(Obj);
}

bool IsPerObjAbsEx(const TtiObject* Obj) { return As<TPerObjAbsEx>(Obj) != nullptr; }

bool CanMove(const TtiObject* Obj) {
  return IsOneOf<TProjectOp, TSFOp, TComponentOp, TBlocOp, TElementOp>(Obj) && CanEdit(Obj);
}

bool IsNodeRelevant(const TtiObject* Obj) {
  if (IsOneOf<TChannelOp, TBlocOp, TElementOp>(Obj)) return NodeCountsForOwner(Obj);
  return true;
}

// ---- Text and path helpers ----

void CutAtUnderscore(const std::string& S, std::string& Result) {
  const size_t pos = S.find('_');
  Result = (pos == std::string::npos || pos == 0) ? S : S.substr(0, pos);
}

std::string CutAtUnderscore(const std::string& S) {
  std::string r;
  CutAtUnderscore(S, r);
  return r;
}

void StripAmpersands(const std::string& S, std::string& Result) {
  Result.clear();
  for (char c : S)
    if (c != '&') Result += c;
}

std::string StripAmpersands(const std::string& S) {
  std::string r;
  StripAmpersands(S, r);
  return r;
}

bool StrContains(const std::string& Sub, const std::string& S) {
  return !Sub.empty() && S.find(Sub) != std::string::npos;
}

void ResolveBrowseFolder(const std::string& FileName, const std::string& BaseFolder, const std::string& SubFolder,
                         bool UseSubFolder, std::string& StartFolder, std::string& Folder, bool& Found) {
  const std::string projects = WithTrailingSep(GetProjectsFolder());
  const std::string base = WithTrailingSep(BaseFolder);
  std::string sub = WithTrailingSep(SubFolder);
  Found = false;
  Folder.clear();

  bool subRelative = false;
  bool fileRelative = false;
  std::string file = FileName;
  CheckRelativePath(sub, subRelative);
  CheckRelativePath(file, fileRelative);

  if (UseSubFolder && !sub.empty() && !subRelative) {
    Folder = sub;
    Found = true;
  } else if (UseSubFolder && !base.empty() && !sub.empty()) {
    Folder = base + sub;
    Found = true;
  } else if (!UseSubFolder && !base.empty()) {
    Folder = base;
    Found = true;
  } else {
    // No subfolder to use (an empty one names no folder), or nothing to put it below.
    Folder = base.empty() ? projects : base;
  }

  const size_t lastSep = file.find_last_of("/\\");
  if (!file.empty() && !fileRelative && lastSep != std::string::npos && FolderExists(file.substr(0, lastSep + 1))) {
    StartFolder = file.substr(0, lastSep + 1);
  } else {
    StartFolder = Folder;
    if (file.empty()) {
      if (!FolderExists(Folder)) {
        if (FolderExists(base)) StartFolder = base;
        else if (FolderExists(projects)) StartFolder = projects;
      }
    } else if (fileRelative && lastSep != std::string::npos) {
      StartFolder = Folder + file.substr(0, lastSep);
    }
  }
  StartFolder = WithTrailingSep(StartFolder);
  Folder = WithTrailingSep(Folder);
}

}  // namespace kelvado
