// FINS frames of the fins client, written from the wire format.
#include "tools/fins/Wire.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

constexpr uint8_t kIcfCommand = 0x80; // command, response required
constexpr uint8_t kIcfResponseBit = 0x40;
constexpr uint8_t kGatewayCount = 0x02;
constexpr size_t kTcpLengthFieldEnd = 8; // "FINS" and the length field are not counted

struct CodeName
{
    uint32_t code;
    const char* text;
};

// The end codes of the FINS table: main code in the high byte, sub code in the low byte.
const CodeName kResponseNames[] = {
    {0x0000, "normal completion"},
    {0x0001, "service cancelled"},
    {0x0101, "local node not in network"},
    {0x0102, "token timeout"},
    {0x0103, "retries failed"},
    {0x0104, "too many send frames"},
    {0x0105, "node address range error"},
    {0x0106, "node address duplication"},
    {0x0201, "destination node not in network"},
    {0x0202, "unit missing"},
    {0x0203, "third node missing"},
    {0x0204, "destination node busy"},
    {0x0205, "response timeout"},
    {0x0301, "communications controller error"},
    {0x0302, "CPU unit error"},
    {0x0303, "controller error"},
    {0x0304, "unit number error"},
    {0x0401, "undefined command"},
    {0x0402, "not supported by this model or version"},
    {0x0501, "destination address setting error"},
    {0x0502, "no routing tables"},
    {0x0503, "routing table error"},
    {0x0504, "too many relays"},
    {0x1001, "command too long"},
    {0x1002, "command too short"},
    {0x1003, "number of items does not match the data"},
    {0x1004, "command format error"},
    {0x1005, "header error"},
    {0x1101, "no such memory area"},
    {0x1102, "access size error"},
    {0x1103, "start address out of range"},
    {0x1104, "end address out of range"},
    {0x1106, "program missing"},
    {0x1109, "relational error"},
    {0x110A, "duplicate data access"},
    {0x110B, "response too long"},
    {0x110C, "parameter error"},
    {0x2002, "protected"},
    {0x2003, "table missing"},
    {0x2004, "data missing"},
    {0x2005, "program missing"},
    {0x2006, "file missing"},
    {0x2007, "data mismatch"},
    {0x2101, "read-only area"},
    {0x2102, "protected"},
    {0x2103, "cannot register"},
    {0x2105, "program missing"},
    {0x2106, "file missing"},
    {0x2107, "file name already exists"},
    {0x2108, "cannot change"},
    {0x2201, "not possible during execution"},
    {0x2202, "not possible while running"},
    {0x2203, "not possible in PROGRAM mode"},
    {0x2204, "not possible in DEBUG mode"},
    {0x2205, "not possible in MONITOR mode"},
    {0x2206, "not possible in RUN mode"},
    {0x2207, "node is not the polling node"},
    {0x2208, "step cannot be executed"},
    {0x2301, "file device missing"},
    {0x2302, "memory missing"},
    {0x2303, "clock missing"},
    {0x2401, "table missing"},
    {0x2502, "memory error"},
    {0x2503, "I/O setting error"},
    {0x2504, "too many I/O points"},
    {0x2505, "CPU bus error"},
    {0x2506, "I/O duplication"},
    {0x2507, "I/O bus error"},
    {0x250A, "CPU bus unit error"},
    {0x250D, "same word used twice"},
    {0x250F, "memory error"},
    {0x2510, "terminator missing"},
    {0x2601, "no protection"},
    {0x2602, "incorrect password"},
    {0x2604, "protected"},
    {0x2605, "service already executing"},
    {0x2606, "service stopped"},
    {0x2607, "no execution right"},
    {0x2608, "settings not complete"},
    {0x2609, "necessary items not set"},
    {0x260A, "number already defined"},
    {0x260B, "error will not clear"},
    {0x3001, "no access right"},
    {0x4001, "service aborted"},
};

// A sub code missing above is named by its main code's class.
const CodeName kResponseClasses[] = {
    {0x00, "normal completion"},
    {0x01, "local node error"},
    {0x02, "destination node error"},
    {0x03, "communications controller error"},
    {0x04, "not executable"},
    {0x05, "routing error"},
    {0x10, "command format error"},
    {0x11, "parameter error"},
    {0x20, "read not possible"},
    {0x21, "write not possible"},
    {0x22, "not executable in the current mode"},
    {0x23, "no such device"},
    {0x24, "cannot start or stop"},
    {0x25, "unit error"},
    {0x26, "command error"},
    {0x30, "access right error"},
    {0x40, "aborted"},
};

