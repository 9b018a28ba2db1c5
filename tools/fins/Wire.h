// FINS frames as the fins client writes and reads them: the 10-byte FINS header and a command's
// parameters, the 16-byte FINS/TCP header and the names of the response and error codes.
// Multi-byte fields are big-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

constexpr size_t kFinsHeaderBytes = 10;
constexpr size_t kFinsResponseMin = 14; // header, command code, response code
constexpr size_t kTcpHeaderBytes = 16;
// The largest FINS frame a server takes: a FINS/TCP body, an IPv4 UDP datagram.
constexpr size_t kMaxFinsFrameTcp = 65535;
constexpr size_t kMaxFinsFrameUdp = 65507;
constexpr uint32_t kTcpNodeRequest = 0;
constexpr uint32_t kTcpNodeResponse = 1;
constexpr uint32_t kTcpFrame = 2;
constexpr uint16_t kCmdRead = 0x0101;
constexpr uint16_t kCmdWrite = 0x0102;
constexpr uint16_t kCmdFill = 0x0103;
constexpr uint16_t kCmdMultiRead = 0x0104;
constexpr uint16_t kCmdTransfer = 0x0105;
constexpr uint16_t kCmdControllerData = 0x0501;
constexpr uint16_t kCmdStatus = 0x0601;
constexpr uint16_t kCmdClock = 0x0701;

struct FinsNodes
{
    uint8_t server; // destination node (DA1)
    uint8_t client; // source node (SA1)
};

// A FINS command frame: header, command code, then the command's parameters.
Bytes BuildFinsFrame(FinsNodes nodes, uint8_t sid, uint16_t command, const Bytes& params);
// The FINS/TCP header for a body of bodyLen bytes.
Bytes BuildTcpHeader(uint32_t command, size_t bodyLen, uint32_t errorCode);
// A node address request asking for node `client` (0: any).
Bytes BuildNodeRequest(uint8_t client);

struct FinsTcpHeader
{
    uint32_t length;
    uint32_t command;
    uint32_t errorCode;
};
// False when the 16 bytes do not begin with "FINS".
bool ParseTcpHeader(const uint8_t* bytes, FinsTcpHeader* out);

struct FinsResponse
{
    uint16_t code; // main and sub response code
    Bytes data;    // bytes after the response code
};
// Checks a FINS response against the command it answers. False with a reason in *error.
bool ParseFinsResponse(const Bytes& frame, uint8_t sid, uint16_t command, FinsResponse* out,
                       std::string* error);

uint16_t ReadBe16(const uint8_t* p);
uint32_t ReadBe32(const uint8_t* p);
void AppendBe16(Bytes& out, uint16_t v);
void AppendBe32(Bytes& out, uint32_t v);

// True when the end code says the command was carried out: main and sub code 0, whatever the
// controller's error flags beside them say.
bool FinsCompleted(uint16_t code);
// "0x1103 (start address out of range)" and the like, with the flags the code carries; a sub code
// without a name is named by its main code's class.
std::string FinsResponseText(uint16_t code);
std::string FinsTcpErrorText(uint32_t code);
