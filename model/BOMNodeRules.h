#pragma once
// Which item-tree commands the selected object allows (add, delete, cut, copy, insert from and copy to the
// library, move, go up), whether a node counts for its owner, and small text and path helpers of the editors
// and the language-file reader. No state: the rules read the node classes, the write protection of the nodes
// and the option allowwriteall.
//
// Class tests are membership tests: a test-channel node counts as a channel node. Every rule takes the
// selected object (a node, a node list or a business object); a null object allows nothing.
#include <string>

namespace kelvado {

class TtiObject;

// May the object be changed: always with allowwriteall; any node list; a project, safety-function,
// subsystem, channel, block or element node that is not write-protected and counts for its owner.
bool CanEdit(const TtiObject* Obj);
// aAdd: a node list or a project, safety-function, channel or block node, and CanEdit.
bool CanAdd(const TtiObject* Obj);
// aDel: safety functions and subsystems unless their owner is protected; blocks and elements held directly
// in their list (a library), or below an owner that counts (or any owner with allowwriteall) and is not
// protected; never projects, channels or lists.
bool CanDelete(const TtiObject* Obj);
// aCopy: project, safety-function, subsystem, block and element nodes.
bool CanCopy(const TtiObject* Obj);
// aCut: CanCopy and CanDelete.
bool CanCut(const TtiObject* Obj);
// aLib: a safety-function, channel or block node, and CanAdd.
bool CanAddFromLib(const TtiObject* Obj);
// aCopyToLib: a subsystem, block or element node, and CanCopy.
bool CanCopyToLib(const TtiObject* Obj);
// aUp: the object is a business object.
bool IsPerObjAbsEx(const TtiObject* Obj);
// aMoveUp / aMoveDown: a project, safety-function, subsystem, block or element node, and CanEdit.
bool CanMove(const TtiObject* Obj);
// False for a channel, block or element node that does not count for its owner; true otherwise.
bool IsNodeRelevant(const TtiObject* Obj);

// S up to its first "_" (a form's section name in the language file); unchanged when S has none or starts
// with it.
void CutAtUnderscore(const std::string& S, std::string& Result);
std::string CutAtUnderscore(const std::string& S);
// S without hot-key markers "&".
void StripAmpersands(const std::string& S, std::string& Result);
std::string StripAmpersands(const std::string& S);
// Sub occurs in S (an empty Sub does not).
bool StrContains(const std::string& Sub, const std::string& S);

// The folder in which a document or standard file named FileName is looked up (Folder; Found when it comes
// from BaseFolder or SubFolder rather than from the projects folder) and the folder a file dialog for it
// starts in (StartFolder). A SubFolder or FileName starting with "../" is relative to BaseFolder. Both
// results end with "/" unless empty.
void ResolveBrowseFolder(const std::string& FileName, const std::string& BaseFolder, const std::string& SubFolder,
                         bool UseSubFolder, std::string& StartFolder, std::string& Folder, bool& Found);

}  // namespace kelvado
