// Builds the benchmark's request from the FINS frame layout and checks responses byte by byte.
#include "tools/fins-bench/Request.h"

#include "tools/fins-bench/WireFormat.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

using namespace finswire;

namespace {

// Node numbers the requests carry; the server answers with its own view of the nodes, which the
// checks do not look at.
constexpr uint8_t kServerNode = 1;
constexpr uint8_t kClientNode = 2;

__attribute__((format(printf, 1, 2))) std::string textf(const char* fmt, ...)
{
    char buf[160];
    va_list ap;
    va_start(ap, fmt);
    (void)vsnprintf(buf, sizeof(buf), fmt, ap); // longer texts are cut, never overrun
    va_end(ap);
    return buf;
}

// Write data: word i holds i, bit i holds i mod 2 (only bit 0 of a bit byte counts).
void appendWriteData(std::vector<uint8_t>& out, const RequestSpec& req)
{
    for (uint16_t i = 0; i < req.items; ++i) {
        if (isBitArea(req.area)) {
            out.push_back(static_cast<uint8_t>(i & 1));
        } else {
            out.push_back(static_cast<uint8_t>(i >> 8));
            out.push_back(static_cast<uint8_t>(i));
        }
    }
}

std::vector<uint8_t> buildFins(const RequestSpec& req)
{
    std::vector<uint8_t> f(kRequestHeadLen, 0);
    std::memcpy(f.data(), kRequestPrefix, sizeof(kRequestPrefix));
    f[kDstNodeOffset] = kServerNode;
    f[kSrcNodeOffset] = kClientNode;
    putBe16(&f[kCommandOffset], req.write ? kCmdWrite : kCmdRead);
    uint8_t* cmd = &f[kCommandOffset + 2];
    cmd[0] = req.area;
    putBe16(cmd + 1, req.addr);
    cmd[3] = 0; // bit number inside the start word
    putBe16(cmd + 4, req.items);
    if (req.write) {
        appendWriteData(f, req);
    }
    return f;
}

} // namespace

RequestTemplate::RequestTemplate(const RequestSpec& req) : m_spec(req)
{
    std::vector<uint8_t> fins = buildFins(req);
    std::size_t finsResponse = kResponseHeadLen;
    if (!req.write) {
        finsResponse += itemBytes(req.area, req.items);
    }
    if (req.udp) {
        m_request = std::move(fins);
        m_sidPos = kSidOffset;
        m_responseLen = finsResponse;
        return;
    }
    m_request.resize(kTcpHeaderLen);
    putTcpHeader(m_request.data(), fins.size(), kTcpFrame, 0);
    m_request.insert(m_request.end(), fins.begin(), fins.end());
    m_sidPos = kTcpHeaderLen + kSidOffset;
    m_responseLen = kTcpHeaderLen + finsResponse;
}

void RequestTemplate::appendTo(std::vector<uint8_t>& out, uint8_t sid) const
{
    const std::size_t at = out.size();
    out.insert(out.end(), m_request.begin(), m_request.end());
    out[at + m_sidPos] = sid;
}

std::string RequestTemplate::checkResponse(const uint8_t* frame, std::size_t len, uint8_t sid) const
{
    if (m_spec.udp) {
        return checkFins(frame, len, sid);
    }
    std::string bad = checkTcpHeader(frame, len);
    if (!bad.empty()) {
        return bad;
    }
    return checkFins(frame + kTcpHeaderLen, len - kTcpHeaderLen, sid);
}

std::string RequestTemplate::checkTcpHeader(const uint8_t* frame, std::size_t len) const
{
    if (len < kTcpHeaderLen) {
        return textf("FINS/TCP frame of %zu bytes, shorter than its header", len);
    }
    if (std::memcmp(frame, kMagic, sizeof(kMagic)) != 0) {
        return "FINS/TCP frame without the FINS magic";
    }
    const uint32_t error = getBe32(frame + kTcpErrorOffset);
    if (error != 0) {
        return textf("FINS/TCP error code %u", error);
    }
    const uint32_t command = getBe32(frame + kTcpCommandOffset);
    if (command != kTcpFrame) {
        return textf("FINS/TCP command %u where a FINS frame (2) was expected", command);
    }
    return {};
}

std::string RequestTemplate::checkFins(const uint8_t* fins, std::size_t len, uint8_t sid) const
{
    if (len < kResponseHeadLen) {
        return textf("FINS response of %zu bytes, shorter than its %zu-byte head", len,
                     kResponseHeadLen);
    }
    if (std::memcmp(fins, kResponsePrefix, sizeof(kResponsePrefix)) != 0) {
        return textf("FINS response begins %02x %02x %02x, not c0 00 02", fins[0], fins[1],
                     fins[2]);
    }
    if (fins[kSidOffset] != sid) {
        return textf("SID %u where %u was expected", fins[kSidOffset], sid);
    }
    const uint16_t command = getBe16(fins + kCommandOffset);
    const uint16_t expected = m_spec.write ? kCmdWrite : kCmdRead;
    if (command != expected) {
        return textf("command code %04x where %04x was expected", command, expected);
    }
    const uint16_t code = getBe16(fins + kRespCodeOffset);
    if (code != 0) {
        return textf("response code 0x%04x", code);
    }
    const std::size_t want = m_spec.udp ? m_responseLen : m_responseLen - kTcpHeaderLen;
    if (len != want) {
        return textf("FINS response of %zu bytes where %zu were expected", len, want);
    }
    return {};
}

std::vector<uint8_t> nodeAddressRequest(uint8_t clientNode)
{
    std::vector<uint8_t> r(kTcpHeaderLen + kNodeRequestBody, 0);
    putTcpHeader(r.data(), kNodeRequestBody, kTcpNodeRequest, 0);
    r[kTcpHeaderLen + kNodeClientByte] = clientNode;
    return r;
}

std::size_t nodeAddressReplyLen()
{
    return kTcpHeaderLen + kNodeReplyBody;
}

std::string checkNodeAddressReply(const uint8_t* frame, std::size_t len, uint8_t clientNode)
{
    if (len != nodeAddressReplyLen()) {
        return textf("node address reply of %zu bytes where %zu were expected", len,
                     nodeAddressReplyLen());
    }
    if (std::memcmp(frame, kMagic, sizeof(kMagic)) != 0) {
        return "node address reply without the FINS magic";
    }
    const uint32_t command = getBe32(frame + kTcpCommandOffset);
    const uint32_t error = getBe32(frame + kTcpErrorOffset);
    if (command != kTcpNodeResponse || error != 0) {
        return textf("node address reply with command %u and error code %u", command, error);
    }
    if (frame[kTcpHeaderLen + kNodeClientByte] != clientNode) {
        return textf("node address reply names client node %u, not %u",
                     frame[kTcpHeaderLen + kNodeClientByte], clientNode);
    }
    return {};
}
