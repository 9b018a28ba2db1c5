// FINS wire layout as the load tool and the reference responder see it: the 16-byte FINS/TCP
// header, the 10-byte FINS header and the memory area read/write commands. Written from the frame
// layout alone, without the component's code, so the tools check a server from the outside.
// Header-only: the reference responder includes it without linking anything of the load tool.
#pragma once

#include <cstddef>
#include <cstdint>

namespace finswire {

// FINS/TCP header: magic, dwLength, dwCommand, dwErrorCode, each field 4 bytes big-endian.
constexpr uint8_t kMagic[4] = {'F', 'I', 'N', 'S'};
constexpr std::size_t kTcpHeaderLen = 16;
constexpr std::size_t kTcpLengthOffset = 4;
constexpr std::size_t kTcpCommandOffset = 8;
constexpr std::size_t kTcpErrorOffset = 12;
// dwLength counts what follows it: the command and error fields (8 bytes) and the body.
constexpr std::size_t kTcpLengthBias = 8;
constexpr std::size_t kMaxTcpBody = 65535;

constexpr uint32_t kTcpNodeRequest = 0;
constexpr uint32_t kTcpNodeResponse = 1;
constexpr uint32_t kTcpFrame = 2;

// Node address handshake: request body of 4 bytes (client node in byte 3), reply body of 8
// (client node in byte 3, server node in byte 7).
constexpr std::size_t kNodeRequestBody = 4;
constexpr std::size_t kNodeReplyBody = 8;
constexpr std::size_t kNodeClientByte = 3;

// FINS header: ICF RSV GCT, DNA DA1 DA2, SNA SA1 SA2, SID; then the command code and, in a
// response, the response code.
constexpr uint8_t kRequestPrefix[3] = {0x80, 0x00, 0x02};
constexpr uint8_t kResponsePrefix[3] = {0xC0, 0x00, 0x02};
constexpr std::size_t kFinsHeaderLen = 10;
constexpr std::size_t kDstNodeOffset = 4;
constexpr std::size_t kSrcNodeOffset = 7;
constexpr std::size_t kSidOffset = 9;
constexpr std::size_t kCommandOffset = 10;
constexpr std::size_t kRespCodeOffset = 12;
constexpr std::size_t kResponseHeadLen = 14; // FINS header, command code, response code

// Memory area command behind the command code: area, word address (2), bit, item count (2).
constexpr std::size_t kMemCmdLen = 6;
constexpr std::size_t kRequestHeadLen = kCommandOffset + 2 + kMemCmdLen;

constexpr uint16_t kCmdRead = 0x0101;
constexpr uint16_t kCmdWrite = 0x0102;
constexpr uint16_t kRespNotSupported = 0x1004;

constexpr uint8_t kAreaCioBit = 0x30;
constexpr uint8_t kAreaCioBitB = 0x00;
constexpr uint8_t kAreaCioWord = 0xB0;
constexpr uint8_t kAreaDmBit = 0x02;
constexpr uint8_t kAreaDmWord = 0x82;

constexpr unsigned kMaxReadItems = 2000;

inline uint16_t getBe16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t getBe32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void putBe16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void putBe32(uint8_t* p, uint32_t v)
{
    putBe16(p, static_cast<uint16_t>(v >> 16));
    putBe16(p + 2, static_cast<uint16_t>(v));
}

inline bool isBitArea(uint8_t area)
{
    return area == kAreaCioBit || area == kAreaCioBitB || area == kAreaDmBit;
}

// Data bytes of `items` items of an area: one byte per bit, two per word.
inline std::size_t itemBytes(uint8_t area, std::size_t items)
{
    return isBitArea(area) ? items : 2 * items;
}

// Writes a 16-byte FINS/TCP header announcing `bodyLen` body bytes.
inline void putTcpHeader(uint8_t* p, std::size_t bodyLen, uint32_t command, uint32_t error)
{
    for (std::size_t i = 0; i < sizeof(kMagic); ++i) {
        p[i] = kMagic[i];
    }
    putBe32(p + kTcpLengthOffset, static_cast<uint32_t>(bodyLen + kTcpLengthBias));
    putBe32(p + kTcpCommandOffset, command);
    putBe32(p + kTcpErrorOffset, error);
}

} // namespace finswire
