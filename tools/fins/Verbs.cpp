// The fins client's commands: argument checks, request parameters and the printing of answers.
#include "tools/fins/Verbs.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int64_t kMaxCount = 2000; // items of one read, the server's limit
constexpr int64_t kMaxFillCount = 65535;
constexpr int64_t kDefaultStringChars = 80; // the length of a STRING without one of its own
constexpr uint32_t kMaxWireWord = 0xFFFF;
constexpr size_t kWriteOverhead = 18; // FINS header, command code, area item and count
constexpr size_t kControllerData = 158;
constexpr size_t kTextField = 20;
constexpr size_t kDmWordsAt = 83; // area data (from byte 80), bytes 3-4
constexpr size_t kStatusData = 26;
constexpr size_t kClockData = 7;
constexpr uint8_t kStatusRunning = 0x01;

typedef std::vector<std::string> Args;

// The area item of an address `extra` words on: area code, word, bit.
void AppendItem(Bytes& out, const FinsAddress& addr, uint32_t extra = 0)
{
    out.push_back(FinsAreaCode(addr));
    AppendBe16(out, static_cast<uint16_t>(FinsWireWord(addr) + extra));
    out.push_back(addr.bitNo);
}

bool ParseAddress(const std::string& text, ValueType type, FinsAddress* out, std::string* error)
{
    if (!ParseFinsAddress(text, out)) {
        *error = "bad address " + text;
        return false;
    }
    if (out->bit && type != ValueType::Word) {
        *error = "--type takes word addresses, not " + text;
        return false;
    }
    return true;
}

bool ParseWordAddress(const std::string& text, FinsAddress* out, std::string* error)
{
    if (!ParseFinsAddress(text, out) || out->bit) {
        *error = "bad word address " + text;
        return false;
    }
    return true;
}

bool ParseCount(const std::string& text, int64_t max, int64_t* count, std::string* error)
{
    if (!ParseNumber(text, 1, max, count)) {
        *error = "bad COUNT " + text + " (1 to " + std::to_string(max) + ")";
        return false;
    }
    return true;
}

// Arguments beyond the `expected` ones are named, not read as something else.
bool NoExtra(const Args& args, size_t expected, std::string* error)
{
    if (args.size() > expected) {
        *error = "extra argument " + args[expected];
        return false;
    }
    return true;
}

// ADDRESS [COUNT]: COUNT values of the type (a string: COUNT characters) in one read (0101).
bool PlanSingleRead(const std::string& countText, FinsRequest* out, std::string* error)
{
    const bool text = out->type == ValueType::Str;
    const int64_t perValue = WordsPerValue(out->type);
    int64_t count = text ? kDefaultStringChars : 1;
    const int64_t max = text ? 2 * kMaxCount : kMaxCount / perValue;
    if (!countText.empty() && !ParseCount(countText, max, &count, error)) {
        return false;
    }
    out->command = kCmdRead;
    out->values = text ? 1 : static_cast<size_t>(count);
    out->words = text ? static_cast<size_t>(count + 1) / 2 : static_cast<size_t>(perValue);
    const FinsAddress& addr = out->addresses[0];
    AppendItem(out->params, addr);
    AppendBe16(out->params, static_cast<uint16_t>(addr.bit ? count : out->values * out->words));
    return true;
}

// ADDRESS ADDRESS...: one value each in one multiple read (0104), an item per word of a value.
bool PlanMultiRead(FinsRequest* out, std::string* error)
{
    if (out->type == ValueType::Str) {
        *error = "--type str reads one address at a time";
        return false;
    }
    out->command = kCmdMultiRead;
    out->values = 1;
    out->words = WordsPerValue(out->type);
    for (const FinsAddress& addr : out->addresses) {
        const size_t items = addr.bit ? 1 : out->words;
        if (FinsWireWord(addr) + items - 1 > kMaxWireWord) {
            *error = FormatFinsAddress(addr, 0) + " holds no whole value";
            return false;
        }
        for (size_t w = 0; w < items; ++w) {
            AppendItem(out->params, addr, static_cast<uint32_t>(w));
        }
    }
    return true;
}

