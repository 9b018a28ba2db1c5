// The FINS/TCP stream framing and the write handler, driven one event at a time on a socketpair:
// the loop is built but not started, so every queued response stays in its send queue.
#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/ISocketServer.h"
#include "tests/net/NetHarness.h"
#include "tests/support/CaptureServer.h"
#include "utility/Singleton.h"

namespace {

constexpr const char* kPeerText = "127.0.0.1:5000";

class FramingTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv));
        server.set_event_loop(&loop);
        server.set_frame_handler(&binding);
        conn = loop.get_connection(sv[0]);
        conn->SetSockServer(&server);
        conn->readHandler = &ISocketServer::sock_read_request_handler;
        conn->writeHandler = &ISocketServer::sock_write_request_handler;
        SetConnectionAddrs(conn, kPeerText, "127.0.0.1");
    }

    void TearDown() override
    {
        if (sv[1] != -1) {
            close(sv[1]);
        }
        // sv[0] belongs to the record; the loop's destructor closes it if still open.
    }

    void Feed(const std::string& bytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(sv[1], bytes.data(), bytes.size()));
    }

    int Read() { return server.sock_read_request_handler(conn); }

    // Runs the read handler until the socket holds no more bytes (bounded).
    void ReadAll()
    {
        for (int i = 0; i < 100000 && Pending() > 0 && conn->fd.load() != -1; ++i) {
            Read();
        }
    }

    int Pending()
    {
        int n = 0;
        return ioctl(sv[0], FIONREAD, &n) == 0 ? n : -1;
    }

    AppMemory mem;
    FakeLogger log;
    CEventLoop loop;
    CFinsBinding binding{*utility::Singleton<CFinsProtocol>::instance()};
    ISocketServer server;
    CSocketConnection* conn = nullptr;
    int sv[2] = {-1, -1};
};

// Two frames cut at every byte, each part read on its own, then sent one byte at a time: header
// pieces, a body that comes with the next frame's header, and the last frame of a receive all come
// out as the same two replies.
TEST_F(FramingTest, TwoFramesCutAtAnyByteAreAnsweredInOrder)
{
    const std::string frames = DmReadTcp(1, 0, 2) + DmReadTcp(2, 10, 3);
    const std::vector<std::string> replies = {DmReadReplyTcp(1, 0, 2), DmReadReplyTcp(2, 10, 3)};
    for (size_t cut = 1; cut < frames.size(); ++cut) {
        SCOPED_TRACE(cut);
        Feed(frames.substr(0, cut));
        ReadAll();
        Feed(frames.substr(cut));
        ReadAll();
        ASSERT_EQ(replies, EventLoopTestPeer::takeQueued(loop));
        ASSERT_EQ(RECV_HEADER_START, conn->recvStat);
    }
    for (char byte : frames) {
        Feed(std::string(1, byte));
        ReadAll();
    }
    EXPECT_EQ(replies, EventLoopTestPeer::takeQueued(loop));
}

TEST_F(FramingTest, OneReceiveIsNeverLargerThanTheFramesTheBacklogStillAllows)
{
    // Two frames are waiting; with room for one more response only 16 bytes may be taken.
    conn->iBacklog.store(kBacklogPauseBlocks - 1);
    Feed(DmReadTcp(1, 0, 2) + DmReadTcp(2, 0, 2));
    Read();
    EXPECT_EQ(static_cast<int>(2 * DmReadTcp(1, 0, 2).size()) - 16, Pending());
    conn->iBacklog.store(0);
    ReadAll();
    EXPECT_EQ(2u, EventLoopTestPeer::takeQueued(loop).size());
}

TEST_F(FramingTest, EmptyBodyFrameIsDeliveredWhenItsHeaderCompletes)
{
    // Wrong magic, so the protocol answers at once with a framing-error reply (code 35).
    std::string frame = TcpFrame(2, "", 8);
    frame[0] = 'X';
    Feed(frame);
    EXPECT_EQ(0, Read());
    EXPECT_EQ(RECV_HEADER_START, conn->recvStat);
    EXPECT_EQ(16, conn->iRecvLeft);
    const auto replies = EventLoopTestPeer::takeQueued(loop);
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(TcpFrame(1, "", 8).substr(0, 12) + std::string("\0\0\0\x23", 4), replies[0]);
    EXPECT_NE(-1, conn->fd.load());
}

struct LengthCase
{
    int64_t lengthField;
    bool accepted;
    const char* logged; // size the refusal line prints
};

class FramingLengthTest : public FramingTest, public ::testing::WithParamInterface<LengthCase>
{};

TEST_P(FramingLengthTest, LengthFieldBetweenEightAnd65543IsAccepted)
{
    const LengthCase c = GetParam();
    Feed(TcpFrame(2, "", c.lengthField));
    Read();
    if (c.accepted) {
        EXPECT_NE(-1, conn->fd.load());
        EXPECT_EQ(c.lengthField - 8, conn->iRecvLeft);
        EXPECT_EQ(0, log.countContaining("invaild packet"));
        return;
    }
    EXPECT_EQ(-1, conn->fd.load());
    EXPECT_EQ(RECV_HEADER_START, conn->recvStat);
    EXPECT_EQ(1, log.count(std::string("client:") + kPeerText +
                           ",recv invaild packet,size:" + c.logged + ">limit len close conn"));
    EXPECT_EQ(std::vector<CSocketConnection*>{conn}, EventLoopTestPeer::recycleList(loop));
    EXPECT_TRUE(EventLoopTestPeer::takeQueued(loop).empty()); // nothing sent to the peer
}

