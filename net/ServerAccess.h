// The access rules a socket server enforces: which clients it admits, how many TCP connections it
// keeps at once (in all and per client address) and how long a silent TCP connection lives. Handed
// to the servers by their owner before the loop's threads start; read on the reader thread only.
#pragma once

#include <cstdint>

#include "utility/AccessList.h"

struct ServerAccess
{
    CAccessList allow;                    // empty admits everyone
    uint32_t maxConnections = 0;          // 0: no limit
    uint32_t maxConnectionsPerClient = 0; // 0: no limit
    uint32_t idleTimeoutS = 0;            // 0: never
};
