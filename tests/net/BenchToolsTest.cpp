// The load tool over loopback: a short run of fins-bench against the reference responder counts
// exactly, and fins-bench fails loudly (exit 1 and a reason, no result line) when an answer is
// wrong or missing. A scripted one-connection server spoils single bytes of otherwise right
// answers and splits or gathers them, so every check bites and framing survives any
// segmentation. Both programs run as child processes from bin/ of the build folder; every wait is
// bounded.
#include "tools/fins-bench/WireFormat.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HostProcess.h"

namespace {

constexpr int kRunMs = 30000; // the longest a read of the scripted server waits
// Every child runs under timeout(1), so no wait on it is unbounded.
const std::string kTimeout = "timeout 60 ";

std::string binPath(const std::string& program)
{
    return BinDir() + "/" + program;
}

// One fins-bench run, standard error behind standard output.
ProgramResult runBench(const std::string& port, const std::string& args)
{
    std::vector<std::string> argv{"--port", port};
    std::istringstream words(args);
    for (std::string w; words >> w;) {
        argv.push_back(w);
    }
    ProgramResult r = RunProgram("fins-bench", argv, 2 * kRunMs);
    r.out += r.err;
    return r;
}

// The reference responder on a free loopback port; the shell tells its process id (kept through
// exec) so that the destructor can stop it.
class Responder
{
public:
    explicit Responder(const std::string& args)
        : m_pipe(popen(
              ("echo $$; exec " + kTimeout + binPath("reference-responder") + " " + args).c_str(),
              "r"))
    {
        char line[256];
        if (m_pipe != nullptr && std::fgets(line, sizeof(line), m_pipe) != nullptr) {
            m_pid = std::atoi(line);
        }
        const char* at = nullptr;
        if (m_pid > 0 && std::fgets(line, sizeof(line), m_pipe) != nullptr &&
            (at = std::strstr(line, "port=")) != nullptr) {
            port = std::to_string(std::atoi(at + 5));
        }
    }
    ~Responder()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
        }
        if (m_pipe != nullptr) {
            pclose(m_pipe);
        }
    }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    std::string port; // empty when it did not start

private:
    FILE* m_pipe;
    pid_t m_pid = -1;
};

// Builds without the benchmarks (the sanitizer builds) have neither program.
class BenchTools : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char* program : {"fins-bench", "reference-responder"}) {
            if (access(binPath(program).c_str(), X_OK) != 0) {
                GTEST_SKIP() << binPath(program) << " is not built in this configuration";
            }
        }
    }
};

// --- Against the reference responder ---------------------------------------------------------

struct ResponderCase
{
    const char* responderArgs;
    const char* benchArgs;
    int status;
    const char* says; // part of the output
};

// The good runs send 640 requests over 8 connections.
const ResponderCase kResponderCases[] = {
    {"", "--tcp --conns 8 --pipeline 4", 0, " requests=640 "},
    {"", "--udp --conns 8 --write", 0, " served=8/8"},
    {"--bad-sid", "--udp", 1, "FAILED: connection 1: response 1: SID 1 where 0 was expected"},
    {"--mute", "--udp", 1, "FAILED: connection 1: no response to request 1 (SID 0) within 500 ms"},
};

TEST_F(BenchTools, CountsAReferenceRunAndFailsLoudlyOnAWrongOrMissingAnswer)
{
    for (const ResponderCase& c : kResponderCases) {
        SCOPED_TRACE(std::string(c.benchArgs) + " against " + c.responderArgs);
        Responder responder(c.responderArgs);
        ASSERT_FALSE(responder.port.empty()) << "reference-responder did not start";
        const ProgramResult r =
            runBench(responder.port, c.benchArgs + std::string(" --count 640 --timeout-ms 500"));
        EXPECT_EQ(r.exitCode, c.status) << r.out;
        EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("req/s=") == std::string::npos, c.status != 0) << r.out;
    }
}

// --- Against a scripted server that spoils its answers ---------------------------------------

using namespace finswire;
using Bytes = std::vector<uint8_t>;

// How the scripted server hands its answers over.
enum class Delivery
{
    Whole,      // one write per answer
    ByteByByte, // one byte per write
    Gathered,   // four answers in one write (the client pipelines four)
    Twice,      // every response written two times
    HangUp      // the connection closed right after the node address reply
};

