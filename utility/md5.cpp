// MD5 as RFC 1321 defines it: 64-byte blocks, four rounds of sixteen steps, little-endian words.
#include "utility/md5.h"

#include <cstdio>
#include <cstring>

namespace {

// floor(|sin(i + 1)| * 2^32), the additive constant of step i.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Left-rotation amounts, four per round.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr uint32_t kInitState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
constexpr int kBlockBytes = 64;
constexpr int kLengthOffset = 56; // where the 64-bit bit count sits in the last block
constexpr unsigned char kPadFirst = 0x80;

uint32_t RotateLeft(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

uint32_t LoadLe32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreLe32(uint32_t v, unsigned char* p)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
}

// The round function and message word of step i.
uint32_t RoundMix(int i, uint32_t b, uint32_t c, uint32_t d, const uint32_t* x)
{
    switch (i / 16) {
    case 0:
        return ((b & c) | (~b & d)) + x[i];
    case 1:
        return ((b & d) | (c & ~d)) + x[(5 * i + 1) % 16];
    case 2:
        return (b ^ c ^ d) + x[(3 * i + 5) % 16];
    default:
        return (c ^ (b | ~d)) + x[(7 * i) % 16];
    }
}

} // namespace

MD5::MD5()
{
    std::memset(m_digest, 0, sizeof m_digest);
}

MD5::MD5(unsigned long* words)
{
    std::memcpy(m_digest, words, sizeof m_digest);
}

MD5::MD5(const char* hex)
{
    std::memset(m_digest, 0, sizeof m_digest);
    if (hex == nullptr) {
        return;
    }
    size_t len = std::strlen(hex);
    for (size_t i = 0; i < sizeof m_digest && 2 * i < len; ++i) {
        char pair[3] = {hex[2 * i], 2 * i + 1 < len ? hex[2 * i + 1] : '\0', '\0'};
        m_digest[i] = static_cast<unsigned char>(_httoi(pair) & 0xff);
    }
}

void MD5::GenerateMD5(unsigned char* data, int len)
{
    md5_context ctx;
    md5_starts(&ctx);
    if (data != nullptr && len > 0) {
        md5_update(&ctx, data, static_cast<uint32_t>(len));
    }
    md5_finish(&ctx, m_digest);
}

std::string MD5::ToString()
{
    char text[2 * kDigestBytes + 1];
    for (int i = 0; i < kDigestBytes; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", m_digest[i]);
    }
    return std::string(text, 2 * kDigestBytes);
}

MD5 MD5::operator+(MD5 other)
{
    MD5 sum;
    for (int i = 0; i < kDigestBytes; ++i) {
        sum.m_digest[i] = m_digest[i] ^ other.m_digest[i];
    }
    return sum;
}

bool MD5::operator==(MD5 other)
{
    return std::memcmp(m_digest, other.m_digest, sizeof m_digest) == 0;
}

void MD5::md5_starts(md5_context* ctx)
{
    ctx->total[0] = 0;
    ctx->total[1] = 0;
    std::memcpy(ctx->state, kInitState, sizeof ctx->state);
}

void MD5::md5_update(md5_context* ctx, const unsigned char* input, uint32_t length)
{
    uint32_t used = ctx->total[0] % kBlockBytes;
    ctx->total[0] += length;
    if (ctx->total[0] < length) {
        ++ctx->total[1]; // byte count carried into the high word
    }
    while (length > 0) {
        uint32_t take = kBlockBytes - used < length ? kBlockBytes - used : length;
        std::memcpy(ctx->buffer + used, input, take);
        used += take;
        input += take;
        length -= take;
        if (used == kBlockBytes) {
            md5_process(ctx, ctx->buffer);
            used = 0;
        }
    }
}

void MD5::md5_process(md5_context* ctx, const unsigned char data[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = LoadLe32(data + 4 * i);
    }
    uint32_t a = ctx->state[0], b = ctx->state[1], c = ctx->state[2], d = ctx->state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t mixed = a + RoundMix(i, b, c, d, x) + kSine[i];
        a = d;
        d = c;
        c = b;
        b += RotateLeft(mixed, kShift[i / 16][i % 4]);
    }
    ctx->state[0] += a;
    ctx->state[1] += b;
    ctx->state[2] += c;
    ctx->state[3] += d;
}

void MD5::md5_finish(md5_context* ctx, unsigned char digest[16])
{
    // The message length in bits, taken before padding changes the count.
    unsigned char bits[8];
    StoreLe32(ctx->total[0] << 3, bits);
    StoreLe32((ctx->total[1] << 3) | (ctx->total[0] >> 29), bits + 4);

    uint32_t used = ctx->total[0] % kBlockBytes;
    uint32_t padLen =
        used < kLengthOffset ? kLengthOffset - used : kBlockBytes + kLengthOffset - used;
    unsigned char padding[kBlockBytes] = {kPadFirst};
    md5_update(ctx, padding, padLen);
    md5_update(ctx, bits, sizeof bits);
    for (int i = 0; i < 4; ++i) {
        StoreLe32(ctx->state[i], digest + 4 * i);
    }
}

int _httoi(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    const std::string copy(text);
    size_t pos = copy.compare(0, 2, "0X") == 0 ? 2 : 0;
    uint32_t value = 0;
    for (; pos < copy.size(); ++pos) {
        char c = copy[pos];
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            break;
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return static_cast<int>(value);
}
