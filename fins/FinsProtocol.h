// The FINS protocol: validates a FINS/TCP frame or FINS/UDP datagram, answers the node address
// handshake, dispatches memory area reads and writes by area code, hands the other commands it
// supports to CFinsCommands and sends every response through one path (none for a request whose
// ICF asks for none). Every operation runs on the event loop's reader thread; the only state held
// is the link to the network side, set before the first frame arrives.
#pragma once

#include <string>

#include "fins/FinsFrame.h"
#include "fins/FinsLink.h"
#include "fins/Message.h"

// Splits an IPv4 address text at '.' into exactly four fields (strtol base 10, 8 bits each) and
// packs them first field in bits 0-7 ... last field in bits 24-31; 0 unless there are four fields.
unsigned int GetIpAddrLastValue(const char* text);

class CFinsProtocol
{
public:
    // The network side the protocol learns about connections from and answers through (not
    // owned). Set by the owner before the loop's threads start; without one every request is
    // dropped and its entry returns -1.
    void SetLink(IFinsLink* link);
    IFinsLink* GetLink() const;

    // FINS/TCP entry: one receive block holding a whole frame. -1 for a null block, the framing
    // error code when the frame is rejected (a framing-error reply is sent), else the result of
    // ProcessOneFinsFrame.
    int ProcessRecvData(char* block);
    bool CheckFinsOneFrame(char* frame, unsigned int len, int* error);
    int ProcessOneFinsFrame(CSocketConnection* conn, char* frame, unsigned int len);
    int ProcessHandShake(CSocketConnection* conn, _FINSTcpHeader& header, char* body,
                         unsigned int bodyLen);
    // FINS frame entry for both transports; UDP calls it with tcp false.
    int ProcessRWRequest(CSocketConnection* conn, char* fins, unsigned int len, bool tcp);
    int ProcessReadRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                           unsigned int bodyLen, bool tcp);
    int ProcessWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                            unsigned int bodyLen, bool tcp);
    int ProcessErrorRequest(CSocketConnection* conn, int command, int errorCode);
    int ProcessFrameErrorRequest(CSocketConnection* conn, _FinsFrameHeader* header, int respCode,
                                 bool tcp);
    void SendMessage(CSocketConnection* conn, CMessage& msg, bool withTcpHeader);

    int ProcessCIOReadRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                              unsigned int bodyLen, bool tcp);
    int ProcessDMReadRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                             unsigned int bodyLen, bool tcp);
    int ReadCIOArea(CSocketConnection* conn, _FinsFrameHeader* header, _FinsReadCmd& cmd,
                    CMessage& response, std::string& out, bool tcp);
    int ReadDMArea(CSocketConnection* conn, _FinsFrameHeader* header, _FinsReadCmd& cmd,
                   CMessage& response, std::string& out, bool tcp);
    int ProcessCIOWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                               unsigned int bodyLen, bool tcp);
    int ProcessDMWriteRequest(CSocketConnection* conn, _FinsFrameHeader* header, char* body,
                              unsigned int bodyLen, bool tcp);

private:
    IFinsLink* m_link = nullptr;
};
