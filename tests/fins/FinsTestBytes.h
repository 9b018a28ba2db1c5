// Byte helpers of the protocol tests: hex text to bytes and back, and FINS requests built from
// their fields, so tables read as the wire does.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

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

// A FINS request header and command code: 80 00 02, destination node dstNode, request id sid.
inline std::string FinsHeader(unsigned int command, unsigned int sid = 0x09,
                              unsigned int dstNode = 0x63)
{
    std::string h = Hex("80 00 02 00");
    h += static_cast<char>(dstNode);
    h += Hex("00 00 01 00");
    h += static_cast<char>(sid);
    return h + Big16(command);
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

// A FINS/TCP frame: "FINS", a length field that matches the body, the command, error code 0.
inline std::string TcpFrame(uint32_t command, const std::string& body)
{
    return "FINS" + Big32(static_cast<uint32_t>(body.size()) + 8) + Big32(command) + Big32(0) +
           body;
}
