// What the owner of the server decides about the FINS commands: the model text the controller
// data read reports and the areas that take no write. The owner hands it to the protocol while the
// loop's threads are stopped (starting them orders the write before every read); read on the
// reader thread only.
#pragma once

#include <cstdint>
#include <string>

#include "fins/FinsFrame.h"

// Bits of FinsPolicy::readOnly: areas that take no write.
constexpr unsigned kReadOnlyCioIn = 1u;  // CIO 0..32767, the inputs (I)
constexpr unsigned kReadOnlyCioOut = 2u; // CIO 32768..65535, the outputs (Q)
constexpr unsigned kReadOnlyDm = 4u;     // DM, the memory (M)

struct FinsPolicy
{
    std::string model;     // empty: the built-in model text
    unsigned readOnly = 0; // kReadOnly* bits
};

// RESP_READ_ONLY when a write of cmd (area, address as sent, bit and count; words or bits) would
// touch a protected area, even in part; RESP_OK otherwise. The range itself is checked elsewhere.
uint16_t CheckWritable(const FinsPolicy& policy, const _FinsReadCmd& cmd, bool words);
