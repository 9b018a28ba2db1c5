// Definitions of the import slots; null until ImportFunctions fills them.
#include "base/CmpImports.h"

#define DRVFINS_DEFINE_IMPORT_SLOT(name, type, option) type pf##name = nullptr;
DRVFINS_IMPORT_LIST(DRVFINS_DEFINE_IMPORT_SLOT)
#undef DRVFINS_DEFINE_IMPORT_SLOT
