// The list of client addresses a server admits: IPv4 addresses and CIDR blocks. Built once by its
// owner, then only read (Allows is safe from any thread while nobody parses).
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

class CAccessList
{
public:
    // The entries of a list text, separated by runs of commas, blanks and tabs.
    static std::vector<std::string> SplitEntries(const std::string& text);

    // Replaces the list with the entries of `text`, separated by commas and blanks: "a.b.c.d" (one
    // address) or "a.b.c.d/n" with n from 0 to 32 (host bits past the prefix are ignored). A bad
    // entry is left out and its text returned, one per bad entry, in order; the good ones apply.
    std::vector<std::string> Parse(const std::string& text);
    std::vector<std::string> Parse(const std::vector<std::string>& entries);

    // True when the list is empty (everyone is admitted) or an entry covers `addr`, an IPv4
    // address in network byte order as a socket address holds it; false for everyone after
    // DenyAll.
    bool Allows(in_addr_t addr) const;
    bool Empty() const { return m_blocks.empty(); }
    // Admits no one until the next Parse: for a list its owner could not read, which must not
    // read as the empty list that admits everyone.
    void DenyAll()
    {
        m_blocks.clear();
        m_denyAll = true;
    }

private:
    struct Block
    {
        uint32_t network; // host byte order, host bits cleared
        uint32_t mask;    // host byte order
    };
    // One entry into `block`; false when it is no address or block.
    static bool parseEntry(const std::string& entry, Block& block);

    std::vector<Block> m_blocks;
    bool m_denyAll = false;
};
