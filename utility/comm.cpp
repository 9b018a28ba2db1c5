// Common helpers. Only GetProcessName keeps state (its cache); everything else works on its
// arguments, the clock or the file system. AnsiToUtf8 reports through the logging adapter.
#include "utility/comm.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <iconv.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "base/SysErrText.h"
#include "base/kellog.h"
#include "utility/md5.h"

namespace {

constexpr const char* kExeLink = "/proc/self/exe";
constexpr const char* kTimeFormat = "%04d-%02d-%02d %02d:%02d:%02d.%03d";
constexpr int kTimeTextSize = 64;
constexpr int kNsPerMs = 1000000;
constexpr int kMsPerSecond = 1000;
constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerSecond = 1000000000;
constexpr mode_t kGeneralFileMode = 0600;
constexpr mode_t kDirMode = 0755;
constexpr uint32_t kSsrcMask = 0x7FFFFFFF;
constexpr int kUtf8BytesPerChar = 4;
constexpr const char* kHexDigits = "0123456789abcdef";
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Offsets in a build-date text "Mmm dd yyyy".
constexpr size_t kDayOffset = 4;
constexpr size_t kYearOffset = 7;

constexpr const char* kIconvOpenFail = "iconv_open fail,%s";
constexpr const char* kMallocFail = "malloc size:%d fail,%s";
constexpr const char* kIconvFail = "iconv:%s";

// Reads /proc/self/exe into `buf` (zero-filled, NUL-terminated); false when the link cannot be
// read or does not fit with its terminator.
bool ReadExeLink(char (&buf)[CComm::kPathBufferSize])
{
    std::memset(buf, 0, sizeof buf);
    ssize_t n = readlink(kExeLink, buf, sizeof buf);
    if (n < 0 || n >= static_cast<ssize_t>(sizeof buf)) {
        std::memset(buf, 0, sizeof buf);
        return false;
    }
    return true;
}

std::string FormatLocalTime(time_t seconds, int millis)
{
    struct tm parts;
    localtime_r(&seconds, &parts);
    char text[kTimeTextSize];
    std::snprintf(text, sizeof text, kTimeFormat, parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
    return text;
}

int64_t SystemNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Runs one iconv conversion of len bytes into out (outSize bytes offered); the converted bytes,
// or false with errno set.
bool ConvertAscii(iconv_t cd, const char* text, size_t len, char* out, size_t outSize,
                  std::string* result)
{
    char* in = const_cast<char*>(text); // iconv's interface is not const-correct
    char* outPos = out;
    size_t inLeft = len;
    size_t outLeft = outSize;
    if (iconv(cd, &in, &inLeft, &outPos, &outLeft) == static_cast<size_t>(-1)) {
        return false;
    }
    result->assign(out, static_cast<size_t>(outPos - out));
    return true;
}

} // namespace

// ---- CComm ---------------------------------------------------------------------------------

std::string CComm::GetProcessPath()
{
    char buf[kPathBufferSize];
    return ReadExeLink(buf) ? std::string(buf) : std::string();
}

int CComm::Sleep(int ms)
{
    if (ms < 1) {
        return 0;
    }
    struct timespec wait = {ms / kMsPerSecond, static_cast<long>(ms % kMsPerSecond) * kNsPerMs};
    struct timespec left = {0, 0};
    while (nanosleep(&wait, &left) == -1 && errno == EINTR) {
        wait = left;
    }
    return 0;
}

std::string CComm::GetCurrentTimeMs()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return FormatLocalTime(now.tv_sec, static_cast<int>(now.tv_usec / 1000));
}

std::string CComm::GetMd5(unsigned char* data, int len)
{
    MD5 md5;
    md5.GenerateMD5(data, len);
    return md5.ToString();
}

std::string CComm::GetMd5(std::string& text)
{
    return GetMd5(reinterpret_cast<unsigned char*>(text.data()), static_cast<int>(text.size()));
}

