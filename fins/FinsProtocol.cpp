// The FINS protocol: FINS/TCP frames and FINS/UDP datagrams in, responses out through the record's
// send queue through the link to the network. Runs on the event loop's reader thread only (one
// frame at a time); holds no state of its own beyond what its owner hands it: the link, the
// application's memory and the policy.
// Requests may sit at any alignment in their buffer, so multi-byte fields are only ever reached
// through byte copies, never through a typed pointer into the buffer.
#include "fins/FinsProtocol.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "appmem/AppAreaMem.h"
#include "base/LogLimiter.h"
#include "base/kellog.h"
#include "fins/FinsArea.h"
#include "fins/FinsCommands.h"
#include "utility/ByteOrder.h"

namespace {

constexpr const char* kMsgNoMagic = "not find fins form one frame";
constexpr const char* kMsgBadCommand = "Not Support FinsCmd:%x";
constexpr const char* kMsgReadOnly = "client:%s write into a read-only area refused (command %04x)";
constexpr const char* kMsgNotWriter =
    "client:%s not in the write allow list, write refused (command %04x)";
constexpr const char* kMsgWrote = "client:%s wrote %s (%04x)";
constexpr const char* kMsgResponseDropped = "client:%s sent a response frame (ICF %02x), dropped";

// Any peer can send these at line rate: each text is limited so it cannot fill the runtime's log.
CLogLimiter s_noMagicLimit(kMsgNoMagic, kLogLimitPeerLines);
CLogLimiter s_badCommandLimit(kMsgBadCommand, kLogLimitPeerLines);
CLogLimiter s_readOnlyLimit(kMsgReadOnly, kLogLimitPeerLines);
CLogLimiter s_notWriterLimit(kMsgNotWriter, kLogLimitPeerLines);
CLogLimiter s_wroteLimit(kMsgWrote, kLogLimitPeerLines);
CLogLimiter s_responseLimit(kMsgResponseDropped, kLogLimitPeerLines);

constexpr int kIpFields = 4;
constexpr unsigned int kNodeShift = 24; // a node sits in bits 24-31 of a handshake word
constexpr size_t kCmdOffset = offsetof(_FinsFrameHeader, wFinsCmd);
constexpr size_t kHandShakeNodeByte = 3; // the client's node in a node address request
constexpr size_t kLengthOffset = offsetof(_FINSTcpHeader, dwLength);
constexpr size_t kCommandOffset = offsetof(_FINSTcpHeader, dwCommand);
constexpr unsigned int kReadCmdLen = sizeof(_FinsReadCmd);
constexpr size_t kAddrOffset = offsetof(_FinsReadCmd, wAddr);
constexpr size_t kCountOffset = offsetof(_FinsReadCmd, wCount);

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

// The 6-byte memory area command at the start of a body; the caller has converted wAddr and
// wCount to host order (in place or not) as the command requires.
_FinsReadCmd AreaCommandOf(const char* body)
{
    _FinsReadCmd cmd;
    std::memcpy(&cmd, body, kReadCmdLen);
    return cmd;
}

// The client's address for a log line.
const char* PeerText(CFinsProtocol& protocol, CSocketConnection* conn)
{
    IFinsLink* link = protocol.GetLink();
    return link != nullptr ? link->PeerAddrText(conn) : "";
}

// The refusal of a write into a protected area, and its log line.
int RefuseReadOnly(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                   bool tcp)
{
    s_readOnlyLimit.WarnF(kMsgReadOnly, PeerText(protocol, conn),
                          static_cast<unsigned int>(static_cast<uint16_t>(CommandOf(header))));
    return protocol.ProcessFrameErrorRequest(conn, header, RESP_READ_ONLY, tcp);
}

// Whether conn's client may change memory. The link is asked for the address only when the
// policy names the writers, so without a write-allow list a write costs one test more.
bool IsWriter(CFinsProtocol& protocol, CSocketConnection* conn)
{
    const FinsPolicy& policy = protocol.GetPolicy();
    if (!policy.writersNamed) {
        return true;
    }
    IFinsLink* link = protocol.GetLink();
    return link != nullptr && policy.AllowsWriter(link->PeerAddr(conn));
}

// The refusal of a write from a client the write-allow list leaves out: the same answer as for a
// read-only area, its own log line.
int RefuseNotWriter(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                    bool tcp)
{
    s_notWriterLimit.WarnF(kMsgNotWriter, PeerText(protocol, conn),
                           static_cast<unsigned int>(static_cast<uint16_t>(CommandOf(header))));
    return protocol.ProcessFrameErrorRequest(conn, header, RESP_READ_ONLY, tcp);
}

// A write, fill or transfer that was carried out, logged when the policy asks for it: the client,
// the items written (as sent) and the command. Nothing for a count of 0, which writes nothing.
void LogWrite(CFinsProtocol& protocol, CSocketConnection* conn, const _FinsFrameHeader* header,
              const _FinsReadCmd& written, const FinsLocation& where)
{
    if (!protocol.GetPolicy().logWrites || written.wCount == 0) {
        return;
    }
    s_wroteLimit.InfoF(kMsgWrote, PeerText(protocol, conn), FinsRangeText(written, where).c_str(),
                       static_cast<unsigned int>(static_cast<uint16_t>(CommandOf(header))));
}

// Head of every FINS response: the FINS/TCP header (length fixed when sent) and the FINS header
// that mirrors the request's addresses.
void StartResponse(CMessage& msg, _FinsFrameHeader* header, bool tcp)
{
    if (tcp) {
        (void)msg.BuildFinsResponseTcpHeader(TCP_CMD_FRAME, 0, 0);
    }
    (void)msg.BuildFinsResponseFinsHeaderFor(reinterpret_cast<const unsigned char*>(header));
}

bool IsResponseFrame(const char* fins)
{
    return (static_cast<uint8_t>(fins[0]) & kIcfResponseBit) != 0;
}

// Sends a finished FINS response, unless the request's ICF asked for none: such a request is
// carried out all the same, and neither its result nor an error goes back. Nor does anything go
// back to a frame that is itself a response, whichever path got here.
void SendResponse(CFinsProtocol& protocol, CSocketConnection* conn, const _FinsFrameHeader* header,
                  CMessage& msg, bool tcp)
{
    if (static_cast<uint8_t>(Bytes(header)[0]) == kIcfRequestNoReply ||
        IsResponseFrame(Bytes(header))) {
        return;
    }
    protocol.SendMessage(conn, msg, tcp);
}

// The request header bytes 0-2 this server accepts (see kIcfRequest and its neighbours).
bool IsAcceptedPrefix(const _FinsFrameHeader* header)
{
    const auto* prefix = reinterpret_cast<const uint8_t*>(Bytes(header));
    return (prefix[0] == kIcfRequest || prefix[0] == kIcfRequestNoReply) && prefix[1] == 0 &&
           prefix[2] <= kFinsMaxGatewayCount;
}

// A controller command (CFinsCommands): its data, or the error it ends with, as the response.
int ProcessController(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                      const char* body, unsigned int bodyLen, bool tcp)
{
    // Kept per thread, as the read buffer below: no allocation once the largest size was seen.
    thread_local std::string data;
    const auto command = static_cast<uint16_t>(CommandOf(header));
    const bool writes = CFinsCommands::Writes(command);
    const bool writer = !writes || IsWriter(protocol, conn);
    CFinsCommands commands(protocol.GetMemory(), protocol.GetPolicy(), protocol.GetAreaMap(),
                           writer);
    uint16_t code = commands.Execute(command, body, bodyLen, data);
    if (code == RESP_READ_ONLY) {
        return writer ? RefuseReadOnly(protocol, conn, header, tcp)
                      : RefuseNotWriter(protocol, conn, header, tcp);
    }
    if (code != RESP_OK) {
        return protocol.ProcessFrameErrorRequest(conn, header, code, tcp);
    }
    if (writes) {
        LogWrite(protocol, conn, header, commands.Written(), commands.WrittenAt());
    }
    CMessage response(kResponseHeadLen + static_cast<int>(data.size()));
    StartResponse(response, header, tcp);
    (void)response.BuildFinsResponseReadMessage(CommandOf(header), RESP_OK, &data[0],
                                                static_cast<int>(data.size()));
    SendResponse(protocol, conn, header, response, tcp);
    return 0;
}

// The memory command at the start of a body with its address and count in host order.
_FinsReadCmd HostAreaCommandOf(const char* body)
{
    _FinsReadCmd cmd = AreaCommandOf(body);
    cmd.wAddr = BigEndianField<uint16_t>(body + kAddrOffset);
    cmd.wCount = BigEndianField<uint16_t>(body + kCountOffset);
    return cmd;
}

// Where a read lands: RESP_OK, or the code the request ends with. The area comes first, then the
// count limit (before any address test), then the ranges.
uint16_t LocateRead(CFinsProtocol& protocol, const _FinsReadCmd& cmd, FinsLocation& where)
{
    const CFinsAreaMap& map = protocol.GetAreaMap();
    if (map.ItemBytes(cmd.byArea) == 0) {
        return RESP_BAD_AREA;
    }
    if (cmd.wCount > kMaxReadItems) {
        return RESP_COUNT_TOO_LARGE;
    }
    return map.Locate(protocol.GetMemory(), cmd, where);
}

// Range check and copy of a read into a string (ReadCIOArea and ReadDMArea).
int ReadArea(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
             const _FinsReadCmd& cmd, std::string& out, bool tcp)
{
    FinsLocation where;
    const uint16_t code = LocateRead(protocol, cmd, where);
    if (code != RESP_OK) {
        (void)protocol.ProcessFrameErrorRequest(conn, header, code, tcp);
        return -1;
    }
    CAppAreaMemmory& mem = protocol.GetMemory();
    if (where.words) {
        return mem.ReadWordFromAppMemory(where.segment, static_cast<int>(where.word), cmd.wCount,
                                         out);
    }
    return mem.ReadBitsFromAppMempry(where.segment, static_cast<int>(where.word),
                                     static_cast<int>(where.bit), cmd.wCount, out);
}

// Bytes of a read's data: two per word, one per bit or flag.
int ReadDataLen(const FinsLocation& where, uint16_t count)
{
    return where.words ? 2 * count : count;
}

// The data of a checked read, appended straight from memory to the response (words big-endian,
// as FINS carries them; memory holds them in host order): 0, or -1 when there is nothing to send.
int AppendReadData(CAppAreaMemmory& mem, CMessage& response, const FinsLocation& where,
                   uint16_t count)
{
    char* at = response.Reserve(ReadDataLen(where, count));
    if (at == nullptr) {
        return -1;
    }
    if (!where.words) {
        return mem.ReadBitsIntoBuffer(where.segment, static_cast<int>(where.word),
                                      static_cast<int>(where.bit), count, at);
    }
    // Host-order words go out big-endian: converted on their one way from memory to the response.
    const char* words = mem.GetAppMemoryAddrFromType(where.segment);
    if (words == nullptr) {
        return -1;
    }
    SwapWordsInto(at, words + 2 * static_cast<size_t>(where.word), count);
    return 0;
}

// A memory area read of any mapped area: area, count limit, range, then the response, built once
// in a block of its size with the data read into it.
int ProcessRead(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                char* body, unsigned int bodyLen, bool tcp)
{
    if (body == nullptr || bodyLen < kReadCmdLen || header == nullptr || conn == nullptr) {
        return -1;
    }
    const _FinsReadCmd cmd = HostAreaCommandOf(body);
    FinsLocation where;
    const uint16_t code = LocateRead(protocol, cmd, where);
    if (code != RESP_OK) {
        return protocol.ProcessFrameErrorRequest(conn, header, code, tcp);
    }
    CMessage response(kResponseHeadLen + ReadDataLen(where, cmd.wCount));
    StartResponse(response, header, tcp);
    // Command and response code: the read message's head, its data read in behind it.
    (void)response.BuildFinsResponseWriteMessage(CommandOf(header), RESP_OK);
    if (AppendReadData(protocol.GetMemory(), response, where, cmd.wCount) != 0) {
        return -1; // an absent segment: the response is dropped
    }
    SendResponse(protocol, conn, header, response, tcp);
    return 0;
}

// Checks of a write's parameters in their fixed order: area, data length, range. RESP_OK when
// they pass, with `where` filled in; the write protections come after them.
uint16_t CheckWrite(CFinsProtocol& protocol, const _FinsReadCmd& cmd, unsigned int dataLen,
                    FinsLocation& where)
{
    const CFinsAreaMap& map = protocol.GetAreaMap();
    const unsigned itemBytes = map.ItemBytes(cmd.byArea);
    if (itemBytes == 0) {
        return RESP_BAD_AREA;
    }
    if (itemBytes * cmd.wCount != dataLen) {
        return RESP_DATA_LEN_MISMATCH;
    }
    return map.Locate(protocol.GetMemory(), cmd, where);
}

// A memory area write of any mapped area. Nothing is written before every check has passed.
int ProcessWrite(CFinsProtocol& protocol, CSocketConnection* conn, _FinsFrameHeader* header,
                 char* body, unsigned int bodyLen, bool tcp)
{
    if (body == nullptr || bodyLen < kReadCmdLen || header == nullptr || conn == nullptr) {
        return -1;
    }
    const _FinsReadCmd cmd = HostAreaCommandOf(body);
    char* data = body + kReadCmdLen;
    FinsLocation where;
    const uint16_t code = CheckWrite(protocol, cmd, bodyLen - kReadCmdLen, where);
    if (code != RESP_OK) {
        return protocol.ProcessFrameErrorRequest(conn, header, code, tcp);
    }
    if (!IsWriter(protocol, conn)) {
        return RefuseNotWriter(protocol, conn, header, tcp);
    }
    if (CheckWritable(protocol.GetPolicy(), where) != RESP_OK) {
        return RefuseReadOnly(protocol, conn, header, tcp);
    }
    CAppAreaMemmory& mem = protocol.GetMemory();
    const int word = static_cast<int>(where.word);
    if (where.words) {
        SwapWords(data, cmd.wCount);
        (void)mem.WriteWordToAppMemory(where.segment, word, cmd.wCount, data);
    } else {
        (void)mem.WriteBitsToAppMemory(where.segment, word, static_cast<int>(where.bit), cmd.wCount,
                                       data);
    }
    LogWrite(protocol, conn, header, cmd, where);
    CMessage response;
    StartResponse(response, header, tcp);
    (void)response.BuildFinsResponseWriteMessage(CommandOf(header), RESP_OK);
    SendResponse(protocol, conn, header, response, tcp);
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
        packed |= (static_cast<unsigned int>(std::strtol(field, nullptr, 10)) & 0xFFu)
                  << (8 * fields);
        while (*field != '.' && *field != '\0') {
            ++field;
        }
        field = *field == '.' ? field + 1 : nullptr;
    }
    return fields == kIpFields ? packed : 0;
}

