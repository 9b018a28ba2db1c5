// The performance tools checked against each other over loopback: fins-bench drives the reference
// responder over TCP and UDP and must count exactly and report a parseable line, and it must fail
// loudly (exit 1 and a reason) when the responder answers wrongly or not at all. A scripted
// one-connection server in the test spoils single bytes of otherwise right answers and splits or
// gathers them, to show that every check bites and that framing survives any segmentation. Both
// programs run as child processes from bin/ of the build folder; every wait is bounded.
#include "tools/fins-bench/WireFormat.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int kStartMs = 5000; // the responder's port line
constexpr int kRunMs = 30000;  // one whole fins-bench run

std::string binPath(const std::string& program)
{
    const char* dir = std::getenv("FINS_BIN_DIR");
    return std::string(dir != nullptr ? dir : "bin") + "/" + program;
}

// A program of bin/ run as a child with standard output and error on one pipe. The destructor
// kills a child that still runs.
class Child
{
public:
    Child(const std::string& program, const std::vector<std::string>& args)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
        std::vector<std::string> all{binPath(program)};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_fd = fds[0];
    }
    ~Child()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return m_pid > 0; }
    const std::string& output() const { return m_out; }

    // Reads output until it holds `needle`; false at end of output or after timeoutMs.
    bool waitFor(const std::string& needle, int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (m_out.find(needle) == std::string::npos) {
            if (!readSome(end)) {
                return false;
            }
        }
        return true;
    }

    // Reads all output and reaps the child; the exit status, or -1 when it did not end in time
    // (it is then killed) or ended by a signal.
    int finish(int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (readSome(end)) {
        }
        if (!m_eof || m_pid <= 0) {
            return -1;
        }
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    bool readSome(std::chrono::steady_clock::time_point end)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd p{m_fd, POLLIN, 0};
        if (m_fd < 0 || left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buf[4096];
        const ssize_t n = read(m_fd, buf, sizeof(buf));
        m_eof = n <= 0;
        if (n > 0) {
            m_out.append(buf, static_cast<std::size_t>(n));
        }
        return n > 0;
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    bool m_eof = false;
    std::string m_out;
};

// A reference responder on a free loopback port.
class Responder
{
public:
    explicit Responder(const std::vector<std::string>& args) : m_child("reference-responder", args)
    {
        if (!m_child.waitFor("\n", kStartMs)) {
            return;
        }
        const std::size_t at = m_child.output().find("port=");
        if (at != std::string::npos) {
            port = std::to_string(std::atoi(m_child.output().c_str() + at + 5));
        }
    }
    std::string port; // empty when it did not start
private:
    Child m_child;
};

struct BenchRun
{
    int status;
    std::string output;
    std::map<std::string, std::string> summary; // key=value pairs of the req/s= line

    std::string get(const std::string& key) const
    {
        const auto it = summary.find(key);
        return it == summary.end() ? "(missing)" : it->second;
    }
};

BenchRun runBench(const std::string& port, std::vector<std::string> args)
{
    args.insert(args.end(), {"--port", port});
    Child bench("fins-bench", args);
    BenchRun r{bench.finish(kRunMs), bench.output(), {}};
    const std::size_t at = r.output.rfind("\nreq/s=");
    std::istringstream line(at == std::string::npos ? "" : r.output.substr(at + 1));
    for (std::string kv; line >> kv;) {
        const std::size_t eq = kv.find('=');
        r.summary[kv.substr(0, eq)] = eq == std::string::npos ? "" : kv.substr(eq + 1);
    }
    return r;
}

std::string joined(const std::vector<std::string>& args)
{
    std::string s;
    for (const std::string& a : args) {
        s += a + " ";
    }
    return s;
}

// Builds without the benchmarks (the sanitizer builds) have no reference responder.
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

// --- fins-bench against a well-behaved responder ---------------------------------------------

struct GoodCase
{
    std::vector<std::string> responderArgs;
    std::vector<std::string> benchArgs;
};

// Every run sends 640 requests, so each of up to 64 connections has work.
const GoodCase kGoodCases[] = {
    {{}, {"--tcp", "--conns", "1"}},
    {{}, {"--tcp", "--conns", "8"}},
    {{}, {"--tcp", "--conns", "64"}},
    {{}, {"--tcp", "--conns", "1", "--pipeline", "16"}},
    {{}, {"--tcp", "--conns", "8", "--pipeline", "16", "--threads", "2"}},
    {{}, {"--udp", "--conns", "1"}},
    {{}, {"--udp", "--conns", "8"}},
    {{}, {"--udp", "--conns", "64"}},
    {{}, {"--udp", "--conns", "1", "--pipeline", "16"}},
    {{}, {"--tcp", "--conns", "8", "--write"}},
    {{}, {"--udp", "--conns", "8", "--write", "--bits", "--cio"}},
    {{"--words", "20"}, {"--tcp", "--bits", "--words", "20"}},
    {{"--words", "2000"}, {"--tcp", "--conns", "8", "--words", "2000"}},
    {{"--words", "2000"}, {"--udp", "--conns", "8", "--words", "2000"}},
};

TEST_F(BenchTools, CountsEveryRequestAgainstTheReferenceResponder)
{
    for (const GoodCase& c : kGoodCases) {
        SCOPED_TRACE(joined(c.benchArgs));
        Responder responder(c.responderArgs);
        ASSERT_FALSE(responder.port.empty()) << "reference-responder did not start";
        std::vector<std::string> args = c.benchArgs;
        args.insert(args.end(), {"--count", "640"});
        const BenchRun r = runBench(responder.port, args);
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.get("requests"), "640") << r.output;
        const auto flag = std::find(c.benchArgs.begin(), c.benchArgs.end(), "--conns");
        const std::string conns = flag == c.benchArgs.end() ? "1" : *(flag + 1);
        EXPECT_EQ(r.get("served"), conns + "/" + conns) << r.output;
        ASSERT_EQ(r.summary.count("p50_us") + r.summary.count("p99_us"), 2u) << r.output;
        EXPECT_LE(std::stoull(r.get("p50_us")), std::stoull(r.get("p99_us")));
        EXPECT_GT(std::stod(r.get("req/s")), 0);
    }
}

