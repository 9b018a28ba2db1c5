// The FINS protocol: validates a FINS/TCP frame or FINS/UDP datagram, answers the node address
// handshake, dispatches memory area reads and writes by area code, hands the other commands it
// supports to CFinsCommands and sends every response through one path (none for a request whose
// ICF asks for none). Every operation runs on the event loop's reader thread; the only state held
// is what the owner hands it before the first frame arrives: the link to the network side, the
// application's memory, the policy and the area map.
#pragma once

#include <string>

#include "appmem/AppAreaMem.h"
#include "fins/FinsAreaMap.h"
#include "fins/FinsFrame.h"
#include "fins/FinsLink.h"
#include "fins/FinsPolicy.h"
#include "fins/Message.h"

// Splits an IPv4 address text at '.' into exactly four fields (strtol base 10, 8 bits each) and
// packs them first field in bits 0-7 ... last field in bits 24-31; 0 unless there are four fields.
unsigned int GetIpAddrLastValue(const char* text);

class CFinsProtocol
{
public:
    CFinsProtocol() = default;
    CFinsProtocol(const CFinsProtocol&) = delete; // m_memory may point at m_noMemory
    CFinsProtocol& operator=(const CFinsProtocol&) = delete;

    // The network side the protocol learns about connections from and answers through (not
    // owned). Set by the owner before the loop's threads start; without one every request is
    // dropped and its entry returns -1.
    void SetLink(IFinsLink* link);
    IFinsLink* GetLink() const;
    // The application's segments the memory commands work on (not owned; must outlive the
    // protocol's use), and the policy (copied). Set like the link, while no loop thread runs.
    // Without a memory every memory command finds its segment empty.
    void SetMemory(CAppAreaMemmory* memory);
    CAppAreaMemmory& GetMemory() const;
    void SetPolicy(const FinsPolicy& policy);
    const FinsPolicy& GetPolicy() const;
    // Where each FINS area lies in the memory (copied; the wide layout until set). Set like the
    // link.
    void SetAreaMap(const CFinsAreaMap& map);
    const CFinsAreaMap& GetAreaMap() const;

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
    CAppAreaMemmory m_noMemory; // no segments: stands in until SetMemory
    CAppAreaMemmory* m_memory = &m_noMemory;
    FinsPolicy m_policy;
    CFinsAreaMap m_areaMap;
};
