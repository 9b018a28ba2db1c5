// Number syntax and value types of the fins client.
#include "tools/fins/Value.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr unsigned kBitsPerWord = 16;
constexpr uint16_t kLowByte = 0xFF;
constexpr int kMaxRealDigits = 17; // enough for every double to read back unchanged
constexpr size_t kMaxDigits = 20;  // more than any 64-bit number needs

struct TypeRow
{
    const char* name;
    ValueType type;
    unsigned words;
    int64_t min; // whole-number types
    int64_t max;
};

const TypeRow kTypes[] = {
    {"word", ValueType::Word, 1, INT16_MIN, UINT16_MAX},
    {"u16", ValueType::U16, 1, 0, UINT16_MAX},
    {"i16", ValueType::I16, 1, INT16_MIN, INT16_MAX},
    {"u32", ValueType::U32, 2, 0, UINT32_MAX},
    {"i32", ValueType::I32, 2, INT32_MIN, INT32_MAX},
    {"f32", ValueType::F32, 2, 0, 0},
    {"f64", ValueType::F64, 4, 0, 0},
    {"str", ValueType::Str, 0, 0, 0},
};

const TypeRow& RowOf(ValueType type)
{
    for (const TypeRow& row : kTypes) {
        if (row.type == type) {
            return row;
        }
    }
    return kTypes[0];
}

void AppendBits(std::vector<uint16_t>& words, uint64_t bits, unsigned count)
{
    for (unsigned i = 0; i < count; ++i) {
        words.push_back(static_cast<uint16_t>(bits >> (kBitsPerWord * i)));
    }
}

uint64_t BitsOf(const uint16_t* words, unsigned count)
{
    uint64_t bits = 0;
    for (unsigned i = 0; i < count; ++i) {
        bits |= uint64_t{words[i]} << (kBitsPerWord * i);
    }
    return bits;
}

// A decimal real number (1.5, -2e3, inf, nan) that the type can hold.
bool ParseReal(const std::string& text, bool single, double* out)
{
    size_t at = text.find_first_not_of("+-");
    if (text.empty() || isspace(static_cast<unsigned char>(text[0])) ||
        (at != std::string::npos && text.compare(at, 2, "0x") == 0) ||
        (at != std::string::npos && text.compare(at, 2, "0X") == 0)) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    bool overflow = (errno == ERANGE && std::isinf(v)) ||
                    (single && std::isfinite(v) && std::fabs(v) > FLT_MAX);
    if (*end != '\0' || overflow) {
        return false;
    }
    *out = v;
    return true;
}

// The fewest digits that read back as the same value of the type.
std::string RealText(double v, bool single)
{
    char text[40];
    for (int digits = 1; digits <= kMaxRealDigits; ++digits) {
        snprintf(text, sizeof(text), "%.*g", digits, v);
        double back = strtod(text, nullptr);
        if (single ? static_cast<float>(back) == static_cast<float>(v) : back == v) {
            break;
        }
    }
    return text;
}

bool EncodeReal(ValueType type, const std::string& text, std::vector<uint16_t>& words)
{
    double v = 0;
    if (!ParseReal(text, type == ValueType::F32, &v)) {
        return false;
    }
    if (type == ValueType::F32) {
        float f = static_cast<float>(v);
        uint32_t bits = 0;
        memcpy(&bits, &f, sizeof(bits));
        AppendBits(words, bits, 2);
    } else {
        uint64_t bits = 0;
        memcpy(&bits, &v, sizeof(bits));
        AppendBits(words, bits, 4);
    }
    return true;
}

void EncodeString(const std::string& text, std::vector<uint16_t>& words)
{
    std::string bytes = text;
    bytes.resize(2 * StringWords(text.size()), '\0');
    for (size_t i = 0; i < bytes.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) |
                                              static_cast<uint8_t>(bytes[i + 1]) << 8));
    }
}

