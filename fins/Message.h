// One FINS response under construction: a fixed 4096-byte buffer the builders append to, taken
// from (and given back to) a small cache of the constructing thread. Lives on the stack of the
// operation that sends it, on one thread; the callers keep every response within the buffer.
// Only the first GetMessageLen() bytes are defined.
#pragma once

constexpr int kMessageCapacity = 4096;

class CMessage
{
public:
    CMessage();
    ~CMessage();
    CMessage(const CMessage&) = delete;
    CMessage& operator=(const CMessage&) = delete;

    // Every builder appends at the current length and returns 0, or -1 without writing when the
    // message has no buffer.
    int BuildFinsResponseTcpHeader(int command, int dataLen, int errorCode);
    int BuildFinsResponseHandShakeMessage(int clientValue, int serverValue);
    int BuildFinsRWResponseFinsHeader(int clientNode, int serverNode, int reqId);
    int BuildFinsResponseReadMessage(short finsCmd, short respCode, char* data, int dataLen);
    int BuildFinsResponseWriteMessage(short finsCmd, short respCode);
    // Writes totalLen - 8 into the leading FINS/TCP header's length field (8 bytes or more only).
    void SetPacketLen(int totalLen);
    char* GetMessageBuffer();
    int GetMessageLen();

private:
    // Room for n more bytes at the end (advances m_iLen): null without a buffer or when n bytes
    // would not fit.
    char* Reserve(int n);

    int m_iLen;
    int m_iCapacity;
    char* m_pBuffer;
};