TEST_F(BenchTools, TimedRunStopsAtItsDeadlineAndDrainsWhatIsInFlight)
{
    Responder responder({});
    ASSERT_FALSE(responder.port.empty());
    const BenchRun r = runBench(responder.port, {"--seconds", "0.3", "--conns", "4"});
    ASSERT_EQ(r.status, 0) << r.output;
    const double seconds = std::stod(r.get("seconds"));
    EXPECT_GE(seconds, 0.3);
    EXPECT_LT(seconds, 5.0) << "the run did not end near its deadline";
    EXPECT_EQ(r.get("served"), "4/4");
}

// --- fins-bench must fail loudly -------------------------------------------------------------

struct BadCase
{
    const char* what;
    std::vector<std::string> responderArgs;
    std::vector<std::string> benchArgs;
    const char* reason; // part of the failure message
};

const BadCase kBadCases[] = {
    {"wrong SID over TCP", {"--bad-sid"}, {"--tcp"}, "SID 1 where 0 was expected"},
    {"wrong SID over UDP", {"--bad-sid"}, {"--udp"}, "SID 1 where 0 was expected"},
    {"wrong SID at pipeline 16", {"--bad-sid"}, {"--pipeline", "16"}, "SID"},
    {"short read response", {"--words", "9"}, {"--tcp"}, "32 bytes where 34 were expected"},
    {"long read response over UDP", {"--words", "11"}, {"--udp"}, "where 34 were expected"},
    {"no response over TCP", {"--mute"}, {"--tcp"}, "no response to request 1 (SID 0) within"},
    {"no response over UDP", {"--mute"}, {"--udp"}, "no response to request 1"},
};

TEST_F(BenchTools, FailsLoudlyOnAWrongOrMissingResponse)
{
    for (const BadCase& c : kBadCases) {
        SCOPED_TRACE(c.what);
        Responder responder(c.responderArgs);
        ASSERT_FALSE(responder.port.empty());
        std::vector<std::string> args = c.benchArgs;
        args.insert(args.end(), {"--count", "100", "--timeout-ms", "300"});
        const BenchRun r = runBench(responder.port, args);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("FAILED"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.reason), std::string::npos) << r.output;
        EXPECT_TRUE(r.summary.empty()) << "a failed run printed a result line";
    }
}

TEST_F(BenchTools, FailsWhenNothingListens)
{
    // A port that was free a moment ago: the responder is gone once it goes out of scope.
    std::string port;
    {
        Responder responder({});
        port = responder.port;
    }
    ASSERT_FALSE(port.empty());
    const BenchRun tcp = runBench(port, {"--tcp", "--count", "1"});
    EXPECT_EQ(tcp.status, 1) << tcp.output;
    EXPECT_NE(tcp.output.find("connect: Connection refused"), std::string::npos) << tcp.output;
    const BenchRun udp = runBench(port, {"--udp", "--count", "1", "--timeout-ms", "1000"});
    EXPECT_EQ(udp.status, 1) << udp.output;
    EXPECT_NE(udp.output.find("FAILED"), std::string::npos) << udp.output;
}

