// FINS wire records and codes: the FINS/TCP encapsulation header, the FINS header with its command
// code, the memory area read/write command, and the codes of both layers. Multi-byte fields are
// big-endian on the wire.
#pragma once

#include <cstdint>

// FINS/TCP encapsulation header, at the start of every FINS/TCP frame in both directions.
struct _FINSTcpHeader
{
    char magic[4];        // "FINS"
    uint32_t dwLength;    // bytes after this field: 8 plus the body length
    uint32_t dwCommand;   // TCP_CMD_*
    uint32_t dwErrorCode; // TCP_ERR_* in a framing-error reply, else 0
};
static_assert(sizeof(_FINSTcpHeader) == 16, "FINS/TCP header is 16 bytes");

constexpr char kFinsMagic[4] = {'F', 'I', 'N', 'S'};
constexpr uint32_t kFinsTcpLengthFieldEnd = 8; // magic and dwLength precede what dwLength counts

// FINS/TCP commands.
constexpr uint32_t TCP_CMD_NODE_REQUEST = 0;
constexpr uint32_t TCP_CMD_NODE_RESPONSE = 1;
constexpr uint32_t TCP_CMD_FRAME = 2;

// FINS/TCP error codes of a framing-error reply.
constexpr int TCP_ERR_BAD_LENGTH = 34;
constexpr int TCP_ERR_NO_MAGIC = 35;

// Node address request: at least 4 body bytes; byte 3 is the client's node. Reply body: 8 bytes.
constexpr unsigned kHandShakeRequestMin = 4;
constexpr unsigned kHandShakeReplyBody = 8;

// FINS header (10 bytes) and command code, at the start of every FINS frame. Packed: a frame may
// begin at any byte of a buffer, and the command code is then read without an alignment fault.
struct __attribute__((packed)) _FinsFrameHeader
{
    uint8_t byPrefix[3]; // ICF, RSV, GCT: 80 00 02 in a request, C0 00 02 in a response
    uint8_t byDst[3];    // DNA, DA1 (destination node), DA2
    uint8_t bySrc[3];    // SNA, SA1 (source node), SA2
    uint8_t byReqId;     // SID, echoed
    uint16_t wFinsCmd;   // command code (MRC, SRC)
};
static_assert(sizeof(_FinsFrameHeader) == 12, "FINS header with command code is 12 bytes");

constexpr uint8_t kFinsRequestPrefix[3] = {0x80, 0x00, 0x02};
constexpr uint8_t kFinsResponsePrefix[3] = {0xC0, 0x00, 0x02};
// Request header bytes clients send: ICF 80 (response wanted) or 81 (no response: the command is
// carried out and nothing is sent, error or not), RSV 00, gateway count 00 to 07.
constexpr uint8_t kIcfRequest = 0x80;
constexpr uint8_t kIcfRequestNoReply = 0x81;
// ICF bit 6 marks a response. A response is never answered, not even with an error: two nodes that
// answered each other's responses would do so for ever.
constexpr uint8_t kIcfResponseBit = 0x40;
constexpr uint8_t kFinsMaxGatewayCount = 0x07;
constexpr unsigned kFinsHeaderLen = 10;
constexpr unsigned kFinsMinFrame = 12; // header and command code; shorter frames get no reply

// Command codes.
constexpr uint16_t FINS_CMD_READ = 0x0101;
constexpr uint16_t FINS_CMD_WRITE = 0x0102;
constexpr uint16_t FINS_CMD_FILL = 0x0103;
constexpr uint16_t FINS_CMD_MULTI_READ = 0x0104;
constexpr uint16_t FINS_CMD_TRANSFER = 0x0105;
constexpr uint16_t FINS_CMD_CONTROLLER_DATA = 0x0501;
constexpr uint16_t FINS_CMD_STATUS = 0x0601;
constexpr uint16_t FINS_CMD_CLOCK = 0x0701;
constexpr uint16_t FINS_CMD_LOOPBACK = 0x0801;

// Memory area read/write command, right behind the command code; heads both commands (fill's
// parameters begin the same way).
struct __attribute__((packed)) _FinsReadCmd
{
    uint8_t byArea;  // AREA_*
    uint16_t wAddr;  // start word
    uint8_t byBit;   // bit within the start word (bit areas); above 15 continues into next words
    uint16_t wCount; // words or bits
};
static_assert(sizeof(_FinsReadCmd) == 6, "memory area command is 6 bytes");

// Memory area codes.
constexpr uint8_t AREA_CIO_BIT = 0x30;
constexpr uint8_t AREA_CIO_BIT_B = 0x00;
constexpr uint8_t AREA_CIO_WORD = 0xB0;
constexpr uint8_t AREA_CIO_WORD_B = 0x80;
constexpr uint8_t AREA_DM_BIT = 0x02;
constexpr uint8_t AREA_DM_WORD = 0x82;
constexpr uint8_t AREA_W_BIT = 0x31;
constexpr uint8_t AREA_W_WORD = 0xB1;
constexpr uint8_t AREA_H_BIT = 0x32;
constexpr uint8_t AREA_H_WORD = 0xB2;
constexpr uint8_t AREA_A_BIT = 0x33;
constexpr uint8_t AREA_A_WORD = 0xB3;
constexpr uint8_t AREA_EM_BIT = 0x20;         // bank n: 0x20 + n, banks 0 to 12
constexpr uint8_t AREA_EM_WORD = 0xA0;        // bank n: 0xA0 + n
constexpr uint8_t AREA_EM_CURRENT_BIT = 0x0A; // the current bank, bank 0 here
constexpr uint8_t AREA_EM_CURRENT_WORD = 0x98;
constexpr uint8_t AREA_TC_WORD = 0x89; // timer and counter present values
constexpr uint8_t AREA_TC_FLAG = 0x09; // their completion flags

// Most words or bits one read may ask for.
constexpr uint32_t kMaxReadItems = 2000;

// FINS response codes.
constexpr uint16_t RESP_OK = 0x0000;
constexpr uint16_t RESP_UNDEFINED_COMMAND = 0x0401; // a command this server does not carry out
constexpr uint16_t RESP_FRAME_TOO_LONG = 0x1001;
constexpr uint16_t RESP_FRAME_TOO_SHORT = 0x1002;
constexpr uint16_t RESP_DATA_LEN_MISMATCH = 0x1003;
constexpr uint16_t RESP_CMD_NOT_SUPPORTED = 0x1004;
constexpr uint16_t RESP_BAD_HEADER = 0x1005;
constexpr uint16_t RESP_BAD_AREA = 0x1101;
constexpr uint16_t RESP_COUNT_TOO_LARGE = 0x1102;
constexpr uint16_t RESP_START_OUT_OF_RANGE = 0x1103;
constexpr uint16_t RESP_END_OUT_OF_RANGE = 0x1104;
constexpr uint16_t RESP_BAD_PARAMETER = 0x110C;
constexpr uint16_t RESP_READ_ONLY = 0x2101; // the area is write-protected
