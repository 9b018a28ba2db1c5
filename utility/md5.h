// MD5 digests (RFC 1321) of memory blocks, held as 16 bytes and written as 32 lowercase hex
// characters. Stateless apart from the digest a value holds; any thread may use its own values.
#pragma once

#include <cstdint>
#include <string>

#include "base/Export.h"

class DRVFINS_API MD5
{
public:
    static constexpr int kDigestBytes = 16;

    // A zero digest.
    MD5();
    // The digest is the 16 bytes at `words` in memory order (two unsigned longs on a 64-bit
    // target, four on armhf).
    explicit MD5(unsigned long* words);
    // The digest read from hex text, two characters per byte through _httoi, so only lowercase
    // digits count ("AB" reads as 0). An empty or null text gives the zero digest; a text shorter
    // than 32 characters is read no further than its end and the missing bytes stay zero.
    explicit MD5(const char* hex);

    // Computes the digest of `len` bytes at `data` into this value (len <= 0 digests nothing).
    void GenerateMD5(unsigned char* data, int len);
    // The digest as 32 lowercase hexadecimal characters.
    std::string ToString();

    // Byte-wise exclusive or of both digests.
    MD5 operator+(MD5 other);
    bool operator==(MD5 other);

private:
    // The RFC 1321 working state: bit count, chaining values and the pending partial block.
    struct md5_context
    {
        uint32_t total[2];
        uint32_t state[4];
        unsigned char buffer[64];
    };

    static void md5_starts(md5_context* ctx);
    static void md5_update(md5_context* ctx, const unsigned char* input, uint32_t length);
    static void md5_process(md5_context* ctx, const unsigned char data[64]);
    static void md5_finish(md5_context* ctx, unsigned char digest[16]);

    unsigned char m_digest[kDigestBytes];
};

// Reads a hexadecimal number: an optional "0X" prefix (capital X only), then digits 0-9 and a-f
// (lowercase only) in 32 bits; the first other character ends it. 0 when no digit is read.
DRVFINS_API int _httoi(const char* text);
