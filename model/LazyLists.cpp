#include "model/LazyLists.h"
// The caches are templates in the header; this file keeps the unit a unit of its own.