struct Script
{
    const char* what;
    std::function<void(Bytes&)> spoilReply;    // node address reply; may be empty
    std::function<void(Bytes&)> spoilResponse; // every read response; may be empty
    Delivery delivery;
    const char* reasons; // what the failure says, alternatives separated by '|'; "" for success
};

// A right answer to a FINS/TCP read request: echoed SID and command, 2 bytes per word.
Bytes readResponse(const Bytes& request)
{
    const uint8_t* fins = request.data() + kTcpHeaderLen;
    const std::size_t words = getBe16(fins + kCommandOffset + 2 + 4);
    Bytes r(kTcpHeaderLen + kResponseHeadLen + 2 * words, 0);
    putTcpHeader(r.data(), r.size() - kTcpHeaderLen, finswire::kTcpFrame, 0);
    uint8_t* f = &r[kTcpHeaderLen];
    std::memcpy(f, kResponsePrefix, sizeof(kResponsePrefix));
    f[kSidOffset] = fins[kSidOffset];
    std::memcpy(f + kCommandOffset, fins + kCommandOffset, 2);
    return r;
}

Bytes nodeReply(const Bytes& request)
{
    Bytes r(kTcpHeaderLen + kNodeReplyBody, 0);
    putTcpHeader(r.data(), kNodeReplyBody, finswire::kTcpNodeResponse, 0);
    r[kTcpHeaderLen + kNodeClientByte] = request[kTcpHeaderLen + kNodeClientByte];
    return r;
}

// Serves one FINS/TCP connection on a free loopback port as the script says, on a thread of its
// own, until the client closes (fins-bench ends or is killed) or a read waits kRunMs.
class ScriptedServer
{
public:
    explicit ScriptedServer(const Script& script) : m_script(script)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        auto* sa = reinterpret_cast<sockaddr*>(&addr);
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_listen < 0 || bind(m_listen, sa, sizeof(addr)) != 0 || listen(m_listen, 1) != 0 ||
            getsockname(m_listen, sa, &len) != 0) {
            return;
        }
        port = std::to_string(ntohs(addr.sin_port));
        m_thread = std::thread([this] { serve(); });
    }
    ~ScriptedServer()
    {
        shutdown(m_listen, SHUT_RDWR); // ends an accept that never got its client
        if (m_thread.joinable()) {
            m_thread.join();
        }
        close(m_listen);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string port; // empty when the socket could not be set up

private:
    static bool readExact(int fd, uint8_t* buf, std::size_t n)
    {
        return recv(fd, buf, n, MSG_WAITALL) == static_cast<ssize_t>(n);
    }

    static bool readFrame(int fd, Bytes& frame)
    {
        frame.assign(kTcpHeaderLen, 0);
        if (!readExact(fd, frame.data(), kTcpHeaderLen)) {
            return false;
        }
        frame.resize(getBe32(&frame[kTcpLengthOffset]) + kTcpLengthBias);
        return readExact(fd, frame.data() + kTcpHeaderLen, frame.size() - kTcpHeaderLen);
    }

    bool writeAll(int fd, const Bytes& bytes) const
    {
        const std::size_t step = m_script.delivery == Delivery::ByteByByte ? 1 : bytes.size();
        for (std::size_t off = 0; off < bytes.size(); off += step) {
            if (send(fd, &bytes[off], std::min(step, bytes.size() - off), MSG_NOSIGNAL) <= 0) {
                return false;
            }
        }
        return true;
    }

    // Reads `gather` requests (the first may be the node address request) and answers them.
    bool answer(int fd) const
    {
        Bytes out;
        Bytes frame;
        const unsigned gather = m_script.delivery == Delivery::Gathered ? 4 : 1;
        for (unsigned i = 0; i < gather; ++i) {
            if (!readFrame(fd, frame)) {
                return false;
            }
            if (getBe32(&frame[kTcpCommandOffset]) == finswire::kTcpNodeRequest) {
                Bytes reply = nodeReply(frame);
                if (m_script.spoilReply) {
                    m_script.spoilReply(reply);
                }
                return writeAll(fd, reply) && m_script.delivery != Delivery::HangUp;
            }
            Bytes response = readResponse(frame);
            if (m_script.spoilResponse) {
                m_script.spoilResponse(response);
            }
            for (int c = m_script.delivery == Delivery::Twice ? 2 : 1; c > 0; --c) {
                out.insert(out.end(), response.begin(), response.end());
            }
        }
        return writeAll(fd, out);
    }

    void serve() const
    {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const int one = 1;
        const timeval limit{kRunMs / 1000, 0};
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        while (answer(fd)) {
        }
        close(fd);
    }

    const Script m_script;
    int m_listen = -1;
    std::thread m_thread;
};

