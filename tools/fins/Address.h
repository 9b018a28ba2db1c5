// Memory addresses as users of FINS controllers write them: D100 (DM word), D100.5 (a DM bit),
// CIO10, W10, H5.3, A448, E0_100 (EM bank 0, word 100; E0_100.3 a bit), T5 and C5 (timer and
// counter present values), TF5 and CF5 (their completion flags).
#pragma once

#include <cstdint>
#include <string>

enum class FinsArea : uint8_t
{
    Cio,
    Work,
    Holding,
    Auxiliary,
    Dm,
    Em, // with a bank
    Timer,
    Counter,
    TimerFlag,
    CounterFlag,
};

struct FinsAddress
{
    FinsArea area;
    uint8_t bank;  // EM bank 0..12 (E0..EC); 0 elsewhere
    bool bit;      // one 0/1 element: word.bit, or a completion flag; else a word
    uint16_t word; // the number as written: word, timer or counter number
    uint8_t bitNo; // 0..15 in the word.bit form, else 0
};

// Parses an address (letters in either case; DM100 for D100 too). False for anything else,
// *out then unchanged.
bool ParseFinsAddress(const std::string& text, FinsAddress* out);
// The FINS memory area code of the address (the bit code for bits and flags).
uint8_t FinsAreaCode(const FinsAddress& addr);
// The word address field on the wire: counters and their flags follow the timers' 0x8000 words.
uint16_t FinsWireWord(const FinsAddress& addr);
// The address text of the item `offset` places after addr (bits carry into following words).
std::string FormatFinsAddress(const FinsAddress& addr, uint32_t offset);
