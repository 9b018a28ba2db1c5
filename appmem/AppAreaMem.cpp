// The application's I, Q and M segments: where they lie (asked of the runtime after a download) and
// word and bit copies between them and the protocol's buffers. Loaded on the runtime's event thread
// while the server is stopped; every access runs on the event loop's reader thread.
#include "appmem/AppAreaMem.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "base/CmpImports.h"
#include "base/kellog.h"

namespace {

constexpr const char* kMsgUnknownType = "unknow area type:%d";
constexpr const char* kMsgOutOfRange =
    "addr size out range,startAddr:%d,nWordNum:%d,Area TotalSize:%d";
constexpr const char* kMsgNoApp = "CAL_AppGetFirstApp instance fail,result:%u";
constexpr const char* kMsgNoSegment = "failed to GetSegmentAddress:%s,result:%u";
constexpr const char* kMsgLoaded = "I:%p,size:%u,Q:%p,size:%u,M:%p,size:%u";

constexpr int kBitsPerWord = 16;
constexpr size_t kWordBytes = 2;

// A segment word in host order. Only the bytes below `limit` are touched: a segment of odd size
// ends in half a word, whose missing byte reads as 0 and is never written.
uint16_t LoadWord(const char* mem, size_t offset, size_t limit)
{
    uint16_t word = 0;
    if (limit - offset >= kWordBytes) {
        std::memcpy(&word, mem + offset, kWordBytes); // one 16-bit load
    } else {
        word = static_cast<unsigned char>(mem[offset]);
    }
    return word;
}

void StoreWord(char* mem, size_t offset, size_t limit, uint16_t word)
{
    if (limit - offset >= kWordBytes) {
        std::memcpy(mem + offset, &word, kWordBytes); // one 16-bit store
    } else {
        mem[offset] = static_cast<char>(word & 0xFFu);
    }
}

// Walks the words a bit range touches: visit(offset, firstBit, bits, index) once per word, with
// the word's segment offset, its first bit in the range, how many of its bits are in the range and
// the index of that first bit within the range.
template <typename Visit>
void ForEachBitWord(int startWord, int startBit, int bitCount, Visit visit)
{
    size_t base = static_cast<size_t>(startWord) * kWordBytes;
    for (int i = 0; i < bitCount;) {
        int a = startBit + i;
        size_t offset = base + static_cast<size_t>(a / kBitsPerWord) * kWordBytes;
        int first = a % kBitsPerWord;
        int bits = std::min(kBitsPerWord - first, bitCount - i);
        visit(offset, first, bits, i);
        i += bits;
    }
}

// Byte b spread over 8 bytes: byte k (in memory order on this little-endian host) is bit k of b.
// A whole word of a bit read then becomes two look-ups instead of sixteen shifts.
constexpr std::array<uint64_t, 256> MakeSpreadTable()
{
    std::array<uint64_t, 256> table{};
    for (unsigned int b = 0; b < 256; ++b) {
        for (unsigned int k = 0; k < 8; ++k) {
            table[b] |= static_cast<uint64_t>((b >> k) & 1u) << (8 * k);
        }
    }
    return table;
}
constexpr std::array<uint64_t, 256> kSpread = MakeSpreadTable();

// Bit read over a segment of `limit` bytes (see ReadBitsFromMemoryData).
// dst has room for bitCount bytes.
int ReadBits(const char* mem, size_t limit, int startWord, int startBit, int bitCount, char* dst)
{
    if (mem == nullptr || dst == nullptr || startWord < 0 || startBit < 0 || bitCount < 0) {
        return -1;
    }
    // Captured by value: the byte stores through dst could otherwise alias the captured
    // references and reload them for every word.
    ForEachBitWord(startWord, startBit, bitCount, [=](size_t offset, int first, int bits, int i) {
        uint16_t word = LoadWord(mem, offset, limit);
        if (bits == kBitsPerWord) {
            std::memcpy(dst + i, &kSpread[word & 0xFFu], sizeof(uint64_t));
            std::memcpy(dst + i + 8, &kSpread[word >> 8], sizeof(uint64_t));
            return;
        }
        for (int k = 0; k < bits; ++k) {
            dst[i + k] = static_cast<char>((word >> (first + k)) & 1);
        }
    });
    return 0;
}

// The string form of ReadBits: out holds the bitCount bytes.
int ReadBits(const char* mem, size_t limit, int startWord, int startBit, int bitCount,
             std::string& out)
{
    if (mem == nullptr || startWord < 0 || startBit < 0 || bitCount < 0) {
        return -1;
    }
    out.resize(static_cast<size_t>(bitCount));
    return ReadBits(mem, limit, startWord, startBit, bitCount, &out[0]);
}

// Bit write over a segment of `limit` bytes (see WriteBitToMemoryData): each touched word is read
// once, updated for all its bits in the range and stored back whole.
int WriteBits(char* mem, size_t limit, int startWord, int startBit, int bitCount, const char* data)
{
    if (mem == nullptr || data == nullptr || startWord < 0 || startBit < 0 || bitCount < 0) {
        return -1;
    }
    ForEachBitWord(startWord, startBit, bitCount, [&](size_t offset, int first, int bits, int i) {
        uint16_t word = LoadWord(mem, offset, limit);
        for (int k = 0; k < bits; ++k) {
            uint16_t mask = static_cast<uint16_t>(1u << (first + k));
            word = (data[i + k] & 1) != 0 ? static_cast<uint16_t>(word | mask)
                                          : static_cast<uint16_t>(word & ~mask);
        }
        StoreWord(mem, offset, limit, word);
    });
    return 0;
}

// The workers called with a bare pointer know no segment end; whole words are then assumed.
constexpr size_t kNoLimit = static_cast<size_t>(-1);

bool IsKnownType(AppAreaMemType type)
{
    return type == APP_AREA_I || type == APP_AREA_Q || type == APP_AREA_M;
}

// One segment: its address, and its size only once the address is known, so an absent segment
// keeps size 0 and every range check refuses it.
void LoadSegment(void* app, uint32_t areaCode, const char* name, char** addr, uint32_t* size,
                 RTS_RESULT* result)
{
    uint8_t* base =
        pfAppGetSegmentAddress != nullptr ? pfAppGetSegmentAddress(app, areaCode, result) : nullptr;
    if (base == nullptr) {
        kelLogAddErrorF(kMsgNoSegment, name, static_cast<unsigned int>(*result));
        return;
    }
    *addr = reinterpret_cast<char*>(base);
    *size = pfAppGetSegmentSize != nullptr ? pfAppGetSegmentSize(app, areaCode, result) : 0;
}

} // namespace

