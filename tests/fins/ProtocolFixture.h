// Drives the protocol the way the network does: FINS/TCP frames arrive as receive blocks through
// ProcessRecvData, FINS/UDP datagrams through ProcessRWRequest, on real connection records whose
// owning server captures every queued send block. The application's segments are vectors owned
// here, served through the fake application manager.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "appmem/AppAreaMem.h"
#include "base/RuntimeApi.h"
#include "fins/FinsProtocol.h"
#include "net/FinsBinding.h"
#include "net/SockConnection.h"
#include "tests/support/CaptureServer.h"
#include "tests/support/FakeApplication.h"
#include "tests/support/FakeLogger.h"
#include "tests/support/FinsBytes.h"

// Client 10.0.0.21 (node 0x15) talking to this server at 10.0.0.3 (node 0x03).
constexpr const char* kPeer = "10.0.0.21:50000";
constexpr const char* kUdpPeer = "10.0.0.21";
constexpr const char* kLocal = "10.0.0.3";

class ProtocolFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        input.assign(65536, 0);
        output.assign(64, 0);
        memory.assign(100, 0);
        ServeSegments();
        protocol.SetMemory(&segments);
        tcp = server.newConnection(kPeer, kLocal);
        udp = server.newConnection(kUdpPeer, kLocal);
    }

    // Hands the current vectors to the fake runtime and reloads the segment addresses.
    void ServeSegments()
    {
        app.setSegment(APP_SEGMENT_INPUT, input.data(), static_cast<uint32_t>(input.size()));
        app.setSegment(APP_SEGMENT_OUTPUT, output.data(), static_cast<uint32_t>(output.size()));
        app.setSegment(APP_SEGMENT_MEMORY, memory.data(), static_cast<uint32_t>(memory.size()));
        Reload();
    }

    // Asks the fake runtime for the segments again, as a download does.
    void Reload()
    {
        ASSERT_EQ(0, segments.LoadAppMemoryAddr());
        logger.clear();
    }

    // One FINS/TCP frame as the stream framing delivers it: a receive block of exactly the frame.
    int SendTcp(const std::string& frame, CSocketConnection* conn = nullptr)
    {
        conn = conn != nullptr ? conn : tcp.get();
        std::unique_ptr<char[]> block(new char[sizeof(_SockMsgHeader) + frame.size()]);
        _SockMsgHeader head{};
        head.pConn = conn;
        head.iSequence = conn->iCurrsequence.load();
        head.iLen = static_cast<uint32_t>(frame.size());
        std::memcpy(block.get(), &head, sizeof(head));
        std::memcpy(SockMsgPayload(block.get()), frame.data(), frame.size());
        return protocol.ProcessRecvData(block.get());
    }

    // One FINS/UDP datagram, in a buffer of exactly its size.
    int SendUdp(const std::string& fins, CSocketConnection* conn = nullptr)
    {
        std::unique_ptr<char[]> buf(new char[fins.size() + 1]);
        std::memcpy(buf.get(), fins.data(), fins.size());
        return protocol.ProcessRWRequest(conn != nullptr ? conn : udp.get(), buf.get(),
                                         static_cast<unsigned int>(fins.size()), false);
    }

    // Sends over TCP or UDP; the reply's FINS part (TCP header checked and removed), or "none".
    std::string Exchange(const std::string& fins, bool overTcp)
    {
        server.clear();
        if (overTcp) {
            SendTcp(TcpFrame(2, fins));
        } else {
            SendUdp(fins);
        }
        std::vector<std::string> replies = server.payloads();
        if (replies.empty()) {
            return "none";
        }
        EXPECT_EQ(1u, replies.size());
        std::string reply = replies.front();
        if (!overTcp) {
            return reply;
        }
        EXPECT_EQ("FINS" + Big32(static_cast<uint32_t>(reply.size()) - 8) + Big32(2) + Big32(0),
                  reply.substr(0, 16));
        return reply.substr(16);
    }

    // The FINS response to a request of FinsHeader's defaults (node 0x01 asking node 0x63, request
    // id 9): its addresses traded, then the given tail behind the 10 header bytes.
    static std::string Reply(const std::string& tailHex)
    {
        return Hex("C0 00 02 00 01 00 00 63 00 09") + Hex(tailHex);
    }

    static void SetWord(std::vector<char>& segment, size_t w, unsigned int value)
    {
        segment[2 * w] = static_cast<char>(value & 0xFF);
        segment[2 * w + 1] = static_cast<char>(value >> 8);
    }

    // A request that may change memory, run over UDP on fresh memory (DM words 0-9 hold 1-10),
    // with the reply's response code and every segment afterwards.
    struct MemoryCase
    {
        const char* name;
        std::string params;  // bytes behind the command code
        const char* code;    // response code, hex
        char segment;        // 'M' or 'Q': where the words change
        size_t offset;       // first changed byte
        std::string changed; // the bytes there afterwards (host order); empty when refused
    };

    template <size_t N>
    void RunMemoryCases(unsigned int command, const MemoryCase (&cases)[N])
    {
        for (const MemoryCase& c : cases) {
            SCOPED_TRACE(c.name);
            memory.assign(memory.size(), 0);
            output.assign(output.size(), 0);
            for (size_t w = 0; w < 10; ++w) {
                SetWord(memory, w, static_cast<unsigned int>(w + 1));
            }
            std::vector<char> expectM = memory;
            std::vector<char> expectQ = output;
            std::vector<char>& target = c.segment == 'M' ? expectM : expectQ;
            std::copy(c.changed.begin(), c.changed.end(), target.begin() + c.offset);
            const std::vector<char> expectI = input;
            std::string reply = Exchange(FinsHeader(command) + c.params, false);
            EXPECT_EQ(ToHex(Reply(ToHex(Big16(command)) + c.code)), ToHex(reply));
            EXPECT_EQ(expectM, memory);
            EXPECT_EQ(expectQ, output);
            EXPECT_EQ(expectI, input);
        }
    }

    std::vector<char> AllMemory() const
    {
        std::vector<char> all(input);
        all.insert(all.end(), output.begin(), output.end());
        all.insert(all.end(), memory.begin(), memory.end());
        return all;
    }

    FakeLogger logger;
    FakeApplication app;
    CaptureServer server;
    CAppAreaMemmory segments; // the protocol's memory, loaded from the vectors below
    CFinsProtocol protocol;
    CFinsBinding binding{protocol};
    std::vector<char> input;  // I segment: CIO words 0..0x7FFF
    std::vector<char> output; // Q segment: CIO words from 0x8000
    std::vector<char> memory; // M segment: DM
    std::unique_ptr<CSocketConnection> tcp;
    std::unique_ptr<CSocketConnection> udp;
};