bool PlanRead(const Args& args, FinsRequest* out, std::string* error)
{
    if (args.empty()) {
        *error = "read needs an ADDRESS";
        return false;
    }
    FinsAddress addr{};
    const bool withCount = args.size() >= 2 && !ParseFinsAddress(args[1], &addr);
    if (withCount && !NoExtra(args, 2, error)) {
        return false;
    }
    for (size_t i = 0; i < (withCount ? 1 : args.size()); ++i) {
        if (!ParseAddress(args[i], out->type, &addr, error)) {
            return false;
        }
        out->addresses.push_back(addr);
    }
    return out->addresses.size() == 1 ? PlanSingleRead(withCount ? args[1] : "", out, error)
                                      : PlanMultiRead(out, error);
}

// The write data of bits (one byte 0 or 1 each) or of words of the type, big-endian.
bool EncodeWriteData(const Args& args, bool bits, ValueType type, Bytes* data, size_t* count,
                     std::string* error)
{
    std::vector<uint16_t> words;
    for (size_t i = 1; i < args.size(); ++i) {
        int64_t v = 0;
        if (bits && !ParseNumber(args[i], 0, 1, &v)) {
            *error = "bad value " + args[i] + " (bits are 0 or 1)";
            return false;
        }
        if (bits) {
            data->push_back(static_cast<uint8_t>(v));
        } else if (!EncodeValue(type, args[i], words, error)) {
            return false;
        }
    }
    for (uint16_t w : words) {
        AppendBe16(*data, w);
    }
    *count = bits ? data->size() : words.size();
    return true;
}

bool PlanWrite(const Args& args, const FinsOptions& options, FinsRequest* out, std::string* error)
{
    FinsAddress addr{};
    if (args.size() < 2) {
        *error = "write needs an ADDRESS and values";
        return false;
    }
    if (!ParseAddress(args[0], options.type, &addr, error) ||
        (options.type == ValueType::Str && !NoExtra(args, 2, error))) {
        return false;
    }
    Bytes data;
    size_t count = 0;
    if (!EncodeWriteData(args, addr.bit, options.type, &data, &count, error)) {
        return false;
    }
    const size_t room = std::min<size_t>(options.maxFrame - kWriteOverhead, kMaxWireWord);
    if (data.size() > room) {
        *error = "a write takes at most " + std::to_string(addr.bit ? room : room / 2) +
                 (addr.bit ? " bits" : " words") + " here, not " + std::to_string(count);
        return false;
    }
    out->command = kCmdWrite;
    out->addresses.push_back(addr);
    AppendItem(out->params, addr);
    AppendBe16(out->params, static_cast<uint16_t>(count));
    out->params.insert(out->params.end(), data.begin(), data.end());
    return true;
}

bool PlanFill(const Args& args, ValueType type, FinsRequest* out, std::string* error)
{
    FinsAddress addr{};
    int64_t count = 0;
    std::vector<uint16_t> value;
    if (args.size() < 3) {
        *error = "fill takes ADDRESS COUNT VALUE";
        return false;
    }
    if (WordsPerValue(type) != 1) {
        *error = "fill writes one word value: --type u16 or i16";
        return false;
    }
    if (!NoExtra(args, 3, error) || !ParseWordAddress(args[0], &addr, error) ||
        !ParseCount(args[1], kMaxFillCount, &count, error) ||
        !EncodeValue(type, args[2], value, error)) {
        return false;
    }
    out->command = kCmdFill;
    out->addresses.push_back(addr);
    AppendItem(out->params, addr);
    AppendBe16(out->params, static_cast<uint16_t>(count));
    AppendBe16(out->params, value[0]);
    return true;
}