void CFinsProtocol::SetLink(IFinsLink* link)
{
    m_link = link;
}

IFinsLink* CFinsProtocol::GetLink() const
{
    return m_link;
}

void CFinsProtocol::SetMemory(CAppAreaMemmory* memory)
{
    m_memory = memory != nullptr ? memory : &m_noMemory;
}

CAppAreaMemmory& CFinsProtocol::GetMemory() const
{
    return *m_memory;
}

void CFinsProtocol::SetPolicy(const FinsPolicy& policy)
{
    m_policy = policy;
}

const FinsPolicy& CFinsProtocol::GetPolicy() const
{
    return m_policy;
}

void CFinsProtocol::SetAreaMap(const CFinsAreaMap& map)
{
    m_areaMap = map;
}

const CFinsAreaMap& CFinsProtocol::GetAreaMap() const
{
    return m_areaMap;
}

int CFinsProtocol::ProcessRecvData(char* block)
{
    if (block == nullptr || m_link == nullptr) {
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
        uint32_t command = m_link->IsHandShake(head.pConn) ? TCP_CMD_FRAME : TCP_CMD_NODE_RESPONSE;
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
        s_noMagicLimit.ErrorF(kMsgNoMagic);
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
    if (body == nullptr || bodyLen < kHandShakeRequestMin || conn == nullptr || m_link == nullptr) {
        return -1;
    }
    const FinsNodes nodes = m_link->AddressNodes(conn);
    // Body byte 3 is the client's node: read as a little-endian word it is in bits 24-31. Node 0
    // asks the server to assign one: the last field of the client's address, the node every
    // response to it then carries as destination.
    int clientValue = HostField<int>(body);
    if (body[kHandShakeNodeByte] == 0) {
        clientValue = static_cast<int>(nodes.client << kNodeShift);
    }
    int serverValue = static_cast<int>(nodes.server << kNodeShift);
    CMessage reply;
    (void)reply.BuildFinsResponseTcpHeader(TCP_CMD_NODE_RESPONSE, 0, 0);
    (void)reply.BuildFinsResponseHandShakeMessage(clientValue, serverValue);
    SendMessage(conn, reply, true);
    // From now on the client speaks FINS frames, so framing errors are reported as such.
    m_link->SetHandShake(conn);
    return 0;
}

int CFinsProtocol::ProcessRWRequest(CSocketConnection* conn, char* fins, unsigned int len, bool tcp)
{
    if (fins == nullptr || len < kFinsMinFrame || conn == nullptr || m_link == nullptr) {
        return -1;
    }
    if (IsResponseFrame(fins)) {
        s_responseLimit.WarnF(kMsgResponseDropped, m_link->PeerAddrText(conn),
                              static_cast<unsigned int>(static_cast<uint8_t>(fins[0])));
        return 0;
    }
    auto* header = reinterpret_cast<_FinsFrameHeader*>(fins);
    // Converted before any reply is built, so every reply (error or not) writes it back high
    // byte first and echoes the request's two bytes in the order received.
    (void)SwapByteOrderAll(fins + kCmdOffset, sizeof(uint16_t));
    if (!IsAcceptedPrefix(header)) {
        return ProcessFrameErrorRequest(conn, header, RESP_BAD_HEADER, tcp);
    }
    uint16_t command = static_cast<uint16_t>(CommandOf(header));
    char* body = fins + sizeof(_FinsFrameHeader);
    unsigned int bodyLen = len - static_cast<unsigned int>(sizeof(_FinsFrameHeader));
    if (command == FINS_CMD_READ || command == FINS_CMD_WRITE) {
        if (bodyLen < kReadCmdLen) { // the memory commands need their whole area command
            return ProcessFrameErrorRequest(conn, header, RESP_FRAME_TOO_SHORT, tcp);
        }
        (void)(command == FINS_CMD_READ ? ProcessReadRequest(conn, header, body, bodyLen, tcp)
                                        : ProcessWriteRequest(conn, header, body, bodyLen, tcp));
    } else if (CFinsCommands::Handles(command)) {
        return ProcessController(*this, conn, header, body, bodyLen, tcp);
    } else {
        s_badCommandLimit.ErrorF(kMsgBadCommand, static_cast<unsigned int>(command));
        return ProcessFrameErrorRequest(conn, header, RESP_UNDEFINED_COMMAND, tcp);
    }
    return 0;
}

int CFinsProtocol::ProcessReadRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                                      unsigned int bodyLen, bool tcp)
{
    return ProcessRead(*this, conn, header, body, bodyLen, tcp);
}

