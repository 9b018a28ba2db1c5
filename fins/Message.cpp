// One FINS response under construction. Every multi-byte field is written high byte first, the way
// FINS carries it; the builders only append, so a response is composed in wire order.
#include "fins/Message.h"

#include <algorithm>
#include <cstring>

#include "fins/FinsLink.h"

namespace {

constexpr int kTcpHeaderLen = 16;
constexpr int kHandShakeBodyLen = 8;
constexpr int kFinsHeaderLen = 10;
constexpr int kCommandAndCodeLen = 4;
constexpr int kLengthFieldOffset = 4;
constexpr int kLengthFieldEnd = 8; // magic and dwLength precede what dwLength counts

void PutBig16(char* at, unsigned int value)
{
    at[0] = static_cast<char>((value >> 8) & 0xFF);
    at[1] = static_cast<char>(value & 0xFF);
}

void PutBig32(char* at, unsigned int value)
{
    PutBig16(at, value >> 16);
    PutBig16(at + 2, value);
}

char LowByte(int value)
{
    return static_cast<char>(value & 0xFF);
}

char TopByte(int value)
{
    return static_cast<char>((static_cast<unsigned int>(value) >> 24) & 0xFF);
}

} // namespace

CMessage::CMessage(int capacity)
    : m_iLen(0), m_iCapacity(std::min(std::max(capacity, 0), kMessageCapacity)),
      m_pBlock(SockMsgNewBlock(static_cast<size_t>(m_iCapacity))),
      m_pBuffer(m_pBlock != nullptr ? SockMsgPayload(m_pBlock) : nullptr)
{}

CMessage::~CMessage()
{
    delete[] m_pBlock;
}

char* CMessage::ReleaseBlock()
{
    char* block = m_pBlock;
    m_pBlock = nullptr;
    m_pBuffer = nullptr;
    m_iLen = 0;
    m_iCapacity = 0;
    return block;
}

// Room for n more bytes at the end: null when there is no buffer, or when n bytes would not fit.
// The callers size every message for its response; this only refuses to overrun it.
char* CMessage::Reserve(int n)
{
    if (m_pBuffer == nullptr || n < 0 || n > m_iCapacity - m_iLen) {
        return nullptr;
    }
    char* at = m_pBuffer + m_iLen;
    m_iLen += n;
    return at;
}

int CMessage::BuildFinsResponseTcpHeader(int command, int dataLen, int errorCode)
{
    char* at = Reserve(kTcpHeaderLen);
    if (at == nullptr) {
        return -1;
    }
    std::memcpy(at, "FINS", 4);
    // Only the low 16 bits of the length are filled here; SetPacketLen writes the whole field.
    at[4] = 0;
    at[5] = 0;
    PutBig16(at + 6, static_cast<unsigned int>(dataLen + kLengthFieldEnd));
    std::memset(at + 8, 0, 3);
    at[11] = LowByte(command);
    PutBig32(at + 12, static_cast<unsigned int>(errorCode));
    return 0;
}

int CMessage::BuildFinsResponseHandShakeMessage(int clientValue, int serverValue)
{
    char* at = Reserve(kHandShakeBodyLen);
    if (at == nullptr) {
        return -1;
    }
    // The node numbers travel in the top byte of each value: the client's is body byte 3 of the
    // request read as a little-endian word.
    std::memset(at, 0, kHandShakeBodyLen);
    at[3] = TopByte(clientValue);
    at[7] = TopByte(serverValue);
    return 0;
}

int CMessage::BuildFinsRWResponseFinsHeader(int clientNode, int serverNode, int reqId)
{
    char* at = Reserve(kFinsHeaderLen);
    if (at == nullptr) {
        return -1;
    }
    // ICF C0 (response, no reply wanted), RSV 00, GCT 02; DA1 the client, SA1 this server.
    const char header[kFinsHeaderLen] = {
        static_cast<char>(0xC0), 0x00, 0x02,          0x00, LowByte(clientNode), 0x00, 0x00,
        LowByte(serverNode),     0x00, LowByte(reqId)};
    std::memcpy(at, header, kFinsHeaderLen);
    return 0;
}

int CMessage::BuildFinsResponseFinsHeaderFor(const unsigned char* request)
{
    constexpr int kDst = 3; // DNA, DA1, DA2 of the request
    constexpr int kSrc = 6; // SNA, SA1, SA2 of the request
    constexpr int kSid = 9;
    char* at = request != nullptr ? Reserve(kFinsHeaderLen) : nullptr;
    if (at == nullptr) {
        return -1;
    }
    // ICF C0, RSV 00, GCT 02, then the two addresses traded: clients compare the response's
    // addresses byte for byte with those they sent.
    const char header[kFinsHeaderLen] = {static_cast<char>(0xC0),
                                         0x00,
                                         0x02,
                                         static_cast<char>(request[kSrc]),
                                         static_cast<char>(request[kSrc + 1]),
                                         static_cast<char>(request[kSrc + 2]),
                                         static_cast<char>(request[kDst]),
                                         static_cast<char>(request[kDst + 1]),
                                         static_cast<char>(request[kDst + 2]),
                                         static_cast<char>(request[kSid])};
    std::memcpy(at, header, kFinsHeaderLen);
    return 0;
}

int CMessage::BuildFinsResponseReadMessage(short finsCmd, short respCode, char* data, int dataLen)
{
    if (data == nullptr || dataLen < 0) {
        return -1;
    }
    char* at = Reserve(kCommandAndCodeLen + dataLen);
    if (at == nullptr) {
        return -1;
    }
    PutBig16(at, static_cast<unsigned short>(finsCmd));
    PutBig16(at + 2, static_cast<unsigned short>(respCode));
    std::memcpy(at + kCommandAndCodeLen, data, static_cast<size_t>(dataLen));
    return 0;
}

int CMessage::BuildFinsResponseWriteMessage(short finsCmd, short respCode)
{
    char* at = Reserve(kCommandAndCodeLen);
    if (at == nullptr) {
        return -1;
    }
    PutBig16(at, static_cast<unsigned short>(finsCmd));
    PutBig16(at + 2, static_cast<unsigned short>(respCode));
    return 0;
}

void CMessage::SetPacketLen(int totalLen)
{
    if (m_pBuffer == nullptr || m_iLen < kLengthFieldEnd) {
        return;
    }
    PutBig32(m_pBuffer + kLengthFieldOffset, static_cast<unsigned int>(totalLen - kLengthFieldEnd));
}

char* CMessage::GetMessageBuffer()
{
    return m_pBuffer;
}

int CMessage::GetMessageLen()
{
    return m_iLen;
}
