// The FINS protocol: FINS/TCP frames and FINS/UDP datagrams in, responses out through the record's
// send queue. Runs on the event loop's reader thread only (one frame at a time); holds no state.
// Requests may sit at any alignment in their buffer, so multi-byte fields are only ever reached
// through byte copies, never through a typed pointer into the buffer.
#include "fins/FinsProtocol.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <utility>

#include "appmem/AppAreaMem.h"
#include "component/LogLimiter.h"
#include "component/kellog.h"
#include "net/SockConnection.h"
#include "utility/ByteOrder.h"
#include "utility/Singleton.h"

namespace {

constexpr const char* kMsgNoMagic = "not find fins form one frame";
constexpr const char* kMsgBadCommand = "Not Support FinsCmd:%x";

// Any peer can send these at line rate: each text is limited so it cannot fill the runtime's log.
CLogLimiter s_noMagicLimit(kMsgNoMagic, kLogLimitPeerLines);
CLogLimiter s_badCommandLimit(kMsgBadCommand, kLogLimitPeerLines);

constexpr int kIpFields = 4;
constexpr unsigned int kNodeShift = 24; // the node is the address text's last field, bits 24-31
constexpr size_t kCmdOffset = offsetof(_FinsFrameHeader, wFinsCmd);
constexpr size_t kReqIdOffset = offsetof(_FinsFrameHeader, byReqId);
constexpr size_t kDstNodeOffset = 4; // DA1, the destination node of a request
constexpr size_t kLengthOffset = offsetof(_FINSTcpHeader, dwLength);
constexpr size_t kCommandOffset = offsetof(_FINSTcpHeader, dwCommand);
constexpr unsigned int kReadCmdLen = sizeof(_FinsReadCmd);
constexpr size_t kAddrOffset = offsetof(_FinsReadCmd, wAddr);
constexpr size_t kCountOffset = offsetof(_FinsReadCmd, wCount);

// A big-endian field of the wire, converted to host order on a copy.
template <typename T>
T BigEndianField(const char* at)
{
    T value;
    std::memcpy(&value, at, sizeof(T));
    (void)SwapByteOrderAll(reinterpret_cast<char*>(&value), sizeof(T)); // sizes 2 and 4 only
    return value;
}

template <typename T>
T HostField(const char* at)
{
    T value;
    std::memcpy(&value, at, sizeof(T));
    return value;
}

const char* Bytes(const _FinsFrameHeader* header)
{
    return reinterpret_cast<const char*>(header);
}

// The request's command code; host order once ProcessRWRequest has converted it.
short CommandOf(const _FinsFrameHeader* header)
{
    return static_cast<short>(HostField<uint16_t>(Bytes(header) + kCmdOffset));
}

int ReqIdOf(const _FinsFrameHeader* header)
{
    return static_cast<unsigned char>(Bytes(header)[kReqIdOffset]);
}

// One address field as strtol(field, nullptr, 10) reads it (leading white space, a sign, digits
// up to the first other character, saturation at the long range), truncated to 8 bits. Written
// out because every FINS frame parses two address texts, and strtol's locale handling is most of
// the cost of a small read.
unsigned int FieldByte(const char* p)
{
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    const uint64_t limit = static_cast<uint64_t>(LONG_MAX) + (negative ? 1u : 0u);
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned int digit = static_cast<unsigned int>(*p - '0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return static_cast<unsigned int>((negative ? 0u - value : value) & 0xFFu);
}

uint32_t NodeOf(const char* addrText)
{
    return GetIpAddrLastValue(addrText) >> kNodeShift;
}

// Every 2-byte word of a buffer reversed in place (a 2000-word read or write converts 4000 bytes).
// Four words at a time: the bytes of each 16-bit lane of a 64-bit block trade places.
void SwapWords(char* data, size_t words)
{
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        uint64_t block;
        std::memcpy(&block, data + 2 * i, sizeof(block));
        block = ((block >> 8) & kLowBytes) | ((block & kLowBytes) << 8);
        std::memcpy(data + 2 * i, &block, sizeof(block));
    }
    for (; i < words; ++i) {
        std::swap(data[2 * i], data[2 * i + 1]);
    }
}

bool IsWordArea(uint8_t area)
{
    return area == AREA_CIO_WORD || area == AREA_CIO_WORD_B || area == AREA_DM_WORD;
}

bool IsCioArea(uint8_t area)
{
    return area == AREA_CIO_BIT || area == AREA_CIO_BIT_B || area == AREA_CIO_WORD ||
           area == AREA_CIO_WORD_B;
}

bool IsDmArea(uint8_t area)
{
    return area == AREA_DM_WORD || area == AREA_DM_BIT;
}

// The 6-byte memory area command at the start of a body; the caller has converted wAddr and
// wCount to host order (in place or not) as the command requires.
_FinsReadCmd AreaCommandOf(const char* body)
{
    _FinsReadCmd cmd;
    std::memcpy(&cmd, body, kReadCmdLen);
    return cmd;
}

// CIO words from 0x8000 on are the application's output words, from 0 its input words. The
// command's address becomes the word address inside the chosen segment.
AppAreaMemType MapCioAddress(_FinsReadCmd& cmd)
{
    if ((cmd.wAddr & kCioOutputBase) != 0) {
        cmd.wAddr = static_cast<uint16_t>(cmd.wAddr - kCioOutputBase);
        return APP_AREA_Q;
    }
    return APP_AREA_I;
}

// The range rule, in unsigned 32-bit arithmetic on purpose: a zero count at the very start of a
// segment wraps the end test and is refused with RESP_END_OUT_OF_RANGE, which clients expect.
// RESP_OK when the whole range lies in a segment of segBytes bytes.
uint16_t CheckRange(uint32_t segBytes, const _FinsReadCmd& cmd, bool words)
{
    uint32_t w = cmd.wAddr;
    uint32_t n = cmd.wCount;
    uint32_t limit = words ? segBytes : segBytes * 8u;
    uint32_t first = words ? 2u * w : 16u * w + cmd.byBit;
    uint32_t last = words ? 2u * w + 2u * n - 1u : 16u * w + cmd.byBit + n - 1u;
    if (limit <= first) {
        return RESP_START_OUT_OF_RANGE;
    }
    if (limit <= last) {
        return RESP_END_OUT_OF_RANGE;
    }
    return RESP_OK;
}

CAppAreaMemmory& AppMemory()
{
    return *utility::Singleton<CAppAreaMemmory>::instance();
}

// Head of every FINS response: the FINS/TCP header (length fixed when sent) and the FINS header
// addressed from the connection's node numbers.
void StartResponse(CMessage& msg, CSocketConnection* conn, _FinsFrameHeader* header, bool tcp)
{
    if (tcp) {
        (void)msg.BuildFinsResponseTcpHeader(TCP_CMD_FRAME, 0, 0);
    }
    (void)msg.BuildFinsRWResponseFinsHeader(static_cast<int>(conn->iClientNode),
                                            static_cast<int>(conn->iServerNode), ReqIdOf(header));
}

// Range check and copy of a read, for both areas (ReadCIOArea and ReadDMArea).
int ReadArea(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
             const _FinsReadCmd& cmd, AppAreaMemType segment, std::string& out, bool tcp)
{
    CAppAreaMemmory& mem = AppMemory();
    bool words = IsWordArea(cmd.byArea);
    uint16_t code = CheckRange(mem.GetAppMemorySizeFromType(segment), cmd, words);
    if (code != RESP_OK) {
        (void)protocol.ProcessFrameErrorRequest(conn, header, code, tcp);
        return -1;
    }
    if (words) {
        return mem.ReadWordFromAppMemory(segment, cmd.wAddr, cmd.wCount, out);
    }
    return mem.ReadBitsFromAppMempry(segment, cmd.wAddr, cmd.byBit, cmd.wCount, out);
}

// A memory area read of either area: count limit, range, copy, response.
int ProcessRead(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                char* body, unsigned int bodyLen, bool tcp, bool cio)
{
    if (body == nullptr || bodyLen < kReadCmdLen || header == nullptr || conn == nullptr) {
        return -1;
    }
    _FinsReadCmd cmd = AreaCommandOf(body);
    cmd.wAddr = BigEndianField<uint16_t>(body + kAddrOffset);
    cmd.wCount = BigEndianField<uint16_t>(body + kCountOffset);
    if (cmd.wCount > kMaxReadItems) { // before any address test
        return protocol.ProcessFrameErrorRequest(conn, header, RESP_COUNT_TOO_LARGE, tcp);
    }
    CMessage response;
    StartResponse(response, conn, header, tcp);
    // The thread's read buffer keeps its capacity (at most a maximal read), so a read allocates
    // nothing once the largest size has been seen; the memory reads clear it first.
    thread_local std::string out;
    int result = cio ? protocol.ReadCIOArea(conn, header, cmd, response, out, tcp)
                     : protocol.ReadDMArea(conn, header, cmd, response, out, tcp);
    if (result != 0) {
        return -1; // the error reply, if any, has gone; this response is dropped
    }
    if (IsWordArea(cmd.byArea)) {
        if (out.size() % 2 != 0) {
            return -1;
        }
        SwapWords(&out[0], out.size() / 2); // memory words are host order, FINS big-endian
    }
    (void)response.BuildFinsResponseReadMessage(CommandOf(header), RESP_OK, &out[0],
                                                static_cast<int>(out.size()));
    protocol.SendMessage(conn, response, tcp);
    return 0;
}

// Checks of a write in their fixed order: data length, then range. RESP_OK when it may go ahead.
uint16_t CheckWrite(const _FinsReadCmd& cmd, unsigned int dataLen, uint32_t segBytes)
{
    bool words = IsWordArea(cmd.byArea);
    uint32_t expected = words ? 2u * cmd.wCount : cmd.wCount;
    if (expected != dataLen) {
        return RESP_DATA_LEN_MISMATCH;
    }
    return CheckRange(segBytes, cmd, words);
}

// A memory area write of either area. Nothing is written before every check has passed.
int ProcessWrite(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                 char* body, unsigned int bodyLen, bool tcp, bool cio)
{
    if (body == nullptr || bodyLen < kReadCmdLen || header == nullptr || conn == nullptr) {
        return -1;
    }
    (void)SwapByteOrderAll(body + kAddrOffset, sizeof(uint16_t));
    (void)SwapByteOrderAll(body + kCountOffset, sizeof(uint16_t));
    _FinsReadCmd cmd = AreaCommandOf(body);
    char* data = body + kReadCmdLen;
    unsigned int dataLen = bodyLen - kReadCmdLen;
    AppAreaMemType segment = cio ? MapCioAddress(cmd) : APP_AREA_M;
    CAppAreaMemmory& mem = AppMemory();
    uint16_t code = CheckWrite(cmd, dataLen, mem.GetAppMemorySizeFromType(segment));
    if (code != RESP_OK) {
        return protocol.ProcessFrameErrorRequest(conn, header, code, tcp);
    }
    if (IsWordArea(cmd.byArea)) {
        SwapWords(data, cmd.wCount);
        (void)mem.WriteWordToAppMemory(segment, cmd.wAddr, cmd.wCount, data);
    } else {
        (void)mem.WriteBitsToAppMemory(segment, cmd.wAddr, cmd.byBit, cmd.wCount, data);
    }
    CMessage response;
    StartResponse(response, conn, header, tcp);
    (void)response.BuildFinsResponseWriteMessage(CommandOf(header), RESP_OK);
    protocol.SendMessage(conn, response, tcp);
    return 0;
}

// The command operation of one area (ProcessCIOReadRequest and its siblings).
using AreaOperation = int (CFinsProtocol::*)(CSocketConnection*, _FinsFrameHeader*, char*,
                                             unsigned int, bool);

// Area dispatch of a read or a write by byArea: 0 once handed on, whatever the command made of it.
int DispatchByArea(CFinsProtocol& protocol, AreaOperation cio, AreaOperation dm,
                   CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                   unsigned int bodyLen, bool tcp)
{
    if (bodyLen == 0 || body == nullptr || header == nullptr || conn == nullptr) {
        return -1;
    }
    uint8_t area = static_cast<uint8_t>(body[0]);
    if (IsCioArea(area)) {
        (void)(protocol.*cio)(conn, header, body, bodyLen, tcp);
    } else if (IsDmArea(area)) {
        (void)(protocol.*dm)(conn, header, body, bodyLen, tcp);
    } else {
        return protocol.ProcessFrameErrorRequest(conn, header, RESP_BAD_AREA, tcp);
    }
    return 0;
}

} // namespace

