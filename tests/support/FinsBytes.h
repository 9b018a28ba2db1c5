// Bytes of the FINS wire for the tests: hex text to bytes and back, big-endian fields, requests
// and FINS/TCP frames built from their fields (so tables read as the wire does), and the word
// pattern the tests' DM holds.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Memory area codes, FINS/TCP commands and the end codes the server answers with.
constexpr uint8_t kCioWord = 0xB0;
constexpr uint8_t kDmWord = 0x82;
constexpr uint16_t kCioOutputs = 0x8000;
constexpr uint32_t kTcpNodeRequest = 0;
constexpr uint32_t kTcpNodeResponse = 1;
constexpr uint32_t kTcpFrame = 2;
constexpr uint16_t kRespOk = 0x0000;

// Bytes from hex text; spaces are ignored ("46 49 4E53" is "FINS").
inline std::string Hex(const std::string& text)
{
    std::string digits;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
            digits += c;
        }
    }
    std::string out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
        out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
    }
    return out;
}

// Hex text of bytes, for readable failure messages.
inline std::string ToHex(const std::string& bytes)
{
    std::string out;
    char two[4];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof(two), "%02X", c);
        out += two;
    }
    return out;
}

inline std::string Big16(unsigned int v)
{
    return std::string{static_cast<char>((v >> 8) & 0xFF), static_cast<char>(v & 0xFF)};
}

inline std::string Big32(uint32_t v)
{
    return Big16(v >> 16) + Big16(v & 0xFFFF);
}

// The big-endian field at byte `at` of bytes.
inline uint16_t Be16(const std::string& bytes, size_t at)
{
    return static_cast<uint16_t>((static_cast<uint8_t>(bytes[at]) << 8) |
                                 static_cast<uint8_t>(bytes[at + 1]));
}

inline uint32_t Be32(const std::string& bytes, size_t at)
{
    return (uint32_t{Be16(bytes, at)} << 16) | Be16(bytes, at + 2);
}

// A FINS request header and command code: 80 00 02, destination node dstNode, source node
// srcNode, request id sid.
inline std::string FinsHeader(unsigned int command, unsigned int sid = 0x09,
                              unsigned int dstNode = 0x63, unsigned int srcNode = 0x01)
{
    return Hex("80 00 02 00") + static_cast<char>(dstNode) + Hex("00 00") +
           static_cast<char>(srcNode) + '\0' + static_cast<char>(sid) + Big16(command);
}

// The 6-byte memory area command.
inline std::string AreaCommand(unsigned int area, unsigned int addr, unsigned int bit,
                               unsigned int count)
{
    return std::string(1, static_cast<char>(area)) + Big16(addr) +
           std::string(1, static_cast<char>(bit)) + Big16(count);
}

inline std::string ReadRequest(unsigned int area, unsigned int addr, unsigned int bit,
                               unsigned int count)
{
    return FinsHeader(0x0101) + AreaCommand(area, addr, bit, count);
}

inline std::string WriteRequest(unsigned int area, unsigned int addr, unsigned int bit,
                                unsigned int count, const std::string& data)
{
    return FinsHeader(0x0102) + AreaCommand(area, addr, bit, count) + data;
}

// A FINS/TCP frame: "FINS", the length field (by default the one that matches the body), the
// command and the error code.
inline std::string TcpFrame(uint32_t command, const std::string& body, int64_t lengthField = -1,
                            uint32_t error = 0)
{
    const uint32_t length = lengthField < 0 ? static_cast<uint32_t>(body.size() + 8)
                                            : static_cast<uint32_t>(lengthField);
    return "FINS" + Big32(length) + Big32(command) + Big32(error) + body;
}

inline std::string NodeRequest(uint8_t clientNode)
{
    return TcpFrame(kTcpNodeRequest, Big32(clientNode));
}

inline std::string WordsToWire(const std::vector<uint16_t>& words)
{
    std::string out;
    for (uint16_t w : words) {
        out += Big16(w);
    }
    return out;
}

inline std::vector<uint16_t> WireToWords(const std::string& bytes)
{
    std::vector<uint16_t> out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        out.push_back(Be16(bytes, i));
    }
    return out;
}

// The word the tests' DM holds at word address w.
inline uint16_t PatternWord(uint32_t w)
{
    return static_cast<uint16_t>(w * 7919u + 0x1234u);
}

// The pattern's words first..first+count-1 as they travel (big-endian).
inline std::string PatternWire(uint32_t first, uint32_t count)
{
    std::string out;
    for (uint32_t w = first; w < first + count; ++w) {
        out += Big16(PatternWord(w));
    }
    return out;
}

// A DM word read between the loopback's node 1 and node 1, and the exact answer to it when DM
// holds the pattern.
inline std::string DmReadFins(uint8_t sid, uint16_t addr, uint16_t count)
{
    return FinsHeader(0x0101, sid, 1, 1) + AreaCommand(kDmWord, addr, 0, count);
}

inline std::string DmReadReplyFins(uint8_t sid, uint16_t addr, uint16_t count)
{
    return Hex("C0 00 02 00 01 00 00 01 00") + static_cast<char>(sid) + Hex("0101 0000") +
           PatternWire(addr, count);
}

inline std::string DmReadTcp(uint8_t sid, uint16_t addr, uint16_t count)
{
    return TcpFrame(kTcpFrame, DmReadFins(sid, addr, count));
}

inline std::string DmReadReplyTcp(uint8_t sid, uint16_t addr, uint16_t count)
{
    return TcpFrame(kTcpFrame, DmReadReplyFins(sid, addr, count));
}
