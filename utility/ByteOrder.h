// The one byte-order helper of the server: every big-endian field read from the wire is turned
// into host order with it, in place. Inline, because every request passes it several times with a
// constant size, which then comes down to a single byte-swap instruction.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>

namespace byte_order_detail {

template <typename T>
inline void SwapInPlace(char* bytes, T (*swap)(T))
{
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    value = swap(value);
    std::memcpy(bytes, &value, sizeof(T));
}

inline uint16_t Swap16(uint16_t v)
{
    return __builtin_bswap16(v);
}
inline uint32_t Swap32(uint32_t v)
{
    return __builtin_bswap32(v);
}
inline uint64_t Swap64(uint64_t v)
{
    return __builtin_bswap64(v);
}

} // namespace byte_order_detail

// Reverses n bytes in place for n of 2, 4, 6 or 8 and returns 0; any other n returns -1 and
// changes nothing.
inline int SwapByteOrderAll(char* bytes, int n)
{
    using namespace byte_order_detail;
    if (bytes == nullptr) {
        return -1;
    }
    switch (n) {
    case 2:
        SwapInPlace(bytes, &Swap16);
        return 0;
    case 4:
        SwapInPlace(bytes, &Swap32);
        return 0;
    case 6:
        std::swap(bytes[0], bytes[5]);
        std::swap(bytes[1], bytes[4]);
        std::swap(bytes[2], bytes[3]);
        return 0;
    case 8:
        SwapInPlace(bytes, &Swap64);
        return 0;
    default:
        return -1;
    }
}