unsigned int GetIpAddrLastValue(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    unsigned int packed = 0;
    int fields = 0;
    for (const char* field = text; field != nullptr; ++fields) {
        if (fields == kIpFields) {
            return 0; // a fifth field
        }
        packed |= FieldByte(field) << (8 * fields);
        while (*field != '.' && *field != '\0') {
            ++field;
        }
        field = *field == '.' ? field + 1 : nullptr;
    }
    return fields == kIpFields ? packed : 0;
}

int CFinsProtocol::ProcessRecvData(char* block)
{
    if (block == nullptr) {
        return -1;
    }
    _SockMsgHeader head;
    std::memcpy(&head, block, sizeof(head));
    char* frame = SockMsgPayload(block);
    int error = 0;
    if (CheckFinsOneFrame(frame, head.iLen, &error)) {
        return ProcessOneFinsFrame(head.pConn, frame, head.iLen);
    }
    if (head.pConn != nullptr) {
        // Before a completed handshake the client still expects node-response framing.
        uint32_t command = head.pConn->IsHandShake() ? TCP_CMD_FRAME : TCP_CMD_NODE_RESPONSE;
        (void)ProcessErrorRequest(head.pConn, static_cast<int>(command), error);
    }
    return error;
}

bool CFinsProtocol::CheckFinsOneFrame(char* frame, unsigned int len, int* error)
{
    int reason = 0;
    bool accepted = false;
    if (frame == nullptr) {
        reason = -1;
    } else if (len < sizeof(_FINSTcpHeader)) {
        reason = TCP_ERR_BAD_LENGTH;
    } else if (std::memcmp(frame, kFinsMagic, sizeof(kFinsMagic)) != 0) {
        if (s_noMagicLimit.Admit()) {
            kelLogAddErrorF(kMsgNoMagic);
        }
        reason = TCP_ERR_NO_MAGIC;
    } else {
        // Wide sum: a length field near 2^32 must not wrap into acceptance.
        uint64_t length = BigEndianField<uint32_t>(frame + kLengthOffset);
        accepted = len <= length + kFinsTcpLengthFieldEnd;
        reason = accepted ? 0 : TCP_ERR_BAD_LENGTH;
    }
    if (error != nullptr && !accepted) {
        *error = reason;
    }
    return accepted;
}

