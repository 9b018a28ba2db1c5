// The connection record: send blocks stamped with the use counter, the life of a record across
// uses, and what happens without an owning server.
#include "net/SockConnection.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/CaptureServer.h"

namespace {

// A block holds a copy of the bytes, stamped with the use it was queued in; blocks of an ended use
// keep their old stamp, so the send path can tell them from the record's next user's.
TEST(SockConnection, SendMessageQueuesACopyStampedWithTheUseItWasQueuedIn)
{
    CaptureServer server;
    auto conn = server.newConnection("10.0.0.21:50000", "10.0.0.3");
    char bytes[] = "old";
    EXPECT_EQ(0, conn->send_message(bytes, 3));
    bytes[0] = 'X'; // the block holds a copy
    const uint64_t oldUse = conn->iCurrsequence.load();
    conn->PutOneToFree();
    conn->GetOneToUse();
    conn->SetSockServer(&server);
    EXPECT_EQ(0, conn->send_message("new", 3));
    EXPECT_EQ(0, conn->send_message(bytes, 0)); // an empty block is still a block
    std::vector<CaptureServer::Sent> sent = server.sent();
    ASSERT_EQ(3u, sent.size());
    EXPECT_EQ(conn.get(), sent[0].conn);
    EXPECT_EQ("old", sent[0].bytes);
    EXPECT_EQ(oldUse, sent[0].sequence);
    EXPECT_EQ("new", sent[1].bytes);
    EXPECT_EQ(oldUse + 2, sent[1].sequence);
    EXPECT_EQ(conn->iCurrsequence.load(), sent[1].sequence);
}

// Refused sends queue nothing; without an owning server a block is released (ASan reports a leak
// otherwise).
TEST(SockConnection, RefusedOrOwnerlessSendsQueueNothingAndLeakNothing)
{
    CaptureServer server;
    auto conn = server.newConnection("a", "b");
    EXPECT_EQ(-1, conn->send_message(nullptr, 4));
    EXPECT_EQ(-1, conn->send_message("abcd", -1));
    EXPECT_EQ(-1, conn->msg_send(nullptr));
    EXPECT_EQ(0u, server.count());
    CSocketConnection ownerless;
    ownerless.GetOneToUse();
    EXPECT_EQ(0, ownerless.send_message("abcd", 4));
    EXPECT_EQ(-1, ownerless.msg_send(new char[sizeof(_SockMsgHeader)]));
    char data[4] = {};
    EXPECT_EQ(0, ownerless.sendproc(data, sizeof(data)));
}

// A freed record releases each block exactly once (ASan reports a leak or a double release) and
// forgets its nodes; its next use starts framing afresh but keeps handlers and local address.
TEST(SockConnection, FreeReleasesBlocksAndNewUseResetsFramingButKeepsHandlers)
{
    CSocketConnection conn;
    EXPECT_EQ(0u, conn.iCurrsequence.load());
    EXPECT_EQ(0, conn.GetOneToUse());
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
    EXPECT_EQ(3u, conn.iCurrsequence.load());
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
    conn.pRecvBlock = new char[8]; // the destructor releases what is still held
}

} // namespace
