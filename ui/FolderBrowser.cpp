// TFolderBrowser is defined inline in its header (see there); this unit keeps the header compiled on its own.
#include "ui/FolderBrowser.h"
