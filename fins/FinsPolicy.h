// What the owner of the server decides about the FINS commands: the model text the controller
// data read reports, the areas that take no write, the clients that may write and whether writes
// are logged. The owner hands it to the protocol while the loop's threads are stopped (starting
// them orders the write before every read); read on the reader thread only.
#pragma once

#include <cstdint>
#include <string>

#include "fins/FinsAreaMap.h"
#include "fins/FinsFrame.h"
#include "utility/AccessList.h"

// Bits of FinsPolicy::readOnly: areas that take no write.
constexpr unsigned kReadOnlyCioIn = 1u;      // CIO ranges on the inputs (I) or the memory (M)
constexpr unsigned kReadOnlyCioOut = 2u;     // CIO ranges on the outputs (Q)
constexpr unsigned kReadOnlyDm = 4u;         // DM
constexpr unsigned kReadOnlyFirstOther = 8u; // W, H, A, T, C, TF, CF, E0 .. EC in that order

// The bit of FinsPolicy::readOnly that protects an area (CIO: both of its bits).
unsigned ReadOnlyBitOf(FinsAreaKind kind);

struct FinsPolicy
{
    std::string model;     // empty: the built-in model text
    unsigned readOnly = 0; // kReadOnly* bits
    // With writersNamed, only the clients writeAllow covers may write, fill or transfer; an empty
    // list then lets no one (every entry of the setting was unreadable). Without, everyone may.
    bool writersNamed = false;
    CAccessList writeAllow{};
    bool logWrites = false; // every write, fill and transfer carried out is logged

    // Whether a client at peer (IPv4, network byte order) may change memory.
    bool AllowsWriter(in_addr_t peer) const
    {
        return !writersNamed || (!writeAllow.Empty() && writeAllow.Allows(peer));
    }
};

// RESP_READ_ONLY when a write landing at `where` (as CFinsAreaMap::Locate found it) would touch a
// protected area: one the policy names, or A 0-447 whenever A is mapped; RESP_OK otherwise. The
// range itself is checked by Locate.
uint16_t CheckWritable(const FinsPolicy& policy, const FinsLocation& where);
