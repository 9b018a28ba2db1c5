// The component's face towards the runtime: the one entry point looked up by name and the two
// IEC function block bodies, all exported under plain names.
#pragma once

#include <cstdint>

#include "base/Export.h"
#include "base/RuntimeApi.h"

extern "C" {

// Reports the component id and the six entry points; keeps the manager functions. Returns 0.
DRVFINS_API int32_t ComponentEntry(ComponentInitRecord* record);

// Function block bodies; params points at a record whose first field is the instance pointer.
DRVFINS_API void fb_finstcp__main(void* params);
DRVFINS_API void fb_finsudp__main(void* params);

} // extern "C"
