// FINS frames of the fins client, written from the wire format.
#include "tools/fins/Wire.h"

#include <cstdio>
#include <cstring>

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

const CodeName kResponseNames[] = {
    {0x0000, "normal completion"},
    {0x1001, "command too long"},
    {0x1002, "command too short"},
    {0x1003, "number of items does not match the data"},
    {0x1004, "command not supported"},
    {0x1005, "bad FINS header"},
    {0x1101, "no such memory area"},
    {0x1102, "too many items"},
    {0x1103, "start address out of range"},
    {0x1104, "end address out of range"},
    {0x110C, "parameter error"},
};

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

std::string FinsResponseText(uint16_t code)
{
    for (const CodeName& n : kResponseNames) {
        if (n.code == code) {
            return Hex(code, 4) + " (" + n.text + ")";
        }
    }
    return Hex(code, 4) + " (unknown response code)";
}

std::string FinsTcpErrorText(uint32_t code)
{
    for (const CodeName& n : kTcpErrorNames) {
        if (n.code == code) {
            return std::to_string(code) + " (" + n.text + ")";
        }
    }
    return std::to_string(code) + " (unknown FINS/TCP error)";
}
