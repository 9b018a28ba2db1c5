// Where the running application's input (I), output (Q) and memory (M) segments lie, and word and
// bit access to them. The segments belong to the runtime; this class only reads and writes through
// the addresses the runtime reported. Loaded on the runtime's event thread while the server is
// stopped; used on the event loop's reader thread. No lock: that sequencing keeps the fields safe.
#pragma once

#include <cstdint>
#include <string>

enum AppAreaMemType
{
    APP_AREA_I = 0,
    APP_AREA_Q = 1,
    APP_AREA_M = 2,
};

// The class name's spelling (two m's) is the system's own and is kept as it is.
class CAppAreaMemmory
{
public:
    CAppAreaMemmory();
    ~CAppAreaMemmory();

    void ClearAppMemory();
    // Asks the runtime for the segments: 0 when an application was found, -1 when none.
    int LoadAppMemoryAddr();
    // True once LoadAppMemoryAddr found an application, until the next clear.
    bool HasApplication() const;
    char* GetAppMemoryAddrFromType(AppAreaMemType type);
    uint32_t GetAppMemorySizeFromType(AppAreaMemType type);
    // (Spelling kept.) True when (startAddr + nWordNum) * 2 < totalSize; otherwise logs.
    bool IsVaildAddr(int startAddr, int nWordNum, unsigned int totalSize);

    // No access checks bounds: the caller has checked the range against the segment size.
    // -1 for an absent segment (null pointer), 0 otherwise.
    int ReadWordFromAppMemory(AppAreaMemType type, int startWord, int wordCount, std::string& out);
    // (Spelling kept.)
    int ReadBitsFromAppMempry(AppAreaMemType type, int startWord, int startBit, int bitCount,
                              std::string& out);
    // The bit read straight into `out`, which has room for bitCount bytes (a response under
    // construction): -1 for an unknown type or an absent segment, 0 otherwise.
    int ReadBitsIntoBuffer(AppAreaMemType type, int startWord, int startBit, int bitCount,
                           char* out);
    int WriteWordToAppMemory(AppAreaMemType type, int startWord, int wordCount, char* data);
    int WriteBitsToAppMemory(AppAreaMemType type, int startWord, int startBit, int bitCount,
                             char* data);

    int ReadWordFromMemoryData(char* mem, int startWord, int wordCount, std::string& out);
    int ReadBitsFromMemoryData(char* mem, int startWord, int startBit, int bitCount,
                               std::string& out);
    int WriteWordToMemoryData(char* mem, int startWord, int wordCount, char* data);
    int WriteBitToMemoryData(char* mem, int startWord, int startBit, int bitCount, char* data);

private:
    char* m_pM;
    char* m_pQ;
    char* m_pI;
    uint32_t m_iMSize;
    uint32_t m_iQSize;
    uint32_t m_iISize;
    bool m_bApp = false; // an application was found by the last load
};