std::string CComm::GetFileMd5(const char* path)
{
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        return std::string();
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    file.close();
    std::string bytes = contents.str();
    return GetMd5(bytes);
}

std::string CComm::GetCompileTime()
{
    unsigned int year = 0;
    unsigned char month = 0;
    unsigned char day = 0;
    GetCompileDate(&year, &month, &day);
    char text[kTimeTextSize];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %s", static_cast<int>(year), month, day,
                  __TIME__);
    return text;
}

std::string CComm::BitDumpBuf(char c)
{
    std::string bits;
    auto byte = static_cast<unsigned char>(c);
    for (int bit = 7; bit >= 0; --bit) {
        bits += (byte >> bit) & 1 ? '1' : '0';
        if (bit % 4 == 0) {
            bits += ' ';
        }
    }
    return bits;
}

std::string CComm::HexDumpBuf(const char* buf, int len)
{
    std::string text;
    if (buf == nullptr || len <= 0) {
        return text;
    }
    text.reserve(static_cast<size_t>(len) * 5);
    for (int i = 0; i < len; ++i) {
        auto byte = static_cast<unsigned char>(buf[i]);
        if (i > 0) {
            text += ' ';
        }
        text += "0x";
        text += kHexDigits[byte >> 4];
        text += kHexDigits[byte & 0x0f];
    }
    return text;
}

std::string CComm::HexDumpBuf(float value)
{
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    return HexDumpBuf(bytes, sizeof bytes);
}

std::string CComm::HexDumpBuf(short value)
{
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    return HexDumpBuf(bytes, sizeof bytes);
}

char* CComm::GetProcessName()
{
    static char s_name[kPathBufferSize] = {0};
    if (s_name[0] != '\0') {
        return s_name;
    }
    char path[kPathBufferSize];
    (void)ReadExeLink(path); // a failed read leaves it empty, which splits into nothing useful
    std::vector<std::string> parts = CStringHelper::StriSplit(path, "/");
    if (parts.empty()) {
        return s_name;
    }
    std::vector<std::string> pieces = CStringHelper::StriSplit(parts.back(), ".");
    if (!pieces.empty()) {
        // Leaves room for the terminator, which the zero-filled cache already holds.
        std::strncpy(s_name, pieces.front().c_str(), sizeof s_name - 1);
    }
    return s_name;
}

// ---- CStringHelper -------------------------------------------------------------------------

std::string CStringHelper::Strtrim(std::string s)
{
    const char* kTrimmed = " \r\n";
    size_t first = s.find_first_not_of(kTrimmed);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = s.find_last_not_of(kTrimmed);
    return s.substr(first, last - first + 1);
}

int CStringHelper::StriCmp(const char* a, const char* b)
{
    return strcasecmp(a, b);
}

std::vector<std::string> CStringHelper::StriSplit(std::string text, std::string separator)
{
    std::vector<std::string> parts;
    if (separator.empty()) {
        // An empty separator would match everywhere without advancing.
        parts.push_back(text);
        return parts;
    }
    // The appended separator terminates the last piece, so every search below succeeds.
    text += separator;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t found = text.find(separator, pos);
        if (found == std::string::npos) {
            ++pos;
            continue;
        }
        parts.push_back(text.substr(pos, found - pos));
        pos = found + separator.size();
    }
    return parts;
}

// ---- CCodingConv ---------------------------------------------------------------------------

std::string CCodingConv::AnsiToUtf8(const char* text, int len)
{
    std::string result;
    iconv_t cd = iconv_open("UTF-8", "ASCII");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        kelLogAddErrorF(kIconvOpenFail, SysErrText(errno).text);
        return result;
    }
    int size = 0;
    char* out = nullptr;
    // A length whose fourfold does not fit an int cannot be allocated; it fails like malloc.
    if (__builtin_mul_overflow(len, kUtf8BytesPerChar, &size) || size < 0) {
        errno = ENOMEM;
    } else {
        // malloc(0) may legally return null; one byte keeps an empty text convertible.
        out = static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
    }
    if (out == nullptr) {
        kelLogAddErrorF(kMallocFail, size, SysErrText(errno).text);
        iconv_close(cd);
        return result;
    }
    const char* input = text != nullptr ? text : "";
    size_t inLen = text != nullptr ? static_cast<size_t>(len) : 0;
    if (!ConvertAscii(cd, input, inLen, out, static_cast<size_t>(len), &result)) {
        kelLogAddErrorF(kIconvFail, SysErrText(errno).text);
    }
    std::free(out);
    iconv_close(cd);
    return result;
}

