// The client address list: parsing of address and CIDR entries, and the match on accept or
// receive.
#include "utility/AccessList.h"

#include <arpa/inet.h>

#include <cstdlib>

namespace {

constexpr const char* kEntrySeparators = ", \t";
constexpr unsigned long kIpv4Bits = 32;
constexpr size_t kMaxPrefixDigits = 2;

// The mask of a prefix length from 0 to 32 (shifting a 32-bit value by 32 is undefined).
uint32_t PrefixMask(unsigned long bits)
{
    return bits == 0 ? 0u : ~0u << (kIpv4Bits - bits);
}

} // namespace

std::vector<std::string> CAccessList::SplitEntries(const std::string& text)
{
    std::vector<std::string> entries;
    size_t pos = text.find_first_not_of(kEntrySeparators);
    while (pos != std::string::npos) {
        size_t end = text.find_first_of(kEntrySeparators, pos);
        entries.push_back(text.substr(pos, end == std::string::npos ? end : end - pos));
        pos = text.find_first_not_of(kEntrySeparators, end);
    }
    return entries;
}

std::vector<std::string> CAccessList::Parse(const std::string& text)
{
    return Parse(SplitEntries(text));
}

std::vector<std::string> CAccessList::Parse(const std::vector<std::string>& entries)
{
    std::vector<std::string> bad;
    m_blocks.clear();
    m_denyAll = false;
    for (const std::string& entry : entries) {
        Block block{};
        if (parseEntry(entry, block)) {
            m_blocks.push_back(block);
        } else {
            bad.push_back(entry);
        }
    }
    return bad;
}

bool CAccessList::Allows(in_addr_t addr) const
{
    if (m_blocks.empty()) {
        return !m_denyAll;
    }
    uint32_t host = ntohl(addr);
    for (const Block& block : m_blocks) {
        if ((host & block.mask) == block.network) {
            return true;
        }
    }
    return false;
}

bool CAccessList::parseEntry(const std::string& entry, Block& block)
{
    size_t slash = entry.find('/');
    unsigned long bits = kIpv4Bits;
    if (slash != std::string::npos) {
        // Digits only: strtoul would also take blanks, signs and "0x".
        std::string prefix = entry.substr(slash + 1);
        if (prefix.empty() || prefix.size() > kMaxPrefixDigits ||
            prefix.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        bits = strtoul(prefix.c_str(), nullptr, 10);
        if (bits > kIpv4Bits) {
            return false;
        }
    }
    in_addr addr{};
    // inet_pton takes only the four-part dotted decimal form, unlike inet_aton ("10.1", "0x0a").
    if (inet_pton(AF_INET, entry.substr(0, slash).c_str(), &addr) != 1) {
        return false;
    }
    block.mask = PrefixMask(bits);
    block.network = ntohl(addr.s_addr) & block.mask;
    return true;
}
