// Address syntax of the fins client.
#include "tools/fins/Address.h"

#include <cctype>
#include <cstdlib>

namespace {

constexpr uint32_t kMaxWord = 65535;
constexpr uint32_t kBitsPerWord = 16;
constexpr uint8_t kAreaDmWord = 0x82;
constexpr uint8_t kAreaDmBit = 0x02;
constexpr uint8_t kAreaCioWord = 0xB0;
constexpr uint8_t kAreaCioBit = 0x30;

// A decimal number of 1 to 5 digits, at most `max`.
bool ParseDecimal(const std::string& digits, uint32_t max, uint32_t* out)
{
    if (digits.empty() || digits.size() > 5) {
        return false;
    }
    for (char c : digits) {
        if (!isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    unsigned long v = strtoul(digits.c_str(), nullptr, 10);
    if (v > max) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string Upper(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

} // namespace

bool ParseFinsAddress(const std::string& text, FinsAddress* out)
{
    std::string s = Upper(text);
    size_t prefix = 0;
    if (s.rfind("CIO", 0) == 0) {
        prefix = 3;
    } else if (s.rfind("DM", 0) == 0) {
        prefix = 2;
    } else if (s.rfind("D", 0) == 0) {
        prefix = 1;
    } else {
        return false;
    }
    std::string rest = s.substr(prefix);
    size_t dot = rest.find('.');
    uint32_t word = 0;
    uint32_t bitNo = 0;
    if (!ParseDecimal(rest.substr(0, dot), kMaxWord, &word)) {
        return false;
    }
    if (dot != std::string::npos && !ParseDecimal(rest.substr(dot + 1), kBitsPerWord - 1, &bitNo)) {
        return false;
    }
    *out = FinsAddress{prefix != 3, dot != std::string::npos, static_cast<uint16_t>(word),
                       static_cast<uint8_t>(bitNo)};
    return true;
}

uint8_t FinsAreaCode(const FinsAddress& addr)
{
    if (addr.dm) {
        return addr.bit ? kAreaDmBit : kAreaDmWord;
    }
    return addr.bit ? kAreaCioBit : kAreaCioWord;
}

std::string FormatFinsAddress(const FinsAddress& addr, uint32_t offset)
{
    std::string text = addr.dm ? "D" : "CIO";
    if (!addr.bit) {
        return text + std::to_string(addr.word + offset);
    }
    uint32_t bitAddress = addr.word * kBitsPerWord + addr.bitNo + offset;
    return text + std::to_string(bitAddress / kBitsPerWord) + "." +
           std::to_string(bitAddress % kBitsPerWord);
}
