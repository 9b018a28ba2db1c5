// Memory area addressing shared by the FINS memory commands (see the header).
#include "fins/FinsArea.h"

#include <utility>

#include "utility/Singleton.h"

// Four words at a time: the bytes of each 16-bit lane of a 64-bit block trade places.
void SwapWords(char* data, size_t words)
{
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        uint64_t block;
        std::memcpy(&block, data + 2 * i, sizeof(block));
        block = ((block >> 8) & kLowBytes) | ((block & kLowBytes) << 8);
        std::memcpy(data + 2 * i, &block, sizeof(block));
    }
    for (; i < words; ++i) {
        std::swap(data[2 * i], data[2 * i + 1]);
    }
}

AppAreaMemType MapCioAddress(_FinsReadCmd& cmd)
{
    if ((cmd.wAddr & kCioOutputBase) != 0) {
        cmd.wAddr = static_cast<uint16_t>(cmd.wAddr - kCioOutputBase);
        return APP_AREA_Q;
    }
    return APP_AREA_I;
}

uint16_t CheckRange(uint32_t segBytes, const _FinsReadCmd& cmd, bool words)
{
    uint32_t w = cmd.wAddr;
    uint32_t n = cmd.wCount;
    uint32_t limit = words ? segBytes : segBytes * 8u;
    uint32_t first = words ? 2u * w : 16u * w + cmd.byBit;
    uint32_t last = words ? 2u * w + 2u * n - 1u : 16u * w + cmd.byBit + n - 1u;
    if (limit <= first) {
        return RESP_START_OUT_OF_RANGE;
    }
    if (limit <= last) {
        return RESP_END_OUT_OF_RANGE;
    }
    return RESP_OK;
}

CAppAreaMemmory& AppMemory()
{
    return *utility::Singleton<CAppAreaMemmory>::instance();
}
