// Address syntax of the fins client and the FINS area codes it sends.
#include "tools/fins/Address.h"

#include <cctype>
#include <cstdlib>

namespace {

constexpr uint32_t kMaxWord = 65535;
constexpr uint32_t kMaxTimerNumber = 4095; // timers 0x0000-0x0FFF, counters 0x8000-0x8FFF
constexpr uint32_t kBitsPerWord = 16;
constexpr uint16_t kCounterWireBase = 0x8000;
constexpr uint8_t kMaxEmBank = 12; // E0..EC
constexpr uint8_t kEmBitBase = 0x20;
constexpr uint8_t kEmWordBase = 0xA0;
constexpr size_t kEmPrefix = 3; // "E", the bank digit, "_"

enum class Shape : uint8_t
{
    WordsAndBits,  // N and N.B
    WordsOnly,     // present values: N
    OneBitPerItem, // completion flags: N, one 0/1 element each
};

struct AreaForm
{
    const char* prefix;
    FinsArea area;
    Shape shape;
    uint8_t wordCode;
    uint8_t bitCode;
    uint16_t wireBase;
    uint32_t maxNumber;
};

// The first form of an area is the one the client prints. CIO and DM keep the codes 0x30/0xB0 and
// 0x02/0x82 every server of ours has taken; the others are the codes controllers use.
const AreaForm kForms[] = {
    {"CIO", FinsArea::Cio, Shape::WordsAndBits, 0xB0, 0x30, 0, kMaxWord},
    {"W", FinsArea::Work, Shape::WordsAndBits, 0xB1, 0x31, 0, kMaxWord},
    {"H", FinsArea::Holding, Shape::WordsAndBits, 0xB2, 0x32, 0, kMaxWord},
    {"A", FinsArea::Auxiliary, Shape::WordsAndBits, 0xB3, 0x33, 0, kMaxWord},
    {"D", FinsArea::Dm, Shape::WordsAndBits, 0x82, 0x02, 0, kMaxWord},
    {"DM", FinsArea::Dm, Shape::WordsAndBits, 0x82, 0x02, 0, kMaxWord},
    {"T", FinsArea::Timer, Shape::WordsOnly, 0x89, 0x09, 0, kMaxTimerNumber},
    {"C", FinsArea::Counter, Shape::WordsOnly, 0x89, 0x09, kCounterWireBase, kMaxTimerNumber},
    {"TF", FinsArea::TimerFlag, Shape::OneBitPerItem, 0x09, 0x09, 0, kMaxTimerNumber},
    {"CF", FinsArea::CounterFlag, Shape::OneBitPerItem, 0x09, 0x09, kCounterWireBase,
     kMaxTimerNumber},
};

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

const AreaForm* FormOf(FinsArea area)
{
    for (const AreaForm& form : kForms) {
        if (form.area == area) {
            return &form;
        }
    }
    return nullptr; // EM: no row
}

// "N" or, where the shape has bits, "N.B", after the area's prefix.
bool ParseNumberPart(const std::string& rest, Shape shape, uint32_t max, FinsAddress* out)
{
    size_t dot = rest.find('.');
    uint32_t word = 0;
    uint32_t bitNo = 0;
    if (!ParseDecimal(rest.substr(0, dot), max, &word)) {
        return false;
    }
    if (dot != std::string::npos &&
        (shape != Shape::WordsAndBits ||
         !ParseDecimal(rest.substr(dot + 1), kBitsPerWord - 1, &bitNo))) {
        return false;
    }
    out->word = static_cast<uint16_t>(word);
    out->bitNo = static_cast<uint8_t>(bitNo);
    out->bit = dot != std::string::npos || shape == Shape::OneBitPerItem;
    return true;
}

// E0_100, EC_5.3: the bank is one hexadecimal digit.
bool ParseEm(const std::string& s, FinsAddress* out)
{
    if (s.size() <= kEmPrefix || s[0] != 'E' || s[2] != '_' ||
        !isxdigit(static_cast<unsigned char>(s[1]))) {
        return false;
    }
    unsigned bank = static_cast<unsigned>(strtoul(s.substr(1, 1).c_str(), nullptr, 16));
    FinsAddress addr{FinsArea::Em, static_cast<uint8_t>(bank), false, 0, 0};
    if (bank > kMaxEmBank ||
        !ParseNumberPart(s.substr(kEmPrefix), Shape::WordsAndBits, kMaxWord, &addr)) {
        return false;
    }
    *out = addr;
    return true;
}

} // namespace

bool ParseFinsAddress(const std::string& text, FinsAddress* out)
{
    const std::string s = Upper(text);
    if (ParseEm(s, out)) {
        return true;
    }
    // Every prefix that fits is tried: C5 and CF5, D5 and DM5 share their first letters.
    for (const AreaForm& form : kForms) {
        const std::string prefix = form.prefix;
        FinsAddress addr{form.area, 0, false, 0, 0};
        if (s.compare(0, prefix.size(), prefix) == 0 &&
            ParseNumberPart(s.substr(prefix.size()), form.shape, form.maxNumber, &addr)) {
            *out = addr;
            return true;
        }
    }
    return false;
}

uint8_t FinsAreaCode(const FinsAddress& addr)
{
    if (addr.area == FinsArea::Em) {
        return static_cast<uint8_t>((addr.bit ? kEmBitBase : kEmWordBase) + addr.bank);
    }
    const AreaForm* form = FormOf(addr.area);
    return addr.bit ? form->bitCode : form->wordCode;
}

uint16_t FinsWireWord(const FinsAddress& addr)
{
    const AreaForm* form = FormOf(addr.area);
    return static_cast<uint16_t>((form != nullptr ? form->wireBase : 0) + addr.word);
}

std::string FormatFinsAddress(const FinsAddress& addr, uint32_t offset)
{
    const AreaForm* form = FormOf(addr.area);
    std::string text = form != nullptr ? form->prefix : "E";
    if (form == nullptr) {
        static const char kHex[] = "0123456789ABC";
        text += kHex[addr.bank];
        text += '_';
    }
    if (!addr.bit || (form != nullptr && form->shape == Shape::OneBitPerItem)) {
        return text + std::to_string(addr.word + offset);
    }
    uint32_t bitAddress = addr.word * kBitsPerWord + addr.bitNo + offset;
    return text + std::to_string(bitAddress / kBitsPerWord) + "." +
           std::to_string(bitAddress % kBitsPerWord);
}