// Flags beside the main and sub codes: a relay error on the way, and the controller's own state.
constexpr uint16_t kRelayErrorFlag = 0x8000;
constexpr uint16_t kNonFatalErrorFlag = 0x0040;
constexpr uint16_t kFatalErrorFlag = 0x0080;
constexpr uint16_t kEndCodeFlags = kRelayErrorFlag | kNonFatalErrorFlag | kFatalErrorFlag;

const char* NameOf(const CodeName* names, size_t count, uint32_t code)
{
    for (size_t i = 0; i < count; ++i) {
        if (names[i].code == code) {
            return names[i].text;
        }
    }
    return nullptr;
}

const CodeName kTcpErrorNames[] = {
    {0x01, "the frame does not begin with FINS"},
    {0x02, "the frame is too long"},
    {0x03, "command not supported"},
    {0x20, "all connections are in use"},
    {0x21, "this node is already connected"},
    {0x22, "frame length is wrong"},
    {0x23, "the frame does not begin with FINS"},
};

std::string Hex(uint32_t v, int digits)
{
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%0*X", digits, v);
    return buf;
}

} // namespace

uint16_t ReadBe16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ReadBe32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void AppendBe16(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

void AppendBe32(Bytes& out, uint32_t v)
{
    AppendBe16(out, static_cast<uint16_t>(v >> 16));
    AppendBe16(out, static_cast<uint16_t>(v & 0xFFFF));
}

Bytes BuildFinsFrame(FinsNodes nodes, uint8_t sid, uint16_t command, const Bytes& params)
{
    Bytes out = {kIcfCommand, 0x00, kGatewayCount, 0x00, nodes.server,
                 0x00,        0x00, nodes.client,  0x00, sid};
    AppendBe16(out, command);
    out.insert(out.end(), params.begin(), params.end());
    return out;
}

Bytes BuildTcpHeader(uint32_t command, size_t bodyLen, uint32_t errorCode)
{
    Bytes out = {'F', 'I', 'N', 'S'};
    AppendBe32(out, static_cast<uint32_t>(bodyLen + kTcpLengthFieldEnd));
    AppendBe32(out, command);
    AppendBe32(out, errorCode);
    return out;
}

Bytes BuildNodeRequest(uint8_t client)
{
    Bytes out = BuildTcpHeader(kTcpNodeRequest, 4, 0);
    AppendBe32(out, client);
    return out;
}

bool ParseTcpHeader(const uint8_t* bytes, FinsTcpHeader* out)
{
    if (memcmp(bytes, "FINS", 4) != 0) {
        return false;
    }
    *out = FinsTcpHeader{ReadBe32(bytes + 4), ReadBe32(bytes + 8), ReadBe32(bytes + 12)};
    return true;
}

bool ParseFinsResponse(const Bytes& frame, uint8_t sid, uint16_t command, FinsResponse* out,
                       std::string* error)
{
    if (frame.size() < kFinsResponseMin) {
        *error = "response too short (" + std::to_string(frame.size()) + " bytes)";
        return false;
    }
    if ((frame[0] & kIcfResponseBit) == 0) {
        *error = "the answer is not a FINS response";
        return false;
    }
    if (frame[9] != sid || ReadBe16(&frame[10]) != command) {
        *error = "the response does not answer this request";
        return false;
    }
    out->code = ReadBe16(&frame[12]);
    out->data.assign(frame.begin() + kFinsResponseMin, frame.end());
    return true;
}

bool FinsCompleted(uint16_t code)
{
    return (code & ~kEndCodeFlags) == 0;
}

std::string FinsResponseText(uint16_t code)
{
    const uint16_t plain = code & ~kEndCodeFlags;
    const char* name = NameOf(kResponseNames, std::size(kResponseNames), plain);
    if (name == nullptr) {
        name = NameOf(kResponseClasses, std::size(kResponseClasses), plain >> 8);
    }
    std::string text = Hex(code, 4) + " (" + (name != nullptr ? name : "unknown response code");
    if ((code & kRelayErrorFlag) != 0) {
        text += "; relay error";
    }
    if ((code & kFatalErrorFlag) != 0) {
        text += "; the controller has a fatal error";
    }
    if ((code & kNonFatalErrorFlag) != 0) {
        text += "; the controller has a non-fatal error";
    }
    return text + ")";
}

std::string FinsTcpErrorText(uint32_t code)
{
    const char* name = NameOf(kTcpErrorNames, std::size(kTcpErrorNames), code);
    return std::to_string(code) + " (" + (name != nullptr ? name : "unknown FINS/TCP error") + ")";
}