bool PlanCopy(const Args& args, FinsRequest* out, std::string* error)
{
    FinsAddress from{};
    FinsAddress to{};
    int64_t count = 0;
    if (args.size() < 3) {
        *error = "copy takes FROM TO COUNT";
        return false;
    }
    if (!NoExtra(args, 3, error) || !ParseWordAddress(args[0], &from, error) ||
        !ParseWordAddress(args[1], &to, error) || !ParseCount(args[2], kMaxCount, &count, error)) {
        return false;
    }
    out->command = kCmdTransfer;
    out->addresses = {from, to};
    AppendItem(out->params, from);
    AppendItem(out->params, to);
    AppendBe16(out->params, static_cast<uint16_t>(count));
    return true;
}

std::vector<uint16_t> WordsAt(const Bytes& data, size_t at, size_t count)
{
    std::vector<uint16_t> words(count);
    for (size_t i = 0; i < count; ++i) {
        words[i] = ReadBe16(&data[at + 2 * i]);
    }
    return words;
}

bool DecodeSingleRead(const FinsRequest& request, const Bytes& data, std::vector<ValueLine>* lines,
                      std::string* error)
{
    const FinsAddress& addr = request.addresses[0];
    const size_t perValue = addr.bit ? 1 : request.words;
    if (data.size() != (addr.bit ? request.values : 2 * request.values * perValue)) {
        *error = "the response holds " + std::to_string(data.size()) + " data bytes";
        return false;
    }
    for (size_t k = 0; k < request.values; ++k) {
        std::string value =
            addr.bit ? std::to_string(data[k] & 1u)
                     : DecodeValue(request.type, WordsAt(data, 2 * k * perValue, perValue).data(),
                                   perValue);
        lines->push_back({FormatFinsAddress(addr, static_cast<uint32_t>(k * perValue)), value});
    }
    return true;
}

// Per item its area code, then 2 bytes (word) or 1 (bit).
bool DecodeMultiRead(const FinsRequest& request, const Bytes& data, std::vector<ValueLine>* lines,
                     std::string* error)
{
    size_t at = 0;
    for (const FinsAddress& addr : request.addresses) {
        const size_t size = addr.bit ? 1 : 2;
        const size_t items = addr.bit ? 1 : request.words;
        Bytes values;
        for (size_t i = 0; i < items; ++i, at += 1 + size) {
            if (at + 1 + size > data.size() || data[at] != FinsAreaCode(addr)) {
                *error = "the response does not match the addresses asked for";
                return false;
            }
            values.insert(values.end(), data.begin() + static_cast<long>(at + 1),
                          data.begin() + static_cast<long>(at + 1 + size));
        }
        std::string value =
            addr.bit ? std::to_string(values[0] & 1u)
                     : DecodeValue(request.type, WordsAt(values, 0, items).data(), items);
        lines->push_back({FormatFinsAddress(addr, 0), value});
    }
    if (at != data.size()) {
        *error = "the response holds more than the addresses asked for";
        return false;
    }
    return true;
}

std::string Trimmed(const Bytes& data, size_t from, size_t len)
{
    std::string text(data.begin() + static_cast<long>(from),
                     data.begin() + static_cast<long>(from + len));
    size_t end = text.find_last_not_of(" \0", std::string::npos, 2);
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

bool CheckSize(const Bytes& data, size_t size, std::string* error)
{
    if (data.size() != size) {
        *error = "the response holds " + std::to_string(data.size()) + " data bytes, not " +
                 std::to_string(size);
        return false;
    }
    return true;
}

void PrintInfo(const Bytes& data)
{
    printf("model: %s\n", Trimmed(data, 0, kTextField).c_str());
    printf("version: %s\n", Trimmed(data, kTextField, kTextField).c_str());
    printf("DM words: %u\n", ReadBe16(&data[kDmWordsAt]));
}

const char* ModeName(uint8_t mode)
{
    switch (mode) {
    case 0x00:
        return "PROGRAM";
    case 0x01:
        return "DEBUG";
    case 0x02:
        return "MONITOR";
    case 0x04:
        return "RUN";
    default:
        return "unknown";
    }
}

void PrintStatus(const Bytes& data)
{
    printf("status: %s\n", (data[0] & kStatusRunning) != 0 ? "running" : "stopped");
    printf("mode: %s\n", ModeName(data[1]));
    uint16_t fatal = ReadBe16(&data[2]);
    uint16_t nonFatal = ReadBe16(&data[4]);
    if (fatal == 0 && nonFatal == 0) {
        printf("errors: none\n");
    } else {
        printf("errors: fatal 0x%04X, non-fatal 0x%04X, code 0x%04X\n", fatal, nonFatal,
               ReadBe16(&data[8]));
    }
}

int FromBcd(uint8_t b)
{
    return (b >> 4) * 10 + (b & 0x0F);
}

void PrintClock(const Bytes& data)
{
    static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                        "Thursday", "Friday", "Saturday"};
    printf("20%02d-%02d-%02d %02d:%02d:%02d %s\n", FromBcd(data[0]), FromBcd(data[1]),
           FromBcd(data[2]), FromBcd(data[3]), FromBcd(data[4]), FromBcd(data[5]),
           data[6] < 7 ? kDays[data[6]] : "(unknown day)");
}

} // namespace