INSTANTIATE_TEST_SUITE_P(Limits, FramingLengthTest,
                         ::testing::Values(LengthCase{0, false, "-8"}, LengthCase{7, false, "-1"},
                                           LengthCase{9, true, ""}, LengthCase{65543, true, ""},
                                           LengthCase{65544, false, "65536"},
                                           LengthCase{0xFFFFFFFFll, false, "-9"}),
                         [](const auto& param) {
                             return "Length" + std::to_string(param.param.lengthField);
                         });

TEST_F(FramingTest, LargestBodyIsReadAndDeliveredWhole)
{
    // A DM word write whose data length does not match its count: the protocol answers 0x1003,
    // which it can only do once it holds the whole 65535-byte body.
    std::string fins = DmReadFins(9, 0, 1);
    fins[11] = 2;
    fins += std::string(65535 - fins.size(), '\0');
    Feed(TcpFrame(2, fins).substr(0, 16));
    Read();
    // The rest arrives in pieces the socket pair's buffer can hold.
    const std::string body = fins;
    for (size_t at = 0; at < body.size(); at += 4096) {
        Feed(body.substr(at, 4096));
        ReadAll();
    }
    const auto replies = EventLoopTestPeer::takeQueued(loop);
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(std::string("\x10\x03", 2), replies[0].substr(replies[0].size() - 2));
}

TEST_F(FramingTest, PeerCloseLogsAndClosesWhileWouldBlockChangesNothing)
{
    EXPECT_EQ(-1, Read()); // nothing there: EAGAIN
    EXPECT_NE(-1, conn->fd.load());
    EXPECT_EQ(0, log.countContaining("disconnect"));
    close(sv[1]);
    sv[1] = -1;
    EXPECT_EQ(-1, Read());
    EXPECT_EQ(-1, conn->fd.load());
    EXPECT_EQ(1, log.countContaining(std::string("client:") + kPeerText +
                                     " request disconnect fd:" + std::to_string(sv[0])));
}

// --- Write handler (writer thread side), called as the loop's dispatch does, lock held ---

class WriteHandlerTest : public FramingTest
{
protected:
    // A block of which the send thread wrote nothing: registered for writability, pending.
    void MakePending(const std::string& payload)
    {
        char* block = MakeSendBlock(conn, payload);
        conn->pSendBlock = block;
        conn->pSendPos = SockMsgPayload(block);
        conn->iSendLeft = static_cast<uint32_t>(payload.size());
        conn->iWritePending.store(1);
        ASSERT_EQ(0, loop.epoll_oper_event(loop.get_write_epoll_fd(), sv[0], EPOLL_CTL_ADD,
                                           EPOLLOUT, EPOLL_MODE_ADD, conn));
    }

    bool StillRegistered()
    {
        epoll_event ev{};
        ev.events = EPOLLOUT;
        return epoll_ctl(loop.get_write_epoll_fd(), EPOLL_CTL_MOD, sv[0], &ev) == 0;
    }

    int HandleWrite()
    {
        CLockGuard lock(conn->sendLock);
        return server.sock_write_request_handler(conn);
    }
};

class SendOutcomeTest : public WriteHandlerTest, public ::testing::WithParamInterface<bool>
{};

// Whether the block goes out or the send fails (the peer is gone: without MSG_NOSIGNAL this
// process would die of SIGPIPE), the registration ends, the block is forgotten and the send thread
// is woken. Regression: a failed send released the block but left the registration, so the next
// event sent from freed memory and the next partial write could not register.
TEST_P(SendOutcomeTest, FinishedOrFailedSendEndsTheRegistrationAndForgetsTheBlock)
{
    const bool peerGone = GetParam();
    MakePending("response bytes");
    if (peerGone) {
        close(sv[1]);
        sv[1] = -1;
    }
    EXPECT_EQ(0, HandleWrite());
    std::string got;
    EXPECT_TRUE(peerGone || (RecvExact(sv[1], 14, got) && got == "response bytes")) << got;
    EXPECT_FALSE(StillRegistered());
    EXPECT_EQ(0, conn->iWritePending.load());
    EXPECT_EQ(nullptr, conn->pSendBlock);
    EXPECT_EQ(nullptr, conn->pSendPos);
    EXPECT_EQ(0u, conn->iSendLeft);
    EXPECT_EQ(0, conn->iBacklog.load());
    EXPECT_TRUE(EventLoopTestPeer::heldReady(loop));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SendOutcomeTest, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Failed" : "Finished"; });

// A socket that takes only part of the block: the handler keeps the rest and the registration,
// and later writability events send the rest, in order.
TEST_F(WriteHandlerTest, PartialSendKeepsTheRestForTheNextEvent)
{
    std::string payload(1 << 20, '\0'); // more than the socket pair holds
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i % 251); // a resent part shows
    }
    MakePending(payload);
    std::string got;
    char buf[65536];
    for (int i = 0; i < 1000 && conn->pSendBlock != nullptr; ++i) {
        ASSERT_EQ(0, HandleWrite());
        ASSERT_TRUE(conn->pSendBlock == nullptr || StillRegistered()) << i;
        for (ssize_t n = 0; (n = recv(sv[1], buf, sizeof(buf), MSG_DONTWAIT)) > 0;) {
            got.append(buf, static_cast<size_t>(n));
        }
    }
    EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes";
    EXPECT_FALSE(StillRegistered());
}

TEST_F(WriteHandlerTest, WritableRecordWithoutWriteHandlerIsNeverCalled)
{
    conn->writeHandler = nullptr;
    MakePending("x");
    EXPECT_EQ(0, loop.epoll_process_event(loop.get_write_epoll_fd(), 0));
    EXPECT_EQ(0, conn->iWritePending.load());
    EXPECT_FALSE(StillRegistered());
    EXPECT_TRUE(Quiet(sv[1], 0));
}

} // namespace
