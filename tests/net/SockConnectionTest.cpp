// The connection record: send blocks stamped with the use counter, the life of a record across
// uses, and what happens without an owning server.
#include "net/SockConnection.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/CaptureServer.h"

namespace {

TEST(SockConnection, SendMessageQueuesACopyStampedWithTheCurrentUse)
{
    CaptureServer server;
    auto conn = server.newConnection("10.0.0.21:50000", "10.0.0.3");
    char bytes[] = "response";
    EXPECT_EQ(0, conn->send_message(bytes, 8));
    bytes[0] = 'X'; // the block holds a copy
    std::vector<CaptureServer::Sent> sent = server.sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(conn.get(), sent[0].conn);
    EXPECT_EQ(conn->iCurrsequence.load(), sent[0].sequence);
    EXPECT_EQ("response", sent[0].bytes);
    EXPECT_EQ(0, conn->send_message(bytes, 0)); // an empty block is still a block
    EXPECT_EQ(2u, server.count());
}

TEST(SockConnection, RefusedSendsQueueNothing)
{
    CaptureServer server;
    auto conn = server.newConnection("a", "b");
    EXPECT_EQ(-1, conn->send_message(nullptr, 4));
    EXPECT_EQ(-1, conn->send_message("abcd", -1));
    EXPECT_EQ(-1, conn->msg_send(nullptr));
    EXPECT_EQ(0u, server.count());
}

// Without an owning server the block is released (ASan reports a leak otherwise).
TEST(SockConnection, WithoutAServerBlocksAreReleased)
{
    CSocketConnection conn;
    conn.GetOneToUse();
    EXPECT_EQ(0, conn.send_message("abcd", 4));
    EXPECT_EQ(-1, conn.msg_send(new char[sizeof(_SockMsgHeader)]));
    char data[4] = {};
    EXPECT_EQ(0, conn.sendproc(data, sizeof(data)));
}

TEST(SockConnection, BlocksOfAnEndedUseKeepTheirOldStamp)
{
    CaptureServer server;
    auto conn = server.newConnection("10.0.0.21:50000", "10.0.0.3");
    conn->send_message("old", 3);
    uint64_t oldUse = conn->iCurrsequence.load();
    conn->PutOneToFree();
    conn->GetOneToUse();
    conn->SetSockServer(&server);
    conn->send_message("new", 3);
    std::vector<CaptureServer::Sent> sent = server.sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(oldUse, sent[0].sequence);
    EXPECT_EQ(oldUse + 2, sent[1].sequence);
    EXPECT_NE(conn->iCurrsequence.load(), sent[0].sequence);
}

TEST(SockConnection, NewUseResetsFramingButKeepsHandlersAndLocalAddress)
{
    CSocketConnection conn;
    EXPECT_EQ(0u, conn.iCurrsequence.load());
    EXPECT_FALSE(conn.IsHandShake());
    EXPECT_EQ(0, conn.GetOneToUse());
    conn.readHandler = &ISocketServer::sock_read_request_handler;
    std::strcpy(conn.szLocalAddr, "10.0.0.3");
    std::strcpy(conn.szPeerAddr, "10.0.0.21:1");
    conn.fd = 7;
    conn.recvStat = RECV_BODY_PART;
    conn.iRecvLeft = 3;
    conn.iWritePending = 1;
    conn.SetHandShake(true);
    conn.iServerNode = 3;
    conn.GetOneToUse();
    EXPECT_EQ(2u, conn.iCurrsequence.load());
    EXPECT_EQ(-1, conn.get_fd());
    EXPECT_EQ(RECV_HEADER_START, conn.recvStat);
    EXPECT_EQ(kFinsTcpHeaderLen, conn.iRecvLeft);
    EXPECT_EQ(conn.headerBuf, conn.pRecvPos);
    EXPECT_EQ(0, conn.iWritePending.load());
    EXPECT_STREQ("", conn.szPeerAddr);
    EXPECT_FALSE(conn.IsHandShake());
    EXPECT_TRUE(conn.readHandler == &ISocketServer::sock_read_request_handler);
    EXPECT_STREQ("10.0.0.3", conn.szLocalAddr);
    EXPECT_EQ(3u, conn.iServerNode);
}

// Each block is released exactly once: ASan reports a leak or a double release.
TEST(SockConnection, PutOneToFreeReleasesBothBlocks)
{
    CSocketConnection conn;
    conn.GetOneToUse();
    conn.pRecvBlock = new char[64];
    conn.pSendBlock = new char[64];
    conn.iClientNode = 21;
    conn.iServerNode = 3;
    conn.PutOneToFree();
    EXPECT_EQ(nullptr, conn.pRecvBlock);
    EXPECT_EQ(nullptr, conn.pSendBlock);
    EXPECT_EQ(0u, conn.iClientNode);
    EXPECT_EQ(0u, conn.iServerNode);
    EXPECT_EQ(2u, conn.iCurrsequence.load());
    conn.pRecvBlock = new char[8]; // the destructor releases what is still held
}

} // namespace