bool IsFinsVerb(const std::string& verb)
{
    for (const char* name : {"read", "write", "fill", "copy", "info", "status", "clock"}) {
        if (verb == name) {
            return true;
        }
    }
    return false;
}

bool PlanRequest(const std::string& verb, const Args& args, const FinsOptions& options,
                 FinsRequest* out, std::string* error)
{
    *out = FinsRequest{0, {}, {}, options.type, 0, 0};
    if (verb == "read") {
        return PlanRead(args, out, error);
    }
    if (verb == "write") {
        return PlanWrite(args, options, out, error);
    }
    if (verb == "fill") {
        return PlanFill(args, options.type, out, error);
    }
    if (options.type != ValueType::Word) {
        *error = "--type goes with read, write and fill";
        return false;
    }
    if (verb == "copy") {
        return PlanCopy(args, out, error);
    }
    if (!NoExtra(args, 0, error)) {
        return false;
    }
    out->command = verb == "info" ? kCmdControllerData : verb == "status" ? kCmdStatus : kCmdClock;
    return true;
}

bool DecodeRead(const FinsRequest& request, const Bytes& data, std::vector<ValueLine>* lines,
                std::string* error)
{
    lines->clear();
    return request.command == kCmdRead ? DecodeSingleRead(request, data, lines, error)
                                       : DecodeMultiRead(request, data, lines, error);
}

bool PrintResponse(const std::string& verb, const FinsRequest& request, const Bytes& data,
                   std::string* error)
{
    std::vector<ValueLine> lines;
    switch (request.command) {
    case kCmdRead:
    case kCmdMultiRead:
        if (!DecodeRead(request, data, &lines, error)) {
            return false;
        }
        for (const ValueLine& line : lines) {
            printf("%s = %s\n", line.address.c_str(), line.value.c_str());
        }
        return true;
    case kCmdWrite:
        printf("wrote %u %s at %s\n", ReadBe16(&request.params[4]),
               request.addresses[0].bit ? "bit(s)" : "word(s)",
               FormatFinsAddress(request.addresses[0], 0).c_str());
        return true;
    case kCmdFill: {
        const uint16_t value = ReadBe16(&request.params[6]);
        printf("filled %u word(s) at %s with %s\n", ReadBe16(&request.params[4]),
               FormatFinsAddress(request.addresses[0], 0).c_str(),
               DecodeValue(request.type, &value, 1).c_str());
        return true;
    }
    case kCmdTransfer:
        printf("copied %u word(s) from %s to %s\n", ReadBe16(&request.params[8]),
               FormatFinsAddress(request.addresses[0], 0).c_str(),
               FormatFinsAddress(request.addresses[1], 0).c_str());
        return true;
    default:
        break;
    }
    size_t size = verb == "info" ? kControllerData : verb == "status" ? kStatusData : kClockData;
    if (!CheckSize(data, size, error)) {
        return false;
    }
    (verb == "info" ? PrintInfo : verb == "status" ? PrintStatus : PrintClock)(data);
    return true;
}
