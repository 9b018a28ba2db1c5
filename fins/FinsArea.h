// Memory area addressing shared by the FINS memory commands: the area codes, the mapping of CIO and
// DM addresses onto the application's I, Q and M segments, the range rule and the byte order of
// words on the wire. Free functions without state; they run on the event loop's reader thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "appmem/AppAreaMem.h"
#include "fins/FinsFrame.h"
#include "utility/ByteOrder.h"

// A big-endian field of the wire, converted to host order on a copy. Requests may sit at any
// alignment in their buffer, so fields are only ever reached through byte copies.
template <typename T>
T BigEndianField(const char* at)
{
    T value;
    std::memcpy(&value, at, sizeof(T));
    (void)SwapByteOrderAll(reinterpret_cast<char*>(&value), sizeof(T)); // sizes 2 and 4 only
    return value;
}

inline bool IsWordArea(uint8_t area)
{
    return area == AREA_CIO_WORD || area == AREA_CIO_WORD_B || area == AREA_DM_WORD;
}

inline bool IsCioArea(uint8_t area)
{
    return area == AREA_CIO_BIT || area == AREA_CIO_BIT_B || area == AREA_CIO_WORD ||
           area == AREA_CIO_WORD_B;
}

inline bool IsDmArea(uint8_t area)
{
    return area == AREA_DM_WORD || area == AREA_DM_BIT;
}

// Every 2-byte word of `from` with its bytes reversed, into `to`: the same buffer, or one that
// does not overlap it (a 2000-word read converts 4000 bytes on their way into the response).
void SwapWordsInto(char* to, const char* from, size_t words);

// Every 2-byte word of a buffer reversed in place.
inline void SwapWords(char* data, size_t words)
{
    SwapWordsInto(data, data, words);
}

// CIO words from 0x8000 on are the application's output words, from 0 its input words. The
// command's address becomes the word address inside the chosen segment.
AppAreaMemType MapCioAddress(_FinsReadCmd& cmd);

// The segment of a CIO or DM command (the caller has checked the area code), with the command's
// address made relative to it.
inline AppAreaMemType MapAreaAddress(_FinsReadCmd& cmd)
{
    return IsCioArea(cmd.byArea) ? MapCioAddress(cmd) : APP_AREA_M;
}

// The range rule, in unsigned 32-bit arithmetic on purpose: a zero count at the very start of a
// segment wraps the end test and is refused with RESP_END_OUT_OF_RANGE, which clients expect.
// RESP_OK when the whole range lies in a segment of segBytes bytes.
uint16_t CheckRange(uint32_t segBytes, const _FinsReadCmd& cmd, bool words);