std::string DecodeString(const uint16_t* words, size_t count)
{
    std::string text = "\"";
    for (size_t i = 0; i < 2 * count; ++i) {
        auto c = static_cast<unsigned char>((words[i / 2] >> (i % 2 == 0 ? 0 : 8)) & kLowByte);
        if (c == '\0') {
            break;
        }
        if (c == '"' || c == '\\') {
            text += '\\';
        }
        if (c < ' ' || c > '~') {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\x%02X", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + "\"";
}

} // namespace

bool ParseValueType(const std::string& name, ValueType* out)
{
    for (const TypeRow& row : kTypes) {
        if (name == row.name && row.type != ValueType::Word) {
            *out = row.type;
            return true;
        }
    }
    return false;
}

unsigned WordsPerValue(ValueType type)
{
    return RowOf(type).words;
}

size_t StringWords(size_t chars)
{
    return chars / 2 + 1;
}

bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t* out)
{
    size_t at = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    const bool negative = at == 1 && text[0] == '-';
    const bool hex = text.compare(at, 2, "0x") == 0 || text.compare(at, 2, "0X") == 0;
    const std::string digits = text.substr(at + (hex ? 2 : 0));
    if (digits.empty() || digits.size() > kMaxDigits) {
        return false;
    }
    for (char c : digits) {
        if (!(hex ? isxdigit(static_cast<unsigned char>(c))
                  : isdigit(static_cast<unsigned char>(c)))) {
            return false;
        }
    }
    errno = 0;
    unsigned long long magnitude = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno != 0 || magnitude > static_cast<unsigned long long>(INT64_MAX)) {
        return false;
    }
    int64_t v = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool EncodeValue(ValueType type, const std::string& text, std::vector<uint16_t>& words,
                 std::string* error)
{
    const TypeRow& row = RowOf(type);
    if (type == ValueType::Str) {
        EncodeString(text, words);
        return true;
    }
    if (type == ValueType::F32 || type == ValueType::F64) {
        if (!EncodeReal(type, text, words)) {
            *error = "bad value " + text + " (" + row.name + ": a decimal number)";
            return false;
        }
        return true;
    }
    int64_t v = 0;
    if (!ParseNumber(text, row.min, row.max, &v)) {
        *error = "bad value " + text + " (" + (type == ValueType::Word ? "words" : row.name) +
                 ": " + std::to_string(row.min) + " to " + std::to_string(row.max) + ")";
        return false;
    }
    AppendBits(words, static_cast<uint64_t>(v), row.words);
    return true;
}

std::string DecodeValue(ValueType type, const uint16_t* words, size_t count)
{
    if (type == ValueType::Str) {
        return DecodeString(words, count);
    }
    const uint64_t bits = BitsOf(words, RowOf(type).words);
    char text[64];
    switch (type) {
    case ValueType::I16:
        snprintf(text, sizeof(text), "%d (0x%04X)", static_cast<int16_t>(bits),
                 static_cast<unsigned>(bits));
        return text;
    case ValueType::U32:
        snprintf(text, sizeof(text), "%u (0x%08X)", static_cast<unsigned>(bits),
                 static_cast<unsigned>(bits));
        return text;
    case ValueType::I32:
        snprintf(text, sizeof(text), "%d (0x%08X)", static_cast<int32_t>(bits),
                 static_cast<unsigned>(bits));
        return text;
    case ValueType::F32: {
        float f = 0;
        uint32_t single = static_cast<uint32_t>(bits);
        memcpy(&f, &single, sizeof(f));
        return RealText(f, true);
    }
    case ValueType::F64: {
        double d = 0;
        memcpy(&d, &bits, sizeof(d));
        return RealText(d, false);
    }
    default:
        snprintf(text, sizeof(text), "%u (0x%04X)", static_cast<unsigned>(bits),
                 static_cast<unsigned>(bits));
        return text;
    }
}
