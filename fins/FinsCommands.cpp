// The FINS commands beyond memory area read and write (see the header). Layouts follow what the
// clients in use parse byte for byte; every multi-byte field is big-endian.
#include "fins/FinsCommands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "base/RuntimeApi.h"
#include "fins/FinsArea.h"

namespace {

constexpr size_t kAreaItemBytes = 4;                     // area, word address (2), bit
constexpr size_t kCountAt = kAreaItemBytes;              // fill: count behind the area item
constexpr size_t kValueAt = kCountAt + sizeof(uint16_t); // fill: the value behind the count
constexpr size_t kTransferDestAt = kAreaItemBytes;       // transfer: destination behind source
constexpr size_t kTransferCountAt = 2 * kAreaItemBytes;  // transfer: count behind both items
constexpr unsigned kBytesPerKilobyte = 1024;
constexpr unsigned kMaxByteField = 0xFF;
constexpr size_t kAreaCioKiB = 2;  // area data: CIO size byte
constexpr size_t kAreaDmWords = 3; // area data: DM words (2 bytes)
constexpr size_t kAreaEmBanks = 6; // area data: EM banks byte
constexpr int kYearsPerCentury = 100;
constexpr int kTmYearBase = 1900;

// Parameters of a fixed size: fewer bytes are a short frame, more a long one.
uint16_t ExactLength(unsigned int len, size_t expected)
{
    if (len < expected) {
        return RESP_FRAME_TOO_SHORT;
    }
    return len > expected ? RESP_FRAME_TOO_LONG : RESP_OK;
}

// One area item (area, word address, bit) of a request, with the given count.
_FinsReadCmd AreaItemAt(const char* at, uint16_t count)
{
    _FinsReadCmd cmd{};
    cmd.byArea = static_cast<uint8_t>(at[0]);
    cmd.wAddr = BigEndianField<uint16_t>(at + 1);
    cmd.byBit = static_cast<uint8_t>(at[3]);
    cmd.wCount = count;
    return cmd;
}

// Area and range of a word operation: RESP_OK with where it lands, or the code the request ends
// with. Bit codes are refused: these operations move words.
uint16_t CheckWordOperand(CAppAreaMemmory& mem, const CFinsAreaMap& map, const _FinsReadCmd& cmd,
                          FinsLocation& where)
{
    if (map.ItemBytes(cmd.byArea) != 2) {
        return RESP_BAD_AREA;
    }
    return map.Locate(mem, cmd, where);
}

// A word operand that is written: the checks of CheckWordOperand, then the write protections (the
// client's, then the area's).
uint16_t CheckWordTarget(CAppAreaMemmory& mem, const CFinsAreaMap& map, const FinsPolicy& policy,
                         const _FinsReadCmd& cmd, FinsLocation& where, bool writer)
{
    const uint16_t code = CheckWordOperand(mem, map, cmd, where);
    if (code != RESP_OK) {
        return code;
    }
    return writer ? CheckWritable(policy, where) : RESP_READ_ONLY;
}

uint8_t Bcd(int value)
{
    return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
}

void AppendBig16(std::string& out, unsigned int value)
{
    out += static_cast<char>((value >> 8) & 0xFF);
    out += static_cast<char>(value & 0xFF);
}

// A text field of the controller data: the text's first kTextField bytes, padded with spaces.
void AppendText(std::string& out, const std::string& text)
{
    std::string field = text.substr(0, kTextField);
    field.resize(kTextField, ' ');
    out += field;
}

// The component's version, one dotted number per byte: 0x03051200 is "3.5.18.0".
std::string VersionText()
{
    char text[kTextField + 1];
    (void)std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (CMP_VERSION_DrvFins >> 24) & 0xFFu,
                        (CMP_VERSION_DrvFins >> 16) & 0xFFu, (CMP_VERSION_DrvFins >> 8) & 0xFFu,
                        CMP_VERSION_DrvFins & 0xFFu);
    return text;
}

// Area data: no program area, the CIO (bit-addressable) size in KiB, the DM words the map lets a
// client address from DM 0, no timers or counters, the EM banks the map holds, no memory card.
void AppendAreaData(CAppAreaMemmory& mem, const CFinsAreaMap& map, std::string& out)
{
    uint32_t cioBytes =
        mem.GetAppMemorySizeFromType(APP_AREA_I) + mem.GetAppMemorySizeFromType(APP_AREA_Q);
    std::string area(kAreaDataBytes, '\0');
    area[kAreaCioKiB] = static_cast<char>(std::min(cioBytes / kBytesPerKilobyte, kMaxByteField));
    std::string words;
    AppendBig16(words, map.DmWords(mem));
    area.replace(kAreaDmWords, 2, words);
    area[kAreaEmBanks] = static_cast<char>(map.EmBanks());
    out += area;
}

} // namespace

