// The load tool over loopback: a short run against the reference responder counts exactly, and a
// scripted one-connection server spoils single bytes of otherwise right answers (or splits and
// gathers them), so every check of fins-bench bites and its framing survives any segmentation.
#include "tools/fins-bench/WireFormat.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HostProcess.h"

namespace {

using namespace finswire;
using Bytes = std::vector<uint8_t>;

ProgramResult runBench(const std::string& port, std::vector<std::string> args)
{
    args.insert(args.begin(), {"--port", port, "--timeout-ms", "1000"});
    ProgramResult r = RunProgram("fins-bench", args, 60000);
    r.out += r.err;
    return r;
}

// Builds without the benchmarks (the sanitizer builds) have neither program.
class BenchTools : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* program : {"/fins-bench", "/reference-responder"}) {
            if (access((BinDir() + program).c_str(), X_OK) != 0) {
                GTEST_SKIP() << program << " is not built in this configuration";
            }
        }
    }
};

TEST_F(BenchTools, CountsAReferenceRunExactly)
{
    // The shell tells the responder's process id (kept through exec), then the responder its port.
    FILE* pipe =
        popen(("echo $$; exec timeout 60 " + BinDir() + "/reference-responder").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char pid[32] = "", line[256] = "";
    const char* at = nullptr;
    if (std::fgets(pid, sizeof(pid), pipe) != nullptr &&
        std::fgets(line, sizeof(line), pipe) != nullptr) {
        at = std::strstr(line, "port=");
    }
    for (const char* mode : {"--tcp", "--udp"}) {
        if (at == nullptr) {
            break;
        }
        const ProgramResult r =
            runBench(std::to_string(std::atoi(at + 5)),
                     {mode, "--conns", "8", "--pipeline", "4", "--count", "640"});
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find(" requests=640 "), std::string::npos) << r.out;
    }
    EXPECT_NE(at, nullptr) << "reference-responder did not start: " << line;
    kill(std::atoi(pid), SIGTERM);
    pclose(pipe);
}

// How the scripted server hands its answers over, and which byte of them it spoils.
enum class Delivery
{
    Whole,      // one write per answer
    ByteByByte, // one byte per write
    Gathered,   // four answers in one write (the client pipelines four)
    Twice,      // every response written two times
    HangUp      // the connection closed right after the node address reply
};
enum class Edit
{
    None,
    Put,   // `value` big-endian over `width` bytes at `at`
    Short, // the last word dropped, length field included
    Clear, // nothing written
    Append // one byte too many
};

struct Script
{
    const char* what;
    bool spoilReply; // the node address reply, else every read response
    Edit edit;
    int width;
    std::size_t at;
    uint32_t value;
    Delivery delivery;
    const char* reason; // part of the failure; "" for success
};

constexpr std::size_t kFins = kTcpHeaderLen;
using D = Delivery;
using E = Edit;
const Script kScripts[] = {
    {"answers split into single bytes", false, E::None, 0, 0, 0, D::ByteByByte, ""},
    {"four answers in one write", false, E::None, 0, 0, 0, D::Gathered, ""},
    {"no FINS magic", false, E::Put, 1, 3, 'X', D::Whole, "FINS/TCP frame without the FINS magic"},
    {"FINS/TCP error", false, E::Put, 4, kTcpErrorOffset, 35, D::Whole, "FINS/TCP error code 35"},
    {"FINS/TCP command", false, E::Put, 4, kTcpCommandOffset, 1, D::Whole,
     "FINS/TCP command 1 where"},
    {"response prefix", false, E::Put, 1, kFins, 0xC1, D::Whole, "begins c1 00 02"},
    {"command not echoed", false, E::Put, 1, kFins + kCommandOffset + 1, 2, D::Whole,
     "command code 0102 where 0101 was expected"},
    {"error response code", false, E::Put, 2, kFins + kRespCodeOffset, 0x1104, D::Whole,
     "response 1: response code 0x1104"},
    {"short response", false, E::Short, 0, 0, 0, D::Whole, "32 bytes where 34 were expected"},
    {"no response", false, E::Clear, 0, 0, 0, D::Whole, "no response to request 1 (SID 0) within"},
    {"length beyond anything due", false, E::Put, 4, kTcpLengthOffset, 1 << 20, D::Whole,
     "a FINS/TCP frame of 1048584 bytes where 50 were expected"},
    {"an answer nobody asked for", false, E::None, 0, 0, 0, D::Twice, "SID 0 where 1 was expected"},
    {"hang-up after the handshake", false, E::None, 0, 0, 0, D::HangUp, "closed the connection"},
    {"node reply for another client", true, E::Put, 1, kFins + kNodeClientByte, 7, D::Whole,
     "node address reply names client node 7, not 2"},
    {"node reply too long", true, E::Append, 0, 0, 0, D::Whole,
     "bytes behind the node address reply that nothing asked for"},
};

