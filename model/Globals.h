#pragma once
// Unit Globals: value texts and limits, settings, and the small shared services (registry lists, processes,
// web addresses, report labels).
#include "model/GlobalsConfig.h"
#include "model/GlobalsLists.h"
#include "model/GlobalsTexts.h"
