// The response builder, byte for byte: each builder appends its field in wire order.
#include "fins/Message.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/FinsBytes.h"

namespace {

std::string Contents(CMessage& msg)
{
    return std::string(msg.GetMessageBuffer(), static_cast<size_t>(msg.GetMessageLen()));
}

struct BuilderCase
{
    const char* name;
    std::function<int(CMessage&)> build;
    const char* expected; // hex
};

TEST(MessageBuilders, AppendEachFieldInWireOrder)
{
    char data[] = {0x12, 0x34, 0x56};
    const BuilderCase cases[] = {
        {"tcp header, handshake reply",
         [](CMessage& m) { return m.BuildFinsResponseTcpHeader(1, 0, 0); },
         "46494E53 00000008 00000001 00000000"},
        {"tcp header, error 0x23 under command 2",
         [](CMessage& m) { return m.BuildFinsResponseTcpHeader(2, 0, 0x23); },
         "46494E53 00000008 00000002 00000023"},
        {"tcp header keeps only the low byte of the command and 16 bits of the length",
         [](CMessage& m) { return m.BuildFinsResponseTcpHeader(0x1FF, 0x12345, 0x01020304); },
         "46494E53 0000234D 000000FF 01020304"},
        {"handshake body takes the top byte of each value",
         [](CMessage& m) { return m.BuildFinsResponseHandShakeMessage(0x05FFFFFF, 0x07000001); },
         "00000005 00000007"},
        {"fins header takes the low byte of each node and of the id",
         [](CMessage& m) { return m.BuildFinsRWResponseFinsHeader(0x115, 0x203, 0x3AB); },
         "C0 00 02 00 15 00 00 03 00 AB"},
        {"read message",
         [&](CMessage& m) { return m.BuildFinsResponseReadMessage(0x0101, 0, data, 3); },
         "0101 0000 123456"},
        {"write message with a negative code",
         [](CMessage& m) {
             return m.BuildFinsResponseWriteMessage(static_cast<short>(0x8001),
                                                    static_cast<short>(0x1104));
         },
         "8001 1104"},
    };
    for (const BuilderCase& c : cases) {
        SCOPED_TRACE(c.name);
        CMessage msg;
        EXPECT_EQ(0, c.build(msg));
        EXPECT_EQ(Hex(c.expected), Contents(msg));
    }
}

TEST(MessageBuilders, RefuseMissingDataAndRunningPastTheBuffer)
{
    CMessage empty;
    EXPECT_EQ(-1, empty.BuildFinsResponseReadMessage(0x0101, 0, nullptr, 4));
    EXPECT_EQ(0, empty.GetMessageLen());
    CMessage msg(kMessageCapacity);
    std::string fill(kMessageCapacity - 4, 'x');
    ASSERT_EQ(0,
              msg.BuildFinsResponseReadMessage(0, 0, &fill[0], static_cast<int>(fill.size()) - 4));
    EXPECT_EQ(kMessageCapacity - 4, msg.GetMessageLen());
    EXPECT_EQ(0, msg.BuildFinsResponseWriteMessage(0x0101, 0)); // exactly fills it
    EXPECT_EQ(-1, msg.BuildFinsResponseWriteMessage(0x0101, 0));
    EXPECT_EQ(-1, msg.BuildFinsRWResponseFinsHeader(1, 2, 3));
    EXPECT_EQ(kMessageCapacity, msg.GetMessageLen());
}

// The whole length field, big-endian, counts what follows it; a message shorter than 8 bytes is
// left alone.
TEST(MessagePacketLen, WritesTheWholeLengthFieldOfAFullHeaderOnly)
{
    CMessage msg;
    msg.BuildFinsResponseTcpHeader(2, 0, 0);
    msg.SetPacketLen(0x01020308);
    EXPECT_EQ(Hex("46494E53 01020300 00000002 00000000"), Contents(msg)); // less the 8 before it
    CMessage shortMsg;
    shortMsg.BuildFinsResponseWriteMessage(0x0101, 0x1234);
    const std::string beyond(shortMsg.GetMessageBuffer() + 4, 8); // undefined, not to be touched
    shortMsg.SetPacketLen(100);
    EXPECT_EQ(Hex("0101 1234"), Contents(shortMsg));
    EXPECT_EQ(beyond, std::string(shortMsg.GetMessageBuffer() + 4, 8));
}

} // namespace
