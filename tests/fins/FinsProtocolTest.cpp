// Request intake and dispatch: FINS/TCP framing checks, the node address handshake, FINS header
// and command checks, node numbers, and the exact bytes of every reply over both transports.
#include "fins/FinsProtocol.h"
#include "base/LogLimiter.h"
#include "fins/FinsCommands.h"

#include <arpa/inet.h>

#include "tests/fins/ProtocolFixture.h"

namespace {

using FinsProtocol = ProtocolFixture;

// --- Frame-level vectors (FINS/TCP only), whole replies byte for byte ---------------------------

struct TcpVector
{
    const char* name;
    std::string frame;
    const char* reply; // hex of the one reply; "" for none
    int result;        // of ProcessRecvData
};

TEST_F(FinsProtocol, TcpFramesGetTheExactReplyBytes)
{
    memory[6] = 0x34; // DM word 3 = 0x1234
    memory[7] = 0x12;
    const std::string read = ReadRequest(0x82, 3, 0, 1);
    std::string longFrame = TcpFrame(2, read);
    longFrame.replace(4, 4, Big32(8)); // the length field says there is no body
    std::string noMagic = TcpFrame(2, read);
    noMagic[3] = 'X';
    const TcpVector vectors[] = {
        {"handshake", TcpFrame(0, Hex("00000005")),
         "46494E53 00000010 00000001 00000000 00000005 00000003", 0},
        {"handshake from node 0 is assigned the peer's node, bytes beyond the fourth ignored",
         TcpFrame(0, Hex("00000000 FF")), "46494E53 00000010 00000001 00000000 00000015 00000003",
         0},
        {"handshake body under 4 bytes", TcpFrame(0, Hex("000005")), "", -1},
        {"no magic, before a handshake", noMagic, "46494E53 00000008 00000001 00000023", 35},
        {"frame under 16 bytes", Hex("46494E53 0000000C 00000002 0000"),
         "46494E53 00000008 00000001 00000022", 34},
        {"frame longer than its length field", longFrame, "46494E53 00000008 00000001 00000022",
         34},
        {"length field below 8", Hex("46494E53 00000000 00000002 00000000"),
         "46494E53 00000008 00000001 00000022", 34},
        {"unknown FINS/TCP command", TcpFrame(7, read), "", 0},
        {"read", TcpFrame(2, read),
         "46494E53 00000018 00000002 00000000 C0000200 01000063 0009 "
         "0101 0000 1234",
         0},
        {"FINS frame under 12 bytes", TcpFrame(2, read.substr(0, 11)), "", -1},
    };
    for (const TcpVector& v : vectors) {
        SCOPED_TRACE(v.name);
        server.clear();
        auto conn = server.newConnection(kPeer, kLocal); // no handshake carried over between rows
        EXPECT_EQ(v.result, SendTcp(v.frame, conn.get()));
        std::vector<std::string> replies = server.payloads();
        if (*v.reply == '\0') {
            EXPECT_TRUE(replies.empty());
        } else {
            ASSERT_EQ(1u, replies.size());
            EXPECT_EQ(ToHex(Hex(v.reply)), ToHex(replies[0]));
        }
    }
}

// --- Handshake flag --------------------------------------------------------------------------

TEST_F(FinsProtocol, FramingErrorsCarryCommand2OnceTheHandshakeIsDone)
{
    std::string noMagic = TcpFrame(2, ReadRequest(0x82, 0, 0, 1));
    noMagic[0] = 'f';
    SendTcp(TcpFrame(0, Hex("000005"))); // a refused handshake
    SendTcp(noMagic);
    EXPECT_EQ(ToHex(Hex("46494E53 00000008 00000001 00000023")), ToHex(server.last()));
    EXPECT_FALSE(tcp->IsHandShake());

    SendTcp(TcpFrame(0, Hex("00000005")));
    EXPECT_TRUE(tcp->IsHandShake());
    EXPECT_EQ(0u, tcp->iClientNode); // the handshake does not set the node numbers
    EXPECT_EQ(0u, tcp->iServerNode);
    SendTcp(noMagic);
    EXPECT_EQ(ToHex(Hex("46494E53 00000008 00000002 00000023")), ToHex(server.last()));
}

// --- FINS-level vectors, run over both transports ----------------------------------------------

struct FinsVector
{
    const char* name;
    std::string request;
    std::string reply; // FINS part of the reply, or "none"
};

TEST_F(FinsProtocol, FinsRequestsGetTheExactReplyOverBothTransports)
{
    const FinsVector vectors[] = {
        {"DM read", ReadRequest(0x82, 3, 0, 2), Reply("0101 0000 1234 ABCD")},
        {"addresses traded whatever the connection's, the request id echoed",
         Hex("80 00 02 01 44 02 03 AA 04 77 0101") + AreaCommand(0x82, 0, 0, 1),
         Hex("C0 00 02 03 AA 04 01 44 02 77 0101 0000 0000")},
        {"DM write", WriteRequest(0x82, 3, 0, 1, Hex("ABCD")), Reply("0102 0000")},
        {"read of 12 bytes: too short, command bytes echoed", FinsHeader(0x0101),
         Reply("0101 1002")},
        {"write of 17 bytes", WriteRequest(0x82, 3, 0, 1, "").substr(0, 17), Reply("0102 1002")},
        {"frame of 11 bytes", ReadRequest(0x82, 3, 0, 2).substr(0, 11), "none"},
        {"gateway count 7", Hex("80 00 07") + ReadRequest(0x82, 3, 0, 1).substr(3),
         Reply("0101 0000 1234")},
        {"gateway count 0", Hex("80 00 00") + ReadRequest(0x82, 3, 0, 1).substr(3),
         Reply("0101 0000 1234")},
        {"gateway count 8", Hex("80 00 08") + ReadRequest(0x82, 3, 0, 1).substr(3),
         Reply("0101 1005")},
        {"reserved byte set", Hex("80 01 02") + ReadRequest(0x82, 3, 0, 1).substr(3),
         Reply("0101 1005")},
        {"bad header wins over a short frame", Hex("80 01 02") + FinsHeader(0x0101).substr(3, 12),
         Reply("0101 1005")},
        // A response (ICF bit 6) is never answered, not even with an error: two nodes that did so
        // would answer each other for ever.
        {"response frame", Hex("C0") + ReadRequest(0x82, 3, 0, 2).substr(1), "none"},
        {"response frame, short and of a bad command",
         Hex("C1 00 02") + FinsHeader(0x0401).substr(3), "none"},
        {"response frame with a bad prefix", Hex("40 01 09") + FinsHeader(0x0101).substr(3),
         "none"},
        {"bad header wins over a bad command", Hex("82") + FinsHeader(0x0401).substr(1),
         Reply("0401 1005")},
        {"no response wanted, not even an error", Hex("81 00 09") + FinsHeader(0x0401).substr(3),
         "none"},
        {"run is the runtime's decision", FinsHeader(0x0401), Reply("0401 0401")},
        {"clock write is the runtime's decision", FinsHeader(0x0702) + Hex("26 01 02 03 04 05"),
         Reply("0702 0401")},
        {"undefined command 0x8001", FinsHeader(0x8001) + AreaCommand(0x82, 0, 0, 1),
         Reply("8001 0401")},
        {"loopback: the data come back", FinsHeader(0x0801) + Hex("00 FF 7E"),
         Reply("0801 0000 00 FF 7E")},
        {"loopback of the largest data", FinsHeader(0x0801) + std::string(kMaxLoopbackData, '\x5A'),
         Reply("0801 0000") + std::string(kMaxLoopbackData, '\x5A')},
        {"loopback past the largest frame",
         FinsHeader(0x0801) + std::string(kMaxLoopbackData + 1, '\x5A'), Reply("0801 1001")},
        {"unknown area on read", ReadRequest(0x31, 0, 0, 1), Reply("0101 1101")},
        {"unknown area wins over a count above 2000", ReadRequest(0x84, 0, 0, 2001),
         Reply("0101 1101")},
        {"unknown area on write", WriteRequest(0xB1, 0, 0, 1, Hex("0000")), Reply("0102 1101")},
    };
    for (bool overTcp : {true, false}) {
        for (const FinsVector& v : vectors) {
            SCOPED_TRACE(std::string(v.name) + (overTcp ? " over TCP" : " over UDP"));
            memory.assign(memory.size(), 0); // same addresses: the vectors stay valid
            memory[6] = 0x34;
            memory[7] = 0x12;
            memory[8] = static_cast<char>(0xCD);
            memory[9] = static_cast<char>(0xAB);
            logger.clear();
            EXPECT_EQ(ToHex(v.reply), ToHex(Exchange(v.request, overTcp)));
            const bool response = (static_cast<uint8_t>(v.request[0]) & 0x40) != 0;
            const bool unsupported = v.reply.size() >= 14 && v.reply.substr(12, 2) == Hex("0401");
            if (!response && !unsupported) {
                EXPECT_TRUE(logger.entries().empty())
                    << "only undefined commands and dropped responses are logged";
            }
        }
    }
}

TEST_F(FinsProtocol, RequestWantingNoResponseIsCarriedOutSilently)
{
    for (bool overTcp : {true, false}) {
        memory.assign(memory.size(), 0);
        std::string write = Hex("81") + WriteRequest(0x82, 1, 0, 1, Hex("ABCD")).substr(1);
        EXPECT_EQ("none", Exchange(write, overTcp));
        EXPECT_EQ(Hex("CDAB"), std::string(memory.begin() + 2, memory.begin() + 4));
    }
}

// Regression: every malformed frame and unsupported command wrote a line, so any peer could fill
// the runtime's log at line rate. Each text is limited on its own; every frame is still answered.
TEST_F(FinsProtocol, FloodOfBadFramesLogsAFewLinesPerText)
{
    constexpr int kFrames = 40;
    std::string noMagic = TcpFrame(2, ReadRequest(0x82, 0, 0, 1));
    noMagic[3] = 'X';
    size_t answered = 0;
    for (int i = 0; i < kFrames; ++i) {
        server.clear();
        SendTcp(noMagic);
        answered += server.count();
        answered += Exchange(FinsHeader(0x0402) + AreaCommand(0x82, 0, 0, 1), true) != "none";
    }
    EXPECT_EQ(static_cast<size_t>(2 * kFrames), answered);
    EXPECT_EQ(static_cast<int>(kLogLimitPeerLines), logger.count("not find fins form one frame"));
    EXPECT_EQ(static_cast<int>(kLogLimitPeerLines), logger.count("Not Support FinsCmd:402"));
    for (const LogRecord& e : logger.entries()) {
        EXPECT_EQ(LOG_CLASS_ERROR, e.classId);
    }
}

// A frame whose length field promises more than the frame holds must be parsed as what is
// there: a write counting 10 words with 2 data bytes present is a length mismatch, and nothing
// is read past the frame (the receive block is exactly the frame, so ASan sees any overrun).
TEST_F(FinsProtocol, FrameShorterThanItsLengthFieldIsParsedAsWhatIsThere)
{
    std::string frame = TcpFrame(2, WriteRequest(0x82, 0, 0, 10, Hex("ABCD")));
    frame.replace(4, 4, Big32(8 + 12 + 6 + 20)); // claims all 20 data bytes
    std::vector<char> before = AllMemory();
    SendTcp(frame);
    EXPECT_EQ(ToHex(Reply("0102 1003")), ToHex(server.last().substr(16)));
    EXPECT_EQ(before, AllMemory());
}

// --- Node numbers ----------------------------------------------------------------------------

void SetPeer(CSocketConnection& conn, uint32_t addr, uint16_t port = 0)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(addr);
    std::memcpy(&conn.peerAddr, &peer, sizeof(peer));
}

