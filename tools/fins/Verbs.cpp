// The fins client's commands: argument checks, request parameters and the printing of answers.
#include "tools/fins/Verbs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tools/fins/Address.h"

namespace {

constexpr long kMaxCount = 2000;
constexpr long kMaxWriteValues = 65535;
constexpr long kMinWordValue = -32768;
constexpr long kMaxWordValue = 65535;
constexpr size_t kControllerData = 158;
constexpr size_t kTextField = 20;
constexpr size_t kDmWordsAt = 83; // area data (from byte 80), bytes 3-4
constexpr size_t kStatusData = 26;
constexpr size_t kClockData = 7;
constexpr uint8_t kStatusRunning = 0x01;

typedef std::vector<std::string> Args;

// The area item of an address: area code, word, bit.
void AppendItem(Bytes& out, const FinsAddress& addr)
{
    out.push_back(FinsAreaCode(addr));
    AppendBe16(out, addr.word);
    out.push_back(addr.bitNo);
}

bool ParseWordAddress(const std::string& text, FinsAddress* out, std::string* error)
{
    if (!ParseFinsAddress(text, out) || out->bit) {
        *error = "bad word address " + text;
        return false;
    }
    return true;
}

bool ParseCount(const std::string& text, long* count, std::string* error)
{
    if (!ParseNumber(text, 1, kMaxCount, count)) {
        *error = "bad COUNT " + text + " (1 to 2000)";
        return false;
    }
    return true;
}

// ADDRESS [COUNT] is one read (0101); several addresses are one multiple read (0104).
bool PlanRead(const Args& args, FinsRequest* out, std::string* error)
{
    if (args.empty()) {
        *error = "read needs an ADDRESS";
        return false;
    }
    FinsAddress addr{};
    long count = 1;
    bool withCount = args.size() == 2 && !ParseFinsAddress(args[1], &addr);
    if (withCount && !ParseCount(args[1], &count, error)) {
        return false;
    }
    out->command = args.size() == 1 || withCount ? kCmdRead : kCmdMultiRead;
    for (size_t i = 0; i < (out->command == kCmdRead ? 1 : args.size()); ++i) {
        if (!ParseFinsAddress(args[i], &addr)) {
            *error = "bad address " + args[i];
            return false;
        }
        AppendItem(out->params, addr);
    }
    if (out->command == kCmdRead) {
        AppendBe16(out->params, static_cast<uint16_t>(count));
    }
    return true;
}

bool PlanWrite(const Args& args, FinsRequest* out, std::string* error)
{
    FinsAddress addr{};
    if (args.size() < 2 || !ParseFinsAddress(args[0], &addr)) {
        *error = args.size() < 2 ? "write needs an ADDRESS and values" : "bad address " + args[0];
        return false;
    }
    if (args.size() - 1 > static_cast<size_t>(kMaxWriteValues)) {
        *error = "write takes at most 65535 values";
        return false;
    }
    out->command = kCmdWrite;
    AppendItem(out->params, addr);
    AppendBe16(out->params, static_cast<uint16_t>(args.size() - 1));
    for (size_t i = 1; i < args.size(); ++i) {
        long v = 0;
        if (!ParseNumber(args[i], addr.bit ? 0 : kMinWordValue, addr.bit ? 1 : kMaxWordValue, &v)) {
            *error = "bad value " + args[i] + (addr.bit ? " (bits are 0 or 1)" : "");
            return false;
        }
        if (addr.bit) {
            out->params.push_back(static_cast<uint8_t>(v));
        } else {
            AppendBe16(out->params, static_cast<uint16_t>(v));
        }
    }
    return true;
}

bool PlanFill(const Args& args, FinsRequest* out, std::string* error)
{
    FinsAddress addr{};
    long count = 0;
    long value = 0;
    if (args.size() != 3) {
        *error = "fill takes ADDRESS COUNT VALUE";
        return false;
    }
    if (!ParseWordAddress(args[0], &addr, error) || !ParseCount(args[1], &count, error)) {
        return false;
    }
    if (!ParseNumber(args[2], kMinWordValue, kMaxWordValue, &value)) {
        *error = "bad value " + args[2];
        return false;
    }
    out->command = kCmdFill;
    AppendItem(out->params, addr);
    AppendBe16(out->params, static_cast<uint16_t>(count));
    AppendBe16(out->params, static_cast<uint16_t>(value));
    return true;
}

bool PlanCopy(const Args& args, FinsRequest* out, std::string* error)
{
    FinsAddress from{};
    FinsAddress to{};
    long count = 0;
    if (args.size() != 3) {
        *error = "copy takes FROM TO COUNT";
        return false;
    }
    if (!ParseWordAddress(args[0], &from, error) || !ParseWordAddress(args[1], &to, error) ||
        !ParseCount(args[2], &count, error)) {
        return false;
    }
    out->command = kCmdTransfer;
    AppendItem(out->params, from);
    AppendItem(out->params, to);
    AppendBe16(out->params, static_cast<uint16_t>(count));
    return true;
}

// An address as the client prints it (D100, CIO10.3), from what the user typed (d100, dm100).
std::string Canonical(const std::string& text)
{
    FinsAddress addr{};
    (void)ParseFinsAddress(text, &addr);
    return FormatFinsAddress(addr, 0);
}

bool Bit(const std::string& text)
{
    FinsAddress addr{};
    return ParseFinsAddress(text, &addr) && addr.bit;
}

std::string WordText(uint16_t v)
{
    char text[32];
    snprintf(text, sizeof(text), "%u (0x%04X)", v, v);
    return text;
}

bool PrintRead(const Args& args, const FinsRequest& request, const Bytes& data, std::string* error)
{
    FinsAddress addr{};
    (void)ParseFinsAddress(args[0], &addr);
    size_t count = ReadBe16(&request.params[4]);
    if (data.size() != (addr.bit ? count : 2 * count)) {
        *error = "the response holds " + std::to_string(data.size()) + " data bytes";
        return false;
    }
    for (size_t k = 0; k < count; ++k) {
        std::string value =
            addr.bit ? std::to_string(data[k] & 1u) : WordText(ReadBe16(&data[2 * k]));
        printf("%s = %s\n", FormatFinsAddress(addr, static_cast<uint32_t>(k)).c_str(),
               value.c_str());
    }
    return true;
}

// Per address its area code, then 2 bytes (word) or 1 (bit).
bool PrintMultiRead(const Args& args, const Bytes& data, std::string* error)
{
    size_t at = 0;
    for (const std::string& text : args) {
        FinsAddress addr{};
        (void)ParseFinsAddress(text, &addr);
        size_t size = addr.bit ? 1 : 2;
        if (at + 1 + size > data.size() || data[at] != FinsAreaCode(addr)) {
            *error = "the response does not match the addresses asked for";
            return false;
        }
        std::string value =
            addr.bit ? std::to_string(data[at + 1] & 1u) : WordText(ReadBe16(&data[at + 1]));
        printf("%s = %s\n", FormatFinsAddress(addr, 0).c_str(), value.c_str());
        at += 1 + size;
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

bool ParseNumber(const std::string& text, long min, long max, long* out)
{
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool IsFinsVerb(const std::string& verb)
{
    for (const char* name : {"read", "write", "fill", "copy", "info", "status", "clock"}) {
        if (verb == name) {
            return true;
        }
    }
    return false;
}

bool PlanRequest(const std::string& verb, const Args& args, FinsRequest* out, std::string* error)
{
    *out = FinsRequest{0, {}};
    if (verb == "read") {
        return PlanRead(args, out, error);
    }
    if (verb == "write") {
        return PlanWrite(args, out, error);
    }
    if (verb == "fill") {
        return PlanFill(args, out, error);
    }
    if (verb == "copy") {
        return PlanCopy(args, out, error);
    }
    if (!args.empty()) {
        *error = verb + " takes no arguments";
        return false;
    }
    out->command = verb == "info" ? kCmdControllerData : verb == "status" ? kCmdStatus : kCmdClock;
    return true;
}

bool PrintResponse(const std::string& verb, const Args& args, const FinsRequest& request,
                   const Bytes& data, std::string* error)
{
    switch (request.command) {
    case kCmdRead:
        return PrintRead(args, request, data, error);
    case kCmdMultiRead:
        return PrintMultiRead(args, data, error);
    case kCmdWrite:
        printf("wrote %zu %s at %s\n", args.size() - 1, Bit(args[0]) ? "bit(s)" : "word(s)",
               Canonical(args[0]).c_str());
        return true;
    case kCmdFill:
        printf("filled %u word(s) at %s with %s\n", ReadBe16(&request.params[4]),
               Canonical(args[0]).c_str(), WordText(ReadBe16(&request.params[6])).c_str());
        return true;
    case kCmdTransfer:
        printf("copied %u word(s) from %s to %s\n", ReadBe16(&request.params[8]),
               Canonical(args[0]).c_str(), Canonical(args[1]).c_str());
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