int CFinsProtocol::ProcessWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                       char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessWrite(*this, conn, header, body, bodyLen, tcp);
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
    StartResponse(reply, header, tcp);
    (void)reply.BuildFinsResponseWriteMessage(CommandOf(header), static_cast<short>(respCode));
    SendResponse(*this, conn, header, reply, tcp);
    return 0;
}

void CFinsProtocol::SendMessage(CSocketConnection* conn, CMessage& msg, bool withTcpHeader)
{
    if (conn == nullptr || m_link == nullptr) {
        return;
    }
    int len = msg.GetMessageLen();
    if (withTcpHeader) {
        msg.SetPacketLen(len);
    }
    // The message was built in its send block: the record takes it over as it is.
    char* block = msg.ReleaseBlock();
    if (block != nullptr) {
        (void)m_link->SendReply(conn, block, static_cast<uint32_t>(len));
    }
}

int CFinsProtocol::ProcessCIOReadRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                         char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessRead(*this, conn, header, body, bodyLen, tcp);
}

int CFinsProtocol::ProcessDMReadRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                        char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessRead(*this, conn, header, body, bodyLen, tcp);
}

int CFinsProtocol::ReadCIOArea(CSocketConnection* conn, _FinsFrameHeader* header, _FinsReadCmd& cmd,
                               CMessage& response, std::string& out, bool tcp)
{
    (void)response; // composed by the caller once the data are known
    return ReadArea(*this, conn, header, cmd, out, tcp);
}

int CFinsProtocol::ReadDMArea(CSocketConnection* conn, _FinsFrameHeader* header, _FinsReadCmd& cmd,
                              CMessage& response, std::string& out, bool tcp)
{
    (void)response;
    return ReadArea(*this, conn, header, cmd, out, tcp);
}

int CFinsProtocol::ProcessCIOWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                          char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessWrite(*this, conn, header, body, bodyLen, tcp);
}

int CFinsProtocol::ProcessDMWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header,
                                         char* body, unsigned int bodyLen, bool tcp)
{
    return ProcessWrite(*this, conn, header, body, bodyLen, tcp);
}