CAppAreaMemmory::CAppAreaMemmory()
{
    ClearAppMemory();
}

CAppAreaMemmory::~CAppAreaMemmory()
{
    ClearAppMemory();
}

void CAppAreaMemmory::ClearAppMemory()
{
    m_pM = nullptr;
    m_pQ = nullptr;
    m_pI = nullptr;
    m_iMSize = 0;
    m_iQSize = 0;
    m_iISize = 0;
    m_bApp = false;
}

int CAppAreaMemmory::LoadAppMemoryAddr()
{
    ClearAppMemory();
    RTS_RESULT result = 0;
    void* app = pfAppGetFirstApp != nullptr ? pfAppGetFirstApp(&result) : nullptr;
    if (app == nullptr) {
        kelLogAddErrorF(kMsgNoApp, static_cast<unsigned int>(result));
        return -1;
    }
    m_bApp = true;
    // The order Q, I, M and address before size are those the runtime has always been asked in.
    LoadSegment(app, APP_SEGMENT_OUTPUT, "OUTPUT(Q)", &m_pQ, &m_iQSize, &result);
    LoadSegment(app, APP_SEGMENT_INPUT, "INPUT(I)", &m_pI, &m_iISize, &result);
    LoadSegment(app, APP_SEGMENT_MEMORY, "Memory(M)", &m_pM, &m_iMSize, &result);
    kelLogAddInfoF(kMsgLoaded, static_cast<void*>(m_pI), m_iISize, static_cast<void*>(m_pQ),
                   m_iQSize, static_cast<void*>(m_pM), m_iMSize);
    return 0;
}

bool CAppAreaMemmory::HasApplication() const
{
    return m_bApp;
}