CFinsCommands::CFinsCommands(CAppAreaMemmory& memory, const FinsPolicy& policy,
                             const CFinsAreaMap& map, bool writer)
    : m_memory(memory), m_policy(policy), m_map(map), m_writer(writer)
{}

bool CFinsCommands::Handles(uint16_t command)
{
    switch (command) {
    case FINS_CMD_FILL:
    case FINS_CMD_MULTI_READ:
    case FINS_CMD_TRANSFER:
    case FINS_CMD_CONTROLLER_DATA:
    case FINS_CMD_STATUS:
    case FINS_CMD_CLOCK:
    case FINS_CMD_LOOPBACK:
        return true;
    default:
        return false;
    }
}

uint16_t CFinsCommands::Execute(uint16_t command, const char* params, unsigned int len,
                                std::string& data)
{
    data.clear();
    m_written = _FinsReadCmd{};
    switch (command) {
    case FINS_CMD_FILL:
        return Fill(params, len);
    case FINS_CMD_MULTI_READ:
        return MultipleRead(params, len, data);
    case FINS_CMD_TRANSFER:
        return Transfer(params, len);
    case FINS_CMD_CONTROLLER_DATA:
        return ControllerDataRead(params, len, data);
    case FINS_CMD_STATUS:
        return StatusRead(len, data);
    case FINS_CMD_CLOCK:
        return ClockRead(len, data);
    case FINS_CMD_LOOPBACK:
        return Loopback(params, len, data);
    default:
        return RESP_UNDEFINED_COMMAND;
    }
}

// Per item its area code, then the word (2 bytes) or the bit (1 byte, 00 or 01). The first item
// that fails ends the request with its code.
uint16_t CFinsCommands::MultipleRead(const char* params, unsigned int len, std::string& data)
{
    if (len < kMultiReadItemBytes) {
        return RESP_FRAME_TOO_SHORT;
    }
    if (len % kMultiReadItemBytes != 0) {
        return RESP_DATA_LEN_MISMATCH;
    }
    if (len / kMultiReadItemBytes > kMaxMultiReadItems) {
        return RESP_COUNT_TOO_LARGE;
    }
    CAppAreaMemmory& mem = m_memory;
    thread_local std::string one; // the memory reads clear it; keeps its capacity
    for (unsigned int at = 0; at < len; at += kMultiReadItemBytes) {
        const _FinsReadCmd cmd = AreaItemAt(params + at, 1);
        FinsLocation where;
        uint16_t code = m_map.Locate(mem, cmd, where);
        if (code != RESP_OK) {
            return code;
        }
        const int word = static_cast<int>(where.word);
        int result = where.words ? mem.ReadWordFromAppMemory(where.segment, word, 1, one)
                                 : mem.ReadBitsFromAppMempry(where.segment, word,
                                                             static_cast<int>(where.bit), 1, one);
        if (result != 0 || one.empty()) {
            return RESP_START_OUT_OF_RANGE; // not reached: a checked segment is present
        }
        data += static_cast<char>(cmd.byArea);
        if (where.words) {
            SwapWords(&one[0], 1); // memory words are host order, FINS big-endian
        }
        data += one;
    }
    return RESP_OK;
}

uint16_t CFinsCommands::Fill(const char* params, unsigned int len)
{
    if (uint16_t code = ExactLength(len, kFillParamBytes); code != RESP_OK) {
        return code;
    }
    _FinsReadCmd cmd = AreaItemAt(params, BigEndianField<uint16_t>(params + kCountAt));
    FinsLocation where;
    uint16_t code = CheckWordTarget(m_memory, m_map, m_policy, cmd, where, m_writer);
    if (code != RESP_OK) {
        return code;
    }
    uint16_t value = BigEndianField<uint16_t>(params + kValueAt);
    thread_local std::string words; // keeps its capacity: a fill allocates once per size seen
    words.clear();
    for (uint32_t i = 0; i < cmd.wCount; ++i) {
        words.append(reinterpret_cast<const char*>(&value), sizeof(value)); // host order
    }
    (void)m_memory.WriteWordToAppMemory(where.segment, static_cast<int>(where.word), cmd.wCount,
                                        &words[0]);
    m_written = cmd;
    m_writtenAt = where;
    return RESP_OK;
}