// A response shortened by its last word, length field included.
void dropLastWord(Bytes& r)
{
    r.resize(r.size() - 2);
    putBe32(&r[kTcpLengthOffset], getBe32(&r[kTcpLengthOffset]) - 2);
}

using D = Delivery;
const Script kScripts[] = {
    {"answers split into single bytes", {}, {}, D::ByteByByte, ""},
    {"four answers in one write", {}, {}, D::Gathered, ""},
    {"no FINS magic",
     {},
     [](Bytes& r) { r[3] = 'X'; },
     D::Whole,
     "FINS/TCP frame without the FINS magic"},
    {"FINS/TCP error code",
     {},
     [](Bytes& r) { putBe32(&r[kTcpErrorOffset], 35); },
     D::Whole,
     "FINS/TCP error code 35"},
    {"FINS/TCP command",
     {},
     [](Bytes& r) { putBe32(&r[kTcpCommandOffset], 1); },
     D::Whole,
     "FINS/TCP command 1 where"},
    {"response prefix", {}, [](Bytes& r) { r[kTcpHeaderLen] = 0xC1; }, D::Whole, "begins c1 00 02"},
    {"command not echoed",
     {},
     [](Bytes& r) { r[kTcpHeaderLen + kCommandOffset + 1] = 2; },
     D::Whole,
     "command code 0102 where 0101 was expected"},
    {"error response code",
     {},
     [](Bytes& r) { putBe16(&r[kTcpHeaderLen + kRespCodeOffset], 0x1104); },
     D::Whole,
     "response 1: response code 0x1104"},
    {"short response", {}, dropLastWord, D::Whole, "32 bytes where 34 were expected"},
    {"no response",
     {},
     [](Bytes& r) { r.clear(); },
     D::Whole,
     "no response to request 1 (SID 0) within"},
    {"length beyond anything due",
     {},
     [](Bytes& r) { putBe32(&r[kTcpLengthOffset], 1 << 20); },
     D::Whole,
     "a FINS/TCP frame of 1048584 bytes where 50 were expected"},
    {"an answer nobody asked for",
     {},
     {},
     D::Twice,
     "nothing asked for|response 2: SID 0 where 1 was expected"},
    {"hang-up after the handshake", {}, {}, D::HangUp, "the server closed the connection"},
    {"node address reply for another client",
     [](Bytes& r) { r[kTcpHeaderLen + kNodeClientByte] = 7; },
     {},
     D::Whole,
     "node address reply names client node 7, not 2"},
    {"node address reply too long",
     [](Bytes& r) { r.push_back(0); },
     {},
     D::Whole,
     "bytes behind the node address reply that nothing asked for"},
};

bool containsOneOf(const std::string& text, const std::string& alternatives)
{
    std::istringstream parts(alternatives);
    for (std::string part; std::getline(parts, part, '|');) {
        if (text.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(BenchTools, EverySpoiledByteIsCaughtAndAnySegmentationIsReassembled)
{
    for (const Script& script : kScripts) {
        SCOPED_TRACE(script.what);
        ScriptedServer server(script);
        ASSERT_FALSE(server.port.empty());
        const bool good = *script.reasons == '\0';
        const ProgramResult r =
            runBench(server.port, script.delivery == D::Gathered
                                      ? "--count 20 --timeout-ms 1000 --pipeline 4"
                                      : "--count 20 --timeout-ms 1000");
        EXPECT_EQ(r.exitCode, good ? 0 : 1) << r.out;
        EXPECT_TRUE(good ? r.out.find(" requests=20 ") != std::string::npos
                         : containsOneOf(r.out, script.reasons))
            << r.out;
    }
}

} // namespace
