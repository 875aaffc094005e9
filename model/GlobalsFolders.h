#pragma once
// Where the user's projects live. Kept with the settings (not with the file helpers of the library storage)
// because the tree-node helpers of the model need it too, and the model must not depend on the storage.
#include <string>

namespace kelvado {

// The projects folder from the settings: a relative `projectfolder` is taken below `defworkdirfolder` (the
// work folder itself when that subfolder does not exist; empty when either setting is empty); an absolute
// one (or one starting with "../../") is used as it is. No trailing "/".
void GetProjectsFolder(std::string& Folder);
std::string GetProjectsFolder();

}  // namespace kelvado
