// The one byte-order helper of the server: every big-endian field read from the wire is turned
// into host order with it, in place. Inline, because every request passes it several times with a
// constant size, which the compiler then turns into a few register operations instead of a call.
#pragma once

#include <algorithm>

// Reverses n bytes in place for n of 2, 4, 6 or 8 and returns 0; any other n returns -1 and
// changes nothing.
inline int SwapByteOrderAll(char* bytes, int n)
{
    if (bytes == nullptr || (n != 2 && n != 4 && n != 6 && n != 8)) {
        return -1;
    }
    std::reverse(bytes, bytes + n);
    return 0;
}