// A client that calls itself node 170 from 192.168.250.9 is answered as node 170, whichever
// address its datagrams or its connection come from; the server answers as the node addressed.
TEST_F(FinsProtocol, ResponsesAddressTheClientAsItNamedItself)
{
    auto wildcard = server.newConnection("192.168.250.9", "0.0.0.0");
    const std::string asked = FinsHeader(0x0101, 0x09, 0x0A, 0xAA) + AreaCommand(0x82, 0, 0, 1);
    const std::string answer = Hex("C0 00 02 00 AA 00 00 0A 00 09 0101 0000 0000");
    server.clear();
    SendUdp(asked, wildcard.get());
    EXPECT_EQ(ToHex(answer), ToHex(server.last()));
    SetPeer(*tcp, 0x0A00004D); // 10.0.0.77
    EXPECT_EQ(ToHex(answer), ToHex(Exchange(asked, true)));
}

TEST_F(FinsProtocol, UdpRepliesGoToTheSenderOfTheirRequest)
{
    SetPeer(*udp, 0x7F000001, 49152);
    server.clear();
    SendUdp(ReadRequest(0x82, 0, 0, 1));
    SetPeer(*udp, 0x7F000001, 1); // the next datagram's sender must not change a queued reply
    std::vector<CaptureServer::Sent> sent = server.sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(udp.get(), sent[0].conn);
    EXPECT_EQ(AF_INET, sent[0].peer.sin_family);
    EXPECT_EQ(htons(49152), sent[0].peer.sin_port);
    EXPECT_EQ(htonl(0x7F000001), sent[0].peer.sin_addr.s_addr);
}

} // namespace
