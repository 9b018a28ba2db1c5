// Memory addresses as users write them: D100 (DM word), D100.5 (DM bit), CIO10 (CIO word),
// CIO10.3 (CIO bit). CIO 32768 and up are the controller's outputs.
#pragma once

#include <cstdint>
#include <string>

struct FinsAddress
{
    bool dm;       // DM, else CIO
    bool bit;      // a bit address (word.bit), else a word
    uint16_t word; // 0..65535
    uint8_t bitNo; // 0..15 when bit
};

// Parses "D100", "DM100", "CIO10.3" (letters in either case). False for anything else.
bool ParseFinsAddress(const std::string& text, FinsAddress* out);
// The FINS memory area code of the address: 0x82 / 0x02 (DM word / bit), 0xB0 / 0x30 (CIO).
uint8_t FinsAreaCode(const FinsAddress& addr);
// The address text of the item `offset` places after addr (bits carry into following words).
std::string FormatFinsAddress(const FinsAddress& addr, uint32_t offset);