int CFinsProtocol::ProcessOneFinsFrame(CSocketConnection* conn, char* frame, unsigned int len)
{
    if (conn == nullptr || frame == nullptr || len < sizeof(_FINSTcpHeader)) {
        return -1;
    }
    _FINSTcpHeader header;
    std::memcpy(&header, frame, sizeof(header));
    header.dwLength = BigEndianField<uint32_t>(frame + kLengthOffset);
    header.dwCommand = BigEndianField<uint32_t>(frame + kCommandOffset);
    // The body is what the length field announces, but never more than the frame holds: a frame
    // shorter than its length field (or a length field below 8) must not send the parsers past it.
    unsigned int present = len - static_cast<unsigned int>(sizeof(_FINSTcpHeader));
    unsigned int announced =
        header.dwLength >= kFinsTcpLengthFieldEnd ? header.dwLength - kFinsTcpLengthFieldEnd : 0;
    unsigned int bodyLen = announced < present ? announced : present;
    char* body = frame + sizeof(_FINSTcpHeader);
    if (header.dwCommand == TCP_CMD_NODE_REQUEST) {
        return ProcessHandShake(conn, header, body, bodyLen);
    }
    if (header.dwCommand == TCP_CMD_FRAME) {
        return ProcessRWRequest(conn, body, bodyLen, true);
    }
    return 0; // any other FINS/TCP command is dropped without a reply
}

