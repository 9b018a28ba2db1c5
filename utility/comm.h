// Small independent helpers of the utility library: process and build facts, sleeping, wall-clock
// time, dumps, MD5 of memory and files, string helpers, ASCII to UTF-8, file creation, byte-order
// swaps and random 31-bit identifiers. All may be called from any thread unless a note says not.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Export.h"

class DRVFINS_API CComm
{
public:
    static constexpr int kPathBufferSize = 1024;

    // Target of /proc/self/exe; empty when the link cannot be read or is 1024 bytes or longer.
    static std::string GetProcessPath();
    // Sleeps ms milliseconds, resuming after signals; returns 0 at once for ms < 1. Always 0.
    static int Sleep(int ms);
    // Local time as "YYYY-MM-DD hh:mm:ss.mmm".
    static std::string GetCurrentTimeMs();
    // MD5 digest as 32 lowercase hex characters.
    static std::string GetMd5(unsigned char* data, int len);
    static std::string GetMd5(std::string& text);
    // MD5 of a whole file; empty when the file cannot be opened.
    static std::string GetFileMd5(const char* path);
    // The library's build moment, "YYYY-MM-DD hh:mm:ss".
    static std::string GetCompileTime();
    // The 8 bits of c, most significant first, a blank after each group of four: "1010 0101 ".
    static std::string BitDumpBuf(char c);
    // "0x01 0xab": each byte as 0x and two lowercase hex digits, blank-separated.
    static std::string HexDumpBuf(const char* buf, int len);
    static std::string HexDumpBuf(float value);
    static std::string HexDumpBuf(short value);
    // The executable's file name up to its first full stop, cached after the first success. Fills
    // its cache without a lock: callers on several threads must serialise the first call.
    static char* GetProcessName();
};

class DRVFINS_API CStringHelper
{
public:
    // Removes leading and trailing blanks, CR and LF (tabs stay).
    static std::string Strtrim(std::string s);
    // Case-insensitive comparison as strcasecmp.
    static int StriCmp(const char* a, const char* b);
    // Splits at every occurrence of separator: "a,,b" gives a, "", b; "" gives one empty element.
    // An empty separator gives the text as its one element.
    static std::vector<std::string> StriSplit(std::string text, std::string separator);
};

class DRVFINS_API CCodingConv
{
public:
    CCodingConv() {}
    ~CCodingConv() {}
    // Converts len ASCII bytes to UTF-8. Any failure (a byte above 0x7F, iconv or memory) is
    // logged through kelLogAddErrorF and gives the empty string.
    static std::string AnsiToUtf8(const char* text, int len);
};

class DRVFINS_API CFileHelper
{
public:
    CFileHelper() {}
    ~CFileHelper() {}
    static bool IsFileExist(const char* path);
    // Creates or truncates a file with mode 0600.
    static bool CreateGeneralFile(const char* path);
    // mkdir with mode 0755; parents are not created and an existing directory gives false.
    static bool CreateDir(const char* path);
};

// A stopwatch on the system (wall) clock, so setting the clock moves its readings.
class DRVFINS_API CTimestamp
{
public:
    CTimestamp();
    void update();
    int64_t getElapsedTimeInMicroSec();
    double getElapsedTimeInMilliSec();
    double getElapsedSecond();

private:
    int64_t m_startNs; // system clock, nanoseconds since the epoch
};

// A point of the system clock in nanoseconds since the Unix epoch.
class DRVFINS_API CTimeValue
{
public:
    CTimeValue();
    explicit CTimeValue(long seconds);
    void update();
    int64_t getTimeMillisec();
    int64_t getTimeInMicroSec();
    int64_t to_timet();
    // Local time as "YYYY-MM-DD hh:mm:ss.mmm".
    std::string to_string();

private:
    int64_t m_ns;
};

// Unconditional byte swaps: between host and network order on the little-endian target.
DRVFINS_API unsigned int utils_htonl(unsigned int value);
DRVFINS_API unsigned int utils_ntohl(unsigned int value);
DRVFINS_API unsigned short utils_htons(unsigned short value);
DRVFINS_API unsigned short utils_ntohs(unsigned short value);

// A fresh random value in 0 to 2147483647.
DRVFINS_API uint32_t utils_generateSSRC();

// The library's build date. month is left alone when the month name is not recognised.
DRVFINS_API void GetCompileDate(unsigned int* year, unsigned char* month, unsigned char* day);

// Parses a build-date text of the form "Mmm dd yyyy" (day padded with a blank) as GetCompileDate
// does for the library's own date; not exported, for the unit's tests.
void ParseCompileDate(const char* date, unsigned int* year, unsigned char* month,
                      unsigned char* day);
