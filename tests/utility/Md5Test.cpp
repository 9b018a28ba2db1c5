// MD5 digests: the RFC 1321 test suite, hex text round trips, file digests.
#include "utility/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>

#include "tests/utility/TempDir.h"
#include "utility/comm.h"

namespace {

struct DigestCase
{
    std::string input;
    const char* digest;
};

// The test suite of RFC 1321, appendix A.5, and lengths that put the length field in the first
// block's end, the next block, after a full block and at the end of the second.
const DigestCase kDigests[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(55, 'x'), "04364420e25c512fd958a70738aa8f72"},
    {std::string(56, 'x'), "668a72d5ba17f08e62dabcafad6db14b"},
    {std::string(64, 'x'), "c1bb4f81d892b2d57947682aeb252456"},
    {std::string(119, 'x'), "ab347a5f68c8a443cfcddc633f12c24f"},
    {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
};

TEST(Md5, GetMd5MatchesKnownDigests)
{
    for (const DigestCase& c : kDigests) {
        SCOPED_TRACE(c.input.size());
        std::string text = c.input;
        EXPECT_EQ(CComm::GetMd5(text), c.digest);
        EXPECT_EQ(CComm::GetMd5(text), c.digest) << "no state left from the first digest";
        EXPECT_EQ(CComm::GetMd5(reinterpret_cast<unsigned char*>(text.data()),
                                static_cast<int>(text.size())),
                  c.digest);
    }
}

TEST(Md5, HexTextReadsLowercasePairsUntilTheFirstOtherCharacter)
{
    const std::string zeros(32, '0');
    const std::pair<std::string, std::string> cases[] = {
        {"", zeros},
        // "AB" has no lowercase digit and reads as 0; "aB" stops after the a.
        {"ABaB" + std::string(28, '0'), "000a" + std::string(28, '0')},
        // Two whole pairs and a half pair; the rest of the digest stays zero.
        {"12ab3", "12ab03" + std::string(26, '0')},
        {"900150983cd24fb0d6963f7d28e17f72", "900150983cd24fb0d6963f7d28e17f72"},
    };
    for (const auto& [hex, digest] : cases) {
        EXPECT_EQ(MD5(hex.c_str()).ToString(), digest) << hex;
    }
    EXPECT_EQ(MD5(static_cast<const char*>(nullptr)).ToString(), zeros);
    EXPECT_EQ(MD5().ToString(), zeros);
    MD5 digest;
    std::string abc = "abc";
    digest.GenerateMD5(reinterpret_cast<unsigned char*>(abc.data()), 3);
    EXPECT_TRUE(MD5("900150983cd24fb0d6963f7d28e17f72") == digest);
}

TEST(Md5, PlusIsBytewiseXorAndEqualityComparesAllBytes)
{
    MD5 a("00ff00ff00ff00ff00ff00ff00ff00ff");
    MD5 b("0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f0f");
    EXPECT_EQ((a + b).ToString(), "0ff00ff00ff00ff00ff00ff00ff00ff0");
    EXPECT_TRUE((a + a) == MD5());
    EXPECT_FALSE(a == b);
    MD5 lastByte("000000000000000000000000000000ff");
    EXPECT_FALSE(lastByte == MD5());
}

TEST(Md5, HttoiReadsLowercaseHexWithCapitalPrefixOnly)
{
    struct Case
    {
        const char* text;
        int value;
    } cases[] = {{"0Xff", 255},
                 {"0xff", 0},
                 {"FF", 0},
                 {"1g", 1},
                 {"", 0},
                 {"7fffffff", 0x7fffffff},
                 {"123456789", 0x23456789},
                 {"0X", 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(_httoi(c.text), c.value) << c.text;
    }
}

TEST(Md5, GetFileMd5DigestsTheWholeFileAndIsEmptyWhenMissing)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string path = dir.file("data");
    // Binary content with a zero byte and a line feed must be read unchanged.
    std::string content("message\0digest\n", 15);
    {
        std::ofstream out(path, std::ios::binary);
        out << content;
    }
    EXPECT_EQ(CComm::GetFileMd5(path.c_str()), CComm::GetMd5(content));
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "message digest";
    }
    EXPECT_EQ(CComm::GetFileMd5(path.c_str()), "f96b697d7cb7938d525a2f31aaf161d0");
    std::remove(path.c_str());
    EXPECT_EQ(CComm::GetFileMd5(path.c_str()), "");
}

} // namespace