int CFinsProtocol::ProcessHandShake(CSocketConnection* conn, _FINSTcpHeader& header, char* body,
                                    unsigned int bodyLen)
{
    (void)header; // the reply depends on the body and the connection only
    if (body == nullptr || bodyLen < kHandShakeRequestMin || conn == nullptr) {
        return -1;
    }
    // Body byte 3 is the client's node: read as a little-endian word it is in bits 24-31.
    int clientValue = HostField<int>(body);
    int serverValue = static_cast<int>(GetIpAddrLastValue(conn->szLocalAddr) & 0xFF000000u);
    CMessage reply;
    (void)reply.BuildFinsResponseTcpHeader(TCP_CMD_NODE_RESPONSE, 0, 0);
    (void)reply.BuildFinsResponseHandShakeMessage(clientValue, serverValue);
    SendMessage(conn, reply, true);
    // From now on the client speaks FINS frames, so framing errors are reported as such.
    conn->SetHandShake(true);
    return 0;
}

int CFinsProtocol::ProcessRWRequest(CSocketConnection* conn, char* fins, unsigned int len, bool tcp)
{
    if (fins == nullptr || len < kFinsMinFrame || conn == nullptr) {
        return -1;
    }
    auto* header = reinterpret_cast<_FinsFrameHeader*>(fins);
    conn->iClientNode = NodeOf(conn->szPeerAddr);
    conn->iServerNode = NodeOf(conn->szLocalAddr);
    if (conn->iServerNode == 0) { // wildcard-bound (UDP): the node the client addressed
        conn->iServerNode = static_cast<unsigned char>(fins[kDstNodeOffset]);
    }
    // Converted before any reply is built, so every reply (error or not) writes it back high
    // byte first and echoes the request's two bytes in the order received.
    (void)SwapByteOrderAll(fins + kCmdOffset, sizeof(uint16_t));
    if (len < kFinsMinCommandFrame) {
        return ProcessFrameErrorRequest(conn, header, RESP_FRAME_TOO_SHORT, tcp);
    }
    if (std::memcmp(fins, kFinsRequestPrefix, sizeof(kFinsRequestPrefix)) != 0) {
        return ProcessFrameErrorRequest(conn, header, RESP_BAD_HEADER, tcp);
    }
    uint16_t command = static_cast<uint16_t>(CommandOf(header));
    char* body = fins + sizeof(_FinsFrameHeader);
    unsigned int bodyLen = len - static_cast<unsigned int>(sizeof(_FinsFrameHeader));
    if (command == FINS_CMD_READ) {
        (void)ProcessReadRequest(conn, header, body, bodyLen, tcp);
    } else if (command == FINS_CMD_WRITE) {
        (void)ProcessWriteRequest(conn, header, body, bodyLen, tcp);
    } else {
        if (s_badCommandLimit.Admit()) {
            kelLogAddErrorF(kMsgBadCommand, static_cast<unsigned int>(command));
        }
        return ProcessFrameErrorRequest(conn, header, RESP_CMD_NOT_SUPPORTED, tcp);
    }
    return 0;
}