char* CAppAreaMemmory::GetAppMemoryAddrFromType(AppAreaMemType type)
{
    switch (type) {
    case APP_AREA_I:
        return m_pI;
    case APP_AREA_Q:
        return m_pQ;
    case APP_AREA_M:
        return m_pM;
    }
    kelLogAddErrorF(kMsgUnknownType, static_cast<int>(type));
    return nullptr;
}

uint32_t CAppAreaMemmory::GetAppMemorySizeFromType(AppAreaMemType type)
{
    switch (type) {
    case APP_AREA_I:
        return m_iISize;
    case APP_AREA_Q:
        return m_iQSize;
    case APP_AREA_M:
        return m_iMSize;
    }
    kelLogAddErrorF(kMsgUnknownType, static_cast<int>(type));
    return 0;
}

bool CAppAreaMemmory::IsVaildAddr(int startAddr, int nWordNum, unsigned int totalSize)
{
    // Wide arithmetic: the byte count of two large ints must not overflow.
    long long end = (static_cast<long long>(startAddr) + nWordNum) * 2;
    if (end >= 0 && end < static_cast<long long>(totalSize)) {
        return true;
    }
    kelLogAddErrorF(kMsgOutOfRange, startAddr, nWordNum, static_cast<int>(totalSize));
    return false;
}

int CAppAreaMemmory::ReadWordFromAppMemory(AppAreaMemType type, int startWord, int wordCount,
                                           std::string& out)
{
    out.clear();
    if (!IsKnownType(type)) {
        return 0;
    }
    return ReadWordFromMemoryData(GetAppMemoryAddrFromType(type), startWord, wordCount, out);
}

int CAppAreaMemmory::ReadBitsFromAppMempry(AppAreaMemType type, int startWord, int startBit,
                                           int bitCount, std::string& out)
{
    out.clear();
    if (!IsKnownType(type)) {
        return 0;
    }
    return ReadBits(GetAppMemoryAddrFromType(type), GetAppMemorySizeFromType(type), startWord,
                    startBit, bitCount, out);
}

int CAppAreaMemmory::ReadBitsIntoBuffer(AppAreaMemType type, int startWord, int startBit,
                                        int bitCount, char* out)
{
    if (!IsKnownType(type)) {
        return -1;
    }
    return ReadBits(GetAppMemoryAddrFromType(type), GetAppMemorySizeFromType(type), startWord,
                    startBit, bitCount, out);
}

int CAppAreaMemmory::WriteWordToAppMemory(AppAreaMemType type, int startWord, int wordCount,
                                          char* data)
{
    if (!IsKnownType(type)) {
        return 0;
    }
    return WriteWordToMemoryData(GetAppMemoryAddrFromType(type), startWord, wordCount, data);
}

int CAppAreaMemmory::WriteBitsToAppMemory(AppAreaMemType type, int startWord, int startBit,
                                          int bitCount, char* data)
{
    if (!IsKnownType(type)) {
        return 0;
    }
    return WriteBits(GetAppMemoryAddrFromType(type), GetAppMemorySizeFromType(type), startWord,
                     startBit, bitCount, data);
}

int CAppAreaMemmory::ReadWordFromMemoryData(char* mem, int startWord, int wordCount,
                                            std::string& out)
{
    if (mem == nullptr || startWord < 0 || wordCount < 0) {
        return -1;
    }
    out.assign(mem + static_cast<size_t>(startWord) * kWordBytes,
               static_cast<size_t>(wordCount) * kWordBytes);
    return 0;
}

int CAppAreaMemmory::ReadBitsFromMemoryData(char* mem, int startWord, int startBit, int bitCount,
                                            std::string& out)
{
    return ReadBits(mem, kNoLimit, startWord, startBit, bitCount, out);
}

int CAppAreaMemmory::WriteWordToMemoryData(char* mem, int startWord, int wordCount, char* data)
{
    if (mem == nullptr || data == nullptr || startWord < 0 || wordCount < 0) {
        return -1;
    }
    std::memcpy(mem + static_cast<size_t>(startWord) * kWordBytes, data,
                static_cast<size_t>(wordCount) * kWordBytes);
    return 0;
}

int CAppAreaMemmory::WriteBitToMemoryData(char* mem, int startWord, int startBit, int bitCount,
                                          char* data)
{
    return WriteBits(mem, kNoLimit, startWord, startBit, bitCount, data);
}