TEST_F(BenchTools, RejectsContradictoryOrOutOfRangeOptions)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--seconds", "1", "--count", "10"},
        {"--conns", "8", "--count", "7"},
        {"--pipeline", "0"},
        {"--pipeline", "257"},
        {"--words", "2001"},
        {"--seconds", "0"},
        {"--port", "65536"},
        {"--host", "localhost"},
        {"--frobnicate"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(joined(args));
        // Port 1 is closed; the usage error must come before any connection is tried, and a
        // later --port in the row wins.
        std::vector<std::string> all{"--port", "1"};
        all.insert(all.end(), args.begin(), args.end());
        Child bench("fins-bench", all);
        EXPECT_EQ(bench.finish(kRunMs), 2) << bench.output();
    }
}

// --- fins-bench against a scripted server that spoils its answers ----------------------------

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
    putTcpHeader(r.data(), r.size() - kTcpHeaderLen, kTcpFrame, 0);
    uint8_t* f = &r[kTcpHeaderLen];
    std::memcpy(f, kResponsePrefix, sizeof(kResponsePrefix));
    f[kSidOffset] = fins[kSidOffset];
    std::memcpy(f + kCommandOffset, fins + kCommandOffset, 2);
    return r;
}

Bytes nodeReply(const Bytes& request)
{
    Bytes r(kTcpHeaderLen + kNodeReplyBody, 0);
    putTcpHeader(r.data(), kNodeReplyBody, kTcpNodeResponse, 0);
    r[kTcpHeaderLen + kNodeClientByte] = request[kTcpHeaderLen + kNodeClientByte];
    return r;
}

// Serves one FINS/TCP connection on a free loopback port as the script says, on a thread of its
// own, until the client closes or the test ends.
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
        m_stop.store(true, std::memory_order_relaxed);
        if (m_thread.joinable()) {
            m_thread.join();
        }
        close(m_listen);
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::string port; // empty when the socket could not be set up

private:
    // Waits for `events` on fd in short polls, so that the destructor's stop is seen.
    bool ready(int fd, short events)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMs);
        while (!m_stop.load(std::memory_order_relaxed) && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, events, 0};
            if (poll(&p, 1, 50) > 0) {
                return true;
            }
        }
        return false;
    }

    bool readExact(int fd, uint8_t* buf, std::size_t n)
    {
        for (std::size_t got = 0; got < n;) {
            const ssize_t r = ready(fd, POLLIN) ? read(fd, buf + got, n - got) : -1;
            if (r <= 0) {
                return false;
            }
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

    bool readFrame(int fd, Bytes& frame)
    {
        frame.assign(kTcpHeaderLen, 0);
        if (!readExact(fd, frame.data(), kTcpHeaderLen)) {
            return false;
        }
        frame.resize(getBe32(&frame[kTcpLengthOffset]) + kTcpLengthBias);
        return readExact(fd, frame.data() + kTcpHeaderLen, frame.size() - kTcpHeaderLen);
    }

    bool writeAll(int fd, const Bytes& bytes)
    {
        const std::size_t step = m_script.delivery == Delivery::ByteByByte ? 1 : bytes.size();
        for (std::size_t off = 0; off < bytes.size(); off += step) {
            if (send(fd, bytes.data() + off, std::min(step, bytes.size() - off), MSG_NOSIGNAL) <=
                0) {
                return false;
            }
        }
        return true;
    }

    // Reads `gather` requests (the first may be the node address request) and answers them.
    bool answer(int fd)
    {
        Bytes out;
        Bytes frame;
        const unsigned gather = m_script.delivery == Delivery::Gathered ? 4 : 1;
        for (unsigned i = 0; i < gather; ++i) {
            if (!readFrame(fd, frame)) {
                return false;
            }
            if (getBe32(&frame[kTcpCommandOffset]) == kTcpNodeRequest) {
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

    void serve()
    {
        if (!ready(m_listen, POLLIN)) {
            return;
        }
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        while (fd >= 0 && answer(fd)) {
        }
        close(fd);
    }

    const Script m_script;
    int m_listen = -1;
    std::atomic<bool> m_stop{false}; // set by the test thread, read by the server thread
    std::thread m_thread;
};

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

class BenchChecks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (access(binPath("fins-bench").c_str(), X_OK) != 0) {
            GTEST_SKIP() << binPath("fins-bench") << " is not built in this configuration";
        }
    }
};

TEST_F(BenchChecks, EverySpoiledByteIsCaughtAndAnySegmentationIsReassembled)
{
    for (const Script& script : kScripts) {
        SCOPED_TRACE(script.what);
        ScriptedServer server(script);
        ASSERT_FALSE(server.port.empty());
        const bool good = *script.reasons == '\0';
        const BenchRun r =
            runBench(server.port, {"--count", "20", "--timeout-ms", "2000", "--pipeline",
                                   script.delivery == D::Gathered ? "4" : "1"});
        EXPECT_EQ(r.status, good ? 0 : 1) << r.output;
        if (good) {
            EXPECT_EQ(r.get("requests"), "20") << r.output;
        } else {
            EXPECT_TRUE(containsOneOf(r.output, script.reasons)) << r.output;
        }
    }
}

} // namespace