int CFinsProtocol::ProcessReadRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                                      unsigned int bodyLen, bool tcp)
{
    return DispatchByArea(*this, &CFinsProtocol::ProcessCIOReadRequest,
                          &CFinsProtocol::ProcessDMReadRequest, conn, header, body, bodyLen, tcp);
}

int CFinsProtocol::ProcessWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                       char* body, unsigned int bodyLen, bool tcp)
{
    return DispatchByArea(*this, &CFinsProtocol::ProcessCIOWriteRequest,
                          &CFinsProtocol::ProcessDMWriteRequest, conn, header, body, bodyLen, tcp);
}

int CFinsProtocol::ProcessErrorRequest(CSocketConnection* conn, int command, int errorCode)
{
    if (conn == nullptr) {
        return -1;
    }
    CMessage reply;
    (void)reply.BuildFinsResponseTcpHeader(command, 0, errorCode);
    SendMessage(conn, reply, true);
    return 0;
}

int CFinsProtocol::ProcessFrameErrorRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                            int respCode, bool tcp)
{
    if (conn == nullptr || header == nullptr) {
        return -1;
    }
    CMessage reply;
    StartResponse(reply, conn, header, tcp);
    (void)reply.BuildFinsResponseWriteMessage(CommandOf(header), static_cast<short>(respCode));
    SendMessage(conn, reply, tcp);
    return 0;
}

void CFinsProtocol::SendMessage(CSocketConnection* conn, CMessage& msg, bool withTcpHeader)
{
    if (conn == nullptr) {
        return;
    }
    int len = msg.GetMessageLen();
    if (withTcpHeader) {
        msg.SetPacketLen(len);
    }
    // The record copies the bytes into its own send block; msg may go as soon as this returns.
    (void)conn->send_message(msg.GetMessageBuffer(), len);
}

int CFinsProtocol::ProcessCIOReadRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                         char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessRead(*this, conn, header, body, bodyLen, tcp, true);
}

int CFinsProtocol::ProcessDMReadRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                        char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessRead(*this, conn, header, body, bodyLen, tcp, false);
}

int CFinsProtocol::ReadCIOArea(CSocketConnection* conn, _FinsFrameHeader* header, _FinsReadCmd& cmd,
                               CMessage& response, std::string& out, bool tcp)
{
    (void)response; // composed by the caller once the data are known
    AppAreaMemType segment = MapCioAddress(cmd);
    return ReadArea(*this, conn, header, cmd, segment, out, tcp);
}

int CFinsProtocol::ReadDMArea(CSocketConnection* conn, _FinsFrameHeader* header, _FinsReadCmd& cmd,
                              CMessage& response, std::string& out, bool tcp)
{
    (void)response;
    return ReadArea(*this, conn, header, cmd, APP_AREA_M, out, tcp);
}

int CFinsProtocol::ProcessCIOWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                          char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessWrite(*this, conn, header, body, bodyLen, tcp, true);
}

int CFinsProtocol::ProcessDMWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                         char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessWrite(*this, conn, header, body, bodyLen, tcp, false);
}
