// Client address list: which entries parse, and which addresses each list admits.
#include "utility/AccessList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

in_addr_t Addr(const std::string& text)
{
    in_addr addr{};
    EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &addr), 1) << text;
    return addr.s_addr;
}

TEST(AccessListTest, EntriesParseAndMatchByPrefix)
{
    struct Case
    {
        const char* list;
        Strings bad;
        Strings allowed;
        Strings refused;
    } cases[] = {
        {"", {}, {"127.0.0.1", "0.0.0.0", "255.255.255.255"}, {}},
        {"127.0.0.1", {}, {"127.0.0.1"}, {"127.0.0.2", "1.0.0.127"}},
        {"127.0.0.1, 127.0.0.3", {}, {"127.0.0.1", "127.0.0.3"}, {"127.0.0.2"}},
        {"10.1.2.3/8", {}, {"10.0.0.0", "10.255.255.255"}, {"11.0.0.0", "9.255.255.255"}},
        {"192.168.1.64/26",
         {},
         {"192.168.1.64", "192.168.1.127"},
         {"192.168.1.63", "192.168.1.128"}},
        {"0.0.0.0/0", {}, {"1.2.3.4", "255.255.255.255"}, {}},
        {"127.0.0.2/32,\t127.0.0.4", {}, {"127.0.0.2", "127.0.0.4"}, {"127.0.0.3"}},
        // Bad entries are left out; the good ones still restrict.
        {"127.0.0.1 10.1 0x7f000002 127.0.0.300 host",
         {"10.1", "0x7f000002", "127.0.0.300", "host"},
         {"127.0.0.1"},
         {"10.0.0.1", "127.0.0.2"}},
        {"127.0.0.1/33 127.0.0.1/ 127.0.0.1/-1 127.0.0.1/+8 127.0.0.1/008 /8 127.0.0.5/24",
         {"127.0.0.1/33", "127.0.0.1/", "127.0.0.1/-1", "127.0.0.1/+8", "127.0.0.1/008", "/8"},
         {"127.0.0.9"},
         {"127.0.1.1"}},
        // Nothing good: the list stays empty and admits everyone.
        {"nonsense", {"nonsense"}, {"127.0.0.1"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        CAccessList list;
        EXPECT_EQ(list.Parse(c.list), c.bad);
        for (const std::string& a : c.allowed) {
            EXPECT_TRUE(list.Allows(Addr(a))) << a;
        }
        for (const std::string& a : c.refused) {
            EXPECT_FALSE(list.Allows(Addr(a))) << a;
        }
    }
}

} // namespace