void apply(const Script& s, Bytes& r)
{
    for (int i = 0; s.edit == E::Put && i < s.width; ++i) {
        r[s.at + i] = static_cast<uint8_t>(s.value >> 8 * (s.width - 1 - i));
    }
    if (s.edit == E::Short) {
        r.resize(r.size() - 2);
        putBe32(&r[kTcpLengthOffset], getBe32(&r[kTcpLengthOffset]) - 2);
    }
    if (s.edit == E::Clear) {
        r.clear();
    }
    if (s.edit == E::Append) {
        r.push_back(0);
    }
}

// A right answer: a node address reply naming the client, or a read response echoing SID and
// command with 2 zero bytes per word.
Bytes answerTo(const Bytes& req)
{
    const uint8_t* fins = &req[kFins];
    if (getBe32(&req[kTcpCommandOffset]) == finswire::kTcpNodeRequest) {
        Bytes r(kFins + kNodeReplyBody, 0);
        putTcpHeader(r.data(), kNodeReplyBody, finswire::kTcpNodeResponse, 0);
        r[kFins + kNodeClientByte] = fins[kNodeClientByte];
        return r;
    }
    const std::size_t words = getBe16(fins + kCommandOffset + 6);
    Bytes r(kFins + kResponseHeadLen + 2 * words, 0);
    putTcpHeader(r.data(), r.size() - kFins, finswire::kTcpFrame, 0);
    std::memcpy(&r[kFins], kResponsePrefix, sizeof(kResponsePrefix));
    r[kFins + kSidOffset] = fins[kSidOffset];
    std::memcpy(&r[kFins + kCommandOffset], fins + kCommandOffset, 2);
    return r;
}

bool readFrame(int fd, Bytes& frame)
{
    frame.assign(kFins, 0);
    if (recv(fd, frame.data(), kFins, MSG_WAITALL) != static_cast<ssize_t>(kFins)) {
        return false;
    }
    frame.resize(getBe32(&frame[kTcpLengthOffset]) + kTcpLengthBias);
    const std::size_t rest = frame.size() - kFins;
    return recv(fd, &frame[kFins], rest, MSG_WAITALL) == static_cast<ssize_t>(rest);
}

// Reads one request (four when gathering) and answers as the script says; false ends the session.
bool serveOnce(int fd, const Script& s)
{
    Bytes out, frame;
    for (int i = 0; i < (s.delivery == D::Gathered ? 4 : 1); ++i) {
        if (!readFrame(fd, frame)) {
            return false;
        }
        const bool isReply = getBe32(&frame[kTcpCommandOffset]) == finswire::kTcpNodeRequest;
        Bytes answer = answerTo(frame);
        if (isReply == s.spoilReply) {
            apply(s, answer);
        }
        for (int c = s.delivery == D::Twice && !isReply ? 2 : 1; c > 0; --c) {
            out.insert(out.end(), answer.begin(), answer.end());
        }
        if (isReply) {
            break; // the handshake is answered on its own
        }
    }
    const std::size_t step = s.delivery == D::ByteByByte ? 1 : std::max<std::size_t>(out.size(), 1);
    for (std::size_t off = 0; off < out.size(); off += step) {
        if (send(fd, &out[off], std::min(step, out.size() - off), MSG_NOSIGNAL) <= 0) {
            return false;
        }
    }
    return !(s.delivery == D::HangUp &&
             getBe32(&frame[kTcpCommandOffset]) == finswire::kTcpNodeRequest);
}

TEST_F(BenchTools, EverySpoiledByteIsCaughtAndAnySegmentationIsReassembled)
{
    for (const Script& s : kScripts) {
        SCOPED_TRACE(s.what);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        auto* sa = reinterpret_cast<sockaddr*>(&addr);
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_TRUE(bind(listener, sa, len) == 0 && listen(listener, 1) == 0 &&
                    getsockname(listener, sa, &len) == 0);
        std::thread server([&] {
            const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const timeval limit{30, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
            while (fd >= 0 && serveOnce(fd, s)) {
            }
            close(fd);
        });
        const bool good = *s.reason == '\0';
        const ProgramResult r =
            runBench(std::to_string(ntohs(addr.sin_port)),
                     {"--count", "20", "--pipeline", s.delivery == D::Gathered ? "4" : "1"});
        shutdown(listener, SHUT_RDWR); // ends an accept that never got its client
        server.join();
        close(listener);
        EXPECT_EQ(r.exitCode, good ? 0 : 1) << r.out;
        EXPECT_NE(r.out.find(good ? " requests=20 " : s.reason), std::string::npos) << r.out;
    }
}

} // namespace