// Source and destination may overlap: the words are read out whole before any is written, so the
// destination receives the source as it was.
uint16_t CFinsCommands::Transfer(const char* params, unsigned int len)
{
    if (uint16_t code = ExactLength(len, kTransferParamBytes); code != RESP_OK) {
        return code;
    }
    uint16_t count = BigEndianField<uint16_t>(params + kTransferCountAt);
    _FinsReadCmd from = AreaItemAt(params, count);
    _FinsReadCmd to = AreaItemAt(params + kTransferDestAt, count);
    FinsLocation source;
    FinsLocation target;
    uint16_t code = CheckWordOperand(m_memory, m_map, from, source);
    if (code == RESP_OK) {
        code = CheckWordTarget(m_memory, m_map, m_policy, to, target, m_writer);
    }
    if (code != RESP_OK) {
        return code;
    }
    CAppAreaMemmory& mem = m_memory;
    thread_local std::string words;
    if (mem.ReadWordFromAppMemory(source.segment, static_cast<int>(source.word), count, words) !=
        0) {
        return RESP_START_OUT_OF_RANGE; // not reached: a checked segment is present
    }
    (void)mem.WriteWordToAppMemory(target.segment, static_cast<int>(target.word), count, &words[0]);
    m_written = to;
    m_writtenAt = target;
    return RESP_OK;
}

// No parameter (what clients send): all 158 bytes. Parameter 0x00: the first part, through the
// area data; 0x01: the last part, from the bus unit configuration on.
uint16_t CFinsCommands::ControllerDataRead(const char* params, unsigned int len, std::string& data)
{
    if (len > 1) {
        return RESP_FRAME_TOO_LONG;
    }
    uint8_t part = len == 1 ? static_cast<uint8_t>(params[0]) : kControllerParamFirst;
    if (part != kControllerParamFirst && part != kControllerParamLast) {
        return RESP_BAD_PARAMETER;
    }
    const std::string& model = m_policy.model;
    AppendText(data, model.empty() ? kControllerModel : model);
    AppendText(data, VersionText());
    data.append(kSystemUseBytes, '\0');
    AppendAreaData(m_memory, m_map, data);
    data.append(kBusUnitBytes, '\0');
    data.append(2, '\0'); // unit information, remote I/O data
    if (len == 1) {
        data = part == kControllerParamFirst ? data.substr(0, kControllerFirstPart)
                                             : data.substr(kControllerFirstPart);
    }
    return RESP_OK;
}

// Running with mode RUN while an application is loaded, else stopped in PROGRAM; no errors and no
// message.
uint16_t CFinsCommands::StatusRead(unsigned int len, std::string& data)
{
    if (len != 0) {
        return RESP_FRAME_TOO_LONG;
    }
    bool running = m_memory.HasApplication();
    data += static_cast<char>(running ? kStatusRunning : kStatusStopped);
    data += static_cast<char>(running ? kModeRun : kModeProgram);
    data.append(kStatusData - 2 - kStatusMessageBytes, '\0'); // error flags, message flags, code
    data.append(kStatusMessageBytes, ' ');
    return RESP_OK;
}

// The controller's local time. A 32-bit target's C library keeps a 32-bit time_t unless the build
// asks for 64 bits (CMakeLists.txt does), and the clock would stop being read right in 2038.
static_assert(sizeof(time_t) >= 8, "time_t must hold times after 2038");
uint16_t CFinsCommands::ClockRead(unsigned int len, std::string& data)
{
    if (len != 0) {
        return RESP_FRAME_TOO_LONG;
    }
    time_t now = time(nullptr);
    tm local{};
    (void)localtime_r(&now, &local);
    const int fields[] = {(local.tm_year + kTmYearBase) % kYearsPerCentury,
                          local.tm_mon + 1,
                          local.tm_mday,
                          local.tm_hour,
                          local.tm_min,
                          local.tm_sec};
    for (int field : fields) {
        data += static_cast<char>(Bcd(field));
    }
    data += static_cast<char>(local.tm_wday);
    return RESP_OK;
}

uint16_t CFinsCommands::Loopback(const char* params, unsigned int len, std::string& data)
{
    if (len > kMaxLoopbackData) {
        return RESP_FRAME_TOO_LONG;
    }
    if (len == 0) {
        return RESP_OK;
    }
    data.assign(params, len);
    return RESP_OK;
}
