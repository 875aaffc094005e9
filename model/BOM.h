#pragma once
// Unit BOM: the business objects of the safety model. Each part has its own header, included here; a part
// that adds classes to the unit adds its header to this list (and its sources as model/BOM<Name>.cpp).
//   BOMBase.h      TPerObjAbsEx, TPerObjListEx, abstract nodes, status messages, visitors, WriteProtectionMode
//   BOMLists.h     typed lists of the tree nodes (TElementOpList ... TProjectOpList)
//   BOMMeasures.h  DC and CCF measures, category and PL conditions, their occurrences and lists
//   BOMElement.h, BOMBloc.h, BOMChannel.h  the lower tree: elements, blocks, channels and test channels
#include "model/BOMBase.h"
#include "model/BOMLists.h"
#include "model/BOMMeasures.h"
#include "model/BOMElement.h"
#include "model/BOMBloc.h"
#include "model/BOMChannel.h"
