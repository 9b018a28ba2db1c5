// What the owner of the server decides about the FINS commands: the model text the controller
// data read reports, the areas that take no write, the clients that may write and whether writes
// are logged. Set on the owner's thread while the loop's
// threads are stopped (starting them orders the write before every read); read on the reader
// thread only.
#pragma once

#include <cstdint>
#include <string>

#include "fins/FinsFrame.h"
#include "utility/AccessList.h"

// Bits of FinsPolicy::readOnly: areas that take no write.
constexpr unsigned kReadOnlyCioIn = 1u;  // CIO 0..32767, the inputs (I)
constexpr unsigned kReadOnlyCioOut = 2u; // CIO 32768..65535, the outputs (Q)
constexpr unsigned kReadOnlyDm = 4u;     // DM, the memory (M)

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

// Replaces the policy in effect. Only while no loop thread runs.
void SetFinsPolicy(const FinsPolicy& policy);
const FinsPolicy& GetFinsPolicy();

// RESP_READ_ONLY when a write of cmd (area, address as sent, bit and count; words or bits) would
// touch a protected area, even in part; RESP_OK otherwise. The range itself is checked elsewhere.
uint16_t CheckWritable(const _FinsReadCmd& cmd, bool words);
