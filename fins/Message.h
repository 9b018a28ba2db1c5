// One FINS response under construction, composed in place in what becomes its send block: the
// block header (_SockMsgHeader) is reserved in front of the buffer the builders append to, so the
// response is handed to the connection without a copy (ReleaseBlock). The buffer is sized for the
// response being built. Lives on the stack of the operation that sends it, on one thread. Only the
// first GetMessageLen() bytes are defined.
#pragma once

// The largest response: the FINS/TCP and FINS headers, the codes and a maximal read (2000 words).
constexpr int kMessageCapacity = 4096;
// The longest response without data: FINS/TCP header, FINS header, command and response code.
constexpr int kResponseHeadLen = 30;

class CMessage
{
public:
    // Room for `capacity` bytes (at most kMessageCapacity); no buffer when memory is short.
    explicit CMessage(int capacity = kResponseHeadLen);
    ~CMessage();
    CMessage(const CMessage&) = delete;
    CMessage& operator=(const CMessage&) = delete;

    // Every builder appends at the current length and returns 0, or -1 without writing when the
    // message has no buffer.
    int BuildFinsResponseTcpHeader(int command, int dataLen, int errorCode);
    int BuildFinsResponseHandShakeMessage(int clientValue, int serverValue);
    int BuildFinsRWResponseFinsHeader(int clientNode, int serverNode, int reqId);
    // The FINS header answering a request whose kFinsHeaderLen header bytes are at `request`: its
    // source network, node and unit (SNA, SA1, SA2) as destination, its destination as source,
    // its request id.
    int BuildFinsResponseFinsHeaderFor(const unsigned char* request);
    int BuildFinsResponseReadMessage(short finsCmd, short respCode, char* data, int dataLen);
    int BuildFinsResponseWriteMessage(short finsCmd, short respCode);
    // Writes totalLen - 8 into the leading FINS/TCP header's length field (8 bytes or more only).
    void SetPacketLen(int totalLen);
    char* GetMessageBuffer();
    int GetMessageLen();
    // Room for n more bytes at the end, for the caller to fill (advances the length): null without
    // a buffer or when n bytes would not fit.
    char* Reserve(int n);
    // The send block the message was built in (header reserved, not filled; GetMessageLen() payload
    // bytes), now the caller's to release with delete[]. Null when there is no buffer; the message
    // is empty and without a buffer afterwards.
    char* ReleaseBlock();

private:
    int m_iLen;
    int m_iCapacity;
    char* m_pBlock;  // owned; null without a buffer
    char* m_pBuffer; // the payload of m_pBlock
};
