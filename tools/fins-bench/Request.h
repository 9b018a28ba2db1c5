// The one request a benchmark run repeats, and the checks every response must pass. Built once
// before the workers start and then only read, so all worker threads share it without a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RequestSpec
{
    bool udp = false;   // bare FINS frame in a datagram, else behind a FINS/TCP header
    bool write = false; // memory area write, else read
    uint8_t area = 0x82;
    uint16_t addr = 0;
    uint16_t items = 10; // words, or bits for a bit area
};

class RequestTemplate
{
public:
    explicit RequestTemplate(const RequestSpec& req);

    std::size_t requestLen() const { return m_request.size(); }
    // Exact length of a successful response, FINS/TCP header included over TCP.
    std::size_t responseLen() const { return m_responseLen; }
    // Appends one request carrying `sid` to `out`.
    void appendTo(std::vector<uint8_t>& out, uint8_t sid) const;
    // Checks one whole response frame (as delimited by the FINS/TCP length over TCP, or one
    // datagram over UDP). Returns an empty string when it is the expected success response to
    // the request with `sid`, else what is wrong with it.
    std::string checkResponse(const uint8_t* frame, std::size_t len, uint8_t sid) const;

private:
    std::string checkTcpHeader(const uint8_t* frame, std::size_t len) const;
    std::string checkFins(const uint8_t* fins, std::size_t len, uint8_t sid) const;

    RequestSpec m_spec;
    std::vector<uint8_t> m_request; // SID byte left 0, patched per copy
    std::size_t m_sidPos;
    std::size_t m_responseLen;
};

// FINS/TCP node address request of a client with node `clientNode`.
std::vector<uint8_t> nodeAddressRequest(uint8_t clientNode);
// Checks a node address reply echoing `clientNode`; empty string when it is well-formed.
std::string checkNodeAddressReply(const uint8_t* frame, std::size_t len, uint8_t clientNode);
// Length of the reply that checkNodeAddressReply expects.
std::size_t nodeAddressReplyLen();
