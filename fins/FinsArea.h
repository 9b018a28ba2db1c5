// Wire helpers shared by the FINS memory commands: big-endian fields and the byte order of words on
// the wire (where an area lies is CFinsAreaMap's). Free functions without state; they run on the
// event loop's reader thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Every 2-byte word of `from` with its bytes reversed, into `to`: the same buffer, or one that
// does not overlap it (a 2000-word read converts 4000 bytes on their way into the response).
void SwapWordsInto(char* to, const char* from, size_t words);

// Every 2-byte word of a buffer reversed in place.
inline void SwapWords(char* data, size_t words)
{
    SwapWordsInto(data, data, words);
}
