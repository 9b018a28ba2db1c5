// One FINS exchange at a time over TCP (with the node address handshake first) or UDP, each wait
// bounded by a deadline.
#pragma once

#include <string>

#include "tools/fins/Wire.h"

class FinsTransport
{
public:
    FinsTransport(bool udp, int timeoutMs) : m_udp(udp), m_timeoutMs(timeoutMs) {}
    ~FinsTransport();
    FinsTransport(const FinsTransport&) = delete;
    FinsTransport& operator=(const FinsTransport&) = delete;

    // Connects (TCP: and exchanges node addresses). False with a reason in *error.
    bool Open(const std::string& host, const std::string& port, std::string* error);
    // Sends one FINS frame and returns the FINS frame that answers it.
    bool Exchange(const Bytes& fins, Bytes* response, std::string* error);
    FinsNodes Nodes() const { return m_nodes; }

private:
    bool Connect(const std::string& host, const std::string& port, std::string* error);
    bool Handshake(std::string* error);
    bool SendAll(const Bytes& bytes, std::string* error);
    bool RecvExact(uint8_t* out, size_t len, std::string* error);
    bool RecvTcpFrame(FinsTcpHeader* header, Bytes* body, std::string* error);
    bool RecvDatagram(Bytes* out, std::string* error);
    // Waits until the socket is ready for `events` (POLLIN, POLLOUT) or the deadline passes.
    bool WaitReady(short events, std::string* error);

    bool m_udp;
    int m_timeoutMs;
    int m_fd = -1;
    long long m_deadlineMs = 0; // the current exchange's deadline, monotonic clock
    FinsNodes m_nodes{0, 0};
};
