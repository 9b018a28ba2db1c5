// Hostile bytes against the running host: a seeded, bounded campaign of random and mutated frames
// over TCP and random datagrams over UDP. Afterwards a well-behaved client reads back exactly what
// was written before the campaign, and the host is idle with its descriptors as before.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <random>

#include "tests/reliability/ReliabilityFixture.h"

namespace {

constexpr uint32_t kDefaultSeed = 0x5EED7;
constexpr int kTcpCampaignConnections = 300;
constexpr int kMaxPiecesPerConnection = 6;
constexpr int kUdpCampaignDatagrams = 3000;
constexpr int kUdpDrainEvery = 64;
constexpr size_t kMaxRandomBytes = 512;
constexpr size_t kMaxRandomDatagram = 1500;
constexpr int kReplyGraceMs = 5;
// FINS/TCP header: magic, length field, command, error code; the FINS command code sits at bytes
// 10-11 of the FINS frame behind it.
constexpr size_t kTcpHeaderLen = 16;
constexpr size_t kFinsCommandOffset = 10;
constexpr uint16_t kCioOutputWord = 0x8000;
constexpr uint16_t kCheckedCioWords = 100;
constexpr uint16_t kReadChunkWords = 2000;

uint32_t Seed()
{
    const char* text = std::getenv("FINS_GARBAGE_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 0)) : kDefaultSeed;
}

class Garbage : public ReliabilityTest
{
protected:
    // CIO output words written before the campaign, besides the DM pattern.
    static uint16_t CioWord(uint16_t i) { return static_cast<uint16_t>(0xC100 + i * 3); }

    void WriteCio()
    {
        std::vector<uint16_t> words;
        for (uint16_t i = 0; i < kCheckedCioWords; ++i) {
            words.push_back(CioWord(i));
        }
        FinsTestClient client;
        ASSERT_TRUE(client.ConnectTcp());
        ASSERT_EQ(client.WriteWords(kCioWord, kCioOutputWord, words).code, kRespOk);
    }

    // All of DM and the CIO block read back unchanged.
    void ExpectMemoryIntact()
    {
        FinsTestClient client;
        ASSERT_TRUE(client.ConnectTcp());
        for (uint32_t word = 0; word < kDmWords; word += kReadChunkWords) {
            const uint16_t count =
                static_cast<uint16_t>(std::min<uint32_t>(kReadChunkWords, kDmWords - word));
            const FinsResult r = client.ReadWords(kDmWord, static_cast<uint16_t>(word), count);
            ASSERT_TRUE(r.answered) << "DM " << word;
            EXPECT_TRUE(r.data == PatternWire(word, count))
                << "DM " << word << ".." << word + count - 1 << " changed";
        }
        const FinsResult r = client.ReadWords(kCioWord, kCioOutputWord, kCheckedCioWords);
        ASSERT_TRUE(r.answered);
        std::vector<uint16_t> words = WireToWords(r.data);
        for (uint16_t i = 0; i < kCheckedCioWords && i < words.size(); ++i) {
            EXPECT_EQ(words[i], CioWord(i)) << "CIO " << kCioOutputWord + i;
        }
    }
};

// --- The random campaign ---

class Campaign
{
public:
    explicit Campaign(uint32_t seed) : m_rng(seed) {}

    // One piece of a hostile TCP stream.
    std::string TcpPiece()
    {
        switch (Pick(5)) {
        case 0:
            return RandomBytes(kMaxRandomBytes);
        case 1:
            return Mutated(ValidTcpFrame(), kTcpHeaderLen);
        case 2:
            return HostileHeader();
        case 3: {
            std::string frame = ValidTcpFrame();
            frame.resize(Pick(frame.size())); // truncated
            return frame;
        }
        default:
            return "FINX" + TcpFrame(kTcpFrame, RandomBytes(32), 26).substr(4); // wrong magic
        }
    }

    std::string Datagram()
    {
        return Pick(2) == 0 ? RandomBytes(kMaxRandomDatagram) : Mutated(AnyRead(), 0);
    }

    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }

private:
    std::string RandomBytes(size_t max)
    {
        std::string out(Pick(max + 1), '\0');
        for (char& b : out) {
            b = static_cast<char>(Pick(256));
        }
        return out;
    }

    // A read of any area, address and count (over the limit too), with any request id.
    std::string AnyRead()
    {
        static const uint8_t areas[] = {0x30, 0x00, 0xB0, 0x80, 0x82, 0x02, 0x55};
        return FinsHeader(0x0101, static_cast<unsigned int>(Pick(256)), 1, 2) +
               AreaCommand(areas[Pick(sizeof(areas))], static_cast<unsigned int>(Pick(65536)), 0,
                           static_cast<unsigned int>(Pick(2500)));
    }

    // A read or a node address request.
    std::string ValidTcpFrame()
    {
        if (Pick(4) == 0) {
            return NodeRequest(static_cast<uint8_t>(Pick(256)));
        }
        return TcpFrame(kTcpFrame, AnyRead());
    }

    // One to four bytes replaced. The FINS command code (at finsStart + 10) is left alone: a
    // mutation must never turn a read into a write, whose effect would be legitimate.
    std::string Mutated(std::string frame, size_t finsStart)
    {
        const size_t changes = 1 + Pick(4);
        for (size_t k = 0; k < changes; ++k) {
            const size_t at = Pick(frame.size());
            if (at != finsStart + kFinsCommandOffset && at != finsStart + kFinsCommandOffset + 1) {
                frame[at] = static_cast<char>(Pick(256));
            }
        }
        return frame;
    }

    // A header whose length field is tiny, at or beyond the limit, or random, then a few bytes.
    std::string HostileHeader()
    {
        static const uint32_t lengths[] = {0, 1, 7, 8, 9, 19, 65543, 65544, 0x7FFFFFFF, 0xFFFFFFFF};
        const uint32_t length =
            Pick(3) == 0 ? static_cast<uint32_t>(m_rng()) : lengths[Pick(std::size(lengths))];
        return TcpFrame(static_cast<uint32_t>(Pick(4)), RandomBytes(64), length);
    }

    std::mt19937 m_rng;
};

// What the server sent a hostile client must still be FINS/TCP frames (a cut-off last one aside).
std::string StreamProblem(const std::string& in)
{
    size_t at = 0;
    while (in.size() - at >= kTcpHeaderLen) {
        const uint32_t length = Be32(in, at + 4);
        if (in.compare(at, 4, "FINS") != 0 || length < 8) {
            return "malformed response at byte " + std::to_string(at);
        }
        at += 8 + length;
    }
    return "";
}

// Whatever arrives within a short grace period, without waiting for more.
std::string Collect(int fd)
{
    std::string got;
    char buf[8192];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, kReplyGraceMs) > 0) {
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

TEST_F(Garbage, RandomCampaignLeavesMemoryServiceAndDescriptorsAsTheyWere)
{
    ASSERT_NO_FATAL_FAILURE(StartHost());
    ASSERT_NO_FATAL_FAILURE(WriteCio());
    const uint32_t seed = Seed();
    SCOPED_TRACE("FINS_GARBAGE_SEED=" + std::to_string(seed));
    Campaign campaign(seed);

    for (int c = 0; c < kTcpCampaignConnections; ++c) {
        std::vector<int> fds = ConnectMany(1);
        ASSERT_EQ(fds.size(), 1u) << "connection " << c;
        const size_t pieces = 1 + campaign.Pick(kMaxPiecesPerConnection);
        for (size_t k = 0; k < pieces; ++k) {
            if (!SendAll(fds[0], campaign.TcpPiece())) {
                break; // the server has closed the connection
            }
        }
        EXPECT_EQ(StreamProblem(Collect(fds[0])), "") << "connection " << c;
        if (campaign.Pick(2) == 0) {
            ResetClose(fds[0]);
            fds.clear();
        }
        CloseAll(fds);
    }

    FinsTestClient udp;
    ASSERT_TRUE(udp.OpenUdp());
    for (int d = 0; d < kUdpCampaignDatagrams; ++d) {
        const std::string datagram = campaign.Datagram();
        (void)send(udp.Fd(), datagram.data(), datagram.size(), MSG_DONTWAIT); // full: dropped
        for (std::string reply; d % kUdpDrainEvery == 0 && RecvDatagram(udp.Fd(), reply, 0);) {
            EXPECT_TRUE(reply.size() >= 14 && reply.compare(0, 3, Hex("C0 00 02")) == 0)
                << "malformed UDP response after datagram " << d;
        }
    }

    EXPECT_TRUE(WaitForFds(pid, baselineFds));
    ExpectIdle("after_garbage");
    ExpectMemoryIntact();
    ExpectServing();
    StopHost();
}

} // namespace