// ---- CFileHelper ---------------------------------------------------------------------------

bool CFileHelper::IsFileExist(const char* path)
{
    return access(path, F_OK) == 0;
}

bool CFileHelper::CreateGeneralFile(const char* path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, kGeneralFileMode);
    if (fd < 0) {
        return false;
    }
    (void)close(fd); // nothing was written, so a failed close loses nothing
    return true;
}

bool CFileHelper::CreateDir(const char* path)
{
    return mkdir(path, kDirMode) == 0;
}

// ---- CTimestamp / CTimeValue ---------------------------------------------------------------

CTimestamp::CTimestamp() : m_startNs(SystemNowNs()) {}

void CTimestamp::update()
{
    m_startNs = SystemNowNs();
}

int64_t CTimestamp::getElapsedTimeInMicroSec()
{
    return (SystemNowNs() - m_startNs) / kNsPerUs;
}

double CTimestamp::getElapsedTimeInMilliSec()
{
    return static_cast<double>(getElapsedTimeInMicroSec()) * 0.001;
}

double CTimestamp::getElapsedSecond()
{
    return static_cast<double>(getElapsedTimeInMicroSec()) * 0.000001;
}

CTimeValue::CTimeValue() : m_ns(SystemNowNs()) {}

CTimeValue::CTimeValue(long seconds) : m_ns(static_cast<int64_t>(seconds) * kNsPerSecond) {}

void CTimeValue::update()
{
    m_ns = SystemNowNs();
}

int64_t CTimeValue::getTimeMillisec()
{
    return m_ns / kNsPerMs;
}

int64_t CTimeValue::getTimeInMicroSec()
{
    return m_ns / kNsPerUs;
}

int64_t CTimeValue::to_timet()
{
    return m_ns / kNsPerSecond;
}

std::string CTimeValue::to_string()
{
    return FormatLocalTime(static_cast<time_t>(to_timet()),
                           static_cast<int>(getTimeMillisec() % kMsPerSecond));
}

// ---- free helpers --------------------------------------------------------------------------

unsigned int utils_htonl(unsigned int value)
{
    return __builtin_bswap32(value);
}

unsigned int utils_ntohl(unsigned int value)
{
    return __builtin_bswap32(value);
}

unsigned short utils_htons(unsigned short value)
{
    return __builtin_bswap16(value);
}

unsigned short utils_ntohs(unsigned short value)
{
    return __builtin_bswap16(value);
}

uint32_t utils_generateSSRC()
{
    std::random_device device("default");
    std::mt19937 engine(device());
    std::uniform_int_distribution<unsigned int> draw;
    return draw(engine) & kSsrcMask;
}

void ParseCompileDate(const char* date, unsigned int* year, unsigned char* month,
                      unsigned char* day)
{
    size_t len = std::strlen(date);
    for (unsigned char i = 0; i < 12; ++i) {
        if (len >= 3 && std::strncmp(date, kMonths[i], 3) == 0) {
            *month = static_cast<unsigned char>(i + 1);
            break;
        }
    }
    if (len > kDayOffset) {
        *day = static_cast<unsigned char>(std::strtol(date + kDayOffset, nullptr, 10));
    }
    if (len > kYearOffset) {
        *year = static_cast<unsigned int>(std::strtol(date + kYearOffset, nullptr, 10));
    }
}

void GetCompileDate(unsigned int* year, unsigned char* month, unsigned char* day)
{
    ParseCompileDate(__DATE__, year, month, day);
}
