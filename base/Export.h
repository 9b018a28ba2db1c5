// Marks what libDrvFins.so exports. The library is built with hidden visibility, so only what
// carries this macro reaches the dynamic symbol table (checked after every build).
#pragma once

#define DRVFINS_API __attribute__((visibility("default")))
