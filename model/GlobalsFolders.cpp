#include "model/GlobalsFolders.h"

#include "model/GlobalsConfig.h"
#include "platform/FileIO.h"

namespace kelvado {

void GetProjectsFolder(std::string& Folder) {
  Folder.clear();
  std::string projects = GetOptProjectFolder();
  bool isRelative = false;
  CheckRelativePath(projects, isRelative);
  if (!isRelative) {
    Folder = projects;
    return;
  }
  const std::string work = GetOptDefWorkDirFolder();
  if (work.empty() || projects.empty()) return;
  const bool workEndsWithSep = work.back() == '/' || work.back() == '\\';
  Folder = work + (workEndsWithSep ? "" : "/") + projects;
  if (!FolderExists(Folder)) Folder = work;
}

std::string GetProjectsFolder() {
  std::string folder;
  GetProjectsFolder(folder);
  return folder;
}

}  // namespace kelvado
