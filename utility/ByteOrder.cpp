#include "utility/ByteOrder.h"

#include <algorithm>

int SwapByteOrderAll(char* bytes, int n)
{
    if (bytes == nullptr || (n != 2 && n != 4 && n != 6 && n != 8)) {
        return -1;
    }
    std::reverse(bytes, bytes + n);
    return 0;
}
