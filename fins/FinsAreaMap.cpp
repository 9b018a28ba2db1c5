// The map of FINS memory areas onto the application's segments (see the header).
#include "fins/FinsAreaMap.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr uint8_t kFormNone = 0;
constexpr uint8_t kFormWord = 1;
constexpr uint8_t kFormBit = 2;
constexpr uint8_t kFormFlag = 3; // TF/CF: one element per number, bit field 0

constexpr uint32_t kWideCioOutputs = 32768;
constexpr uint32_t kCompactCioWords = 2048;
constexpr uint32_t kCompactDmWords = 32768;
constexpr uint32_t kMaxReportedWords = 0xFFFF;
constexpr size_t kMaxRangesPerCode = 255; // CodeEntry::count

constexpr const char* kNames[kAreaKinds] = {"CIO", "DM", "W",  "H",  "A",  "T",  "C",  "TF",
                                            "CF",  "E0", "E1", "E2", "E3", "E4", "E5", "E6",
                                            "E7",  "E8", "E9", "EA", "EB", "EC"};

// Area prefixes as clients write addresses (DM as "D", an EM bank as "E0_").
constexpr const char* kClientNames[kAreaKinds] = {
    "CIO", "D",   "W",   "H",   "A",   "T",   "C",   "TF",  "CF",  "E0_", "E1_",
    "E2_", "E3_", "E4_", "E5_", "E6_", "E7_", "E8_", "E9_", "EA_", "EB_", "EC_"};
constexpr size_t kItemTextBytes = 24; // "E0_65535.15" and room

// One item in client notation: a number of the area (wire numbering; counters are shown by their
// own number) and, for a bit, its bit (bit < 0: none).
std::string ItemText(FinsAreaKind area, uint32_t number, int bit)
{
    if ((area == kAreaC || area == kAreaCF) && number >= kCounterWireBase) {
        number -= kCounterWireBase;
    }
    char text[kItemTextBytes];
    int len = std::snprintf(text, sizeof(text), "%s%u", kClientNames[area], number);
    if (bit >= 0 && len > 0 && static_cast<size_t>(len) < sizeof(text)) {
        (void)std::snprintf(text + len, sizeof(text) - len, ".%02d", bit);
    }
    return text;
}

// The area codes of the wire and what each reaches.
struct CodeRule
{
    uint8_t code;
    FinsAreaKind group; // the area whose ranges it reaches (T for T and C, TF for TF and CF)
    uint8_t form;
};

constexpr CodeRule kCodeRules[] = {
    {AREA_CIO_BIT, kAreaCio, kFormBit},       {AREA_CIO_BIT_B, kAreaCio, kFormBit},
    {AREA_CIO_WORD, kAreaCio, kFormWord},     {AREA_CIO_WORD_B, kAreaCio, kFormWord},
    {AREA_W_BIT, kAreaW, kFormBit},           {AREA_W_WORD, kAreaW, kFormWord},
    {AREA_H_BIT, kAreaH, kFormBit},           {AREA_H_WORD, kAreaH, kFormWord},
    {AREA_A_BIT, kAreaA, kFormBit},           {AREA_A_WORD, kAreaA, kFormWord},
    {AREA_DM_BIT, kAreaDm, kFormBit},         {AREA_DM_WORD, kAreaDm, kFormWord},
    {AREA_TC_WORD, kAreaT, kFormWord},        {AREA_TC_FLAG, kAreaTF, kFormFlag},
    {AREA_EM_CURRENT_BIT, kAreaE0, kFormBit}, {AREA_EM_CURRENT_WORD, kAreaE0, kFormWord},
};

// The wire's address space a range lives in: C shares T's code, CF shares TF's.
FinsAreaKind GroupOf(FinsAreaKind kind)
{
    if (kind == kAreaC) {
        return kAreaT;
    }
    return kind == kAreaCF ? kAreaTF : kind;
}

uint32_t WireBase(FinsAreaKind kind)
{
    return kind == kAreaC || kind == kAreaCF ? kCounterWireBase : 0;
}

bool IsTimerKind(FinsAreaKind kind)
{
    return kind == kAreaT || kind == kAreaC || kind == kAreaTF || kind == kAreaCF;
}

bool Overlaps(const FinsAreaRange& a, const FinsAreaRange& b)
{
    return a.area == b.area && a.first <= b.last && b.first <= a.last;
}

// The range's last address in use: its end, or the end of its segment when that comes first.
// Segment words past `offset` that the segment does not hold make the range shorter; none at all
// makes it empty (false).
bool UsedEnd(CAppAreaMemmory& memory, const FinsAreaRange& range, uint32_t& last)
{
    const uint64_t words = memory.GetAppMemorySizeFromType(range.segment) / 2u;
    if (words <= range.offset) {
        return false;
    }
    last = static_cast<uint32_t>(
        std::min<uint64_t>(range.last, range.first + (words - range.offset) - 1u));
    return true;
}

// The segment limit test, in bytes for words and in bits for bits, as the range rule has always
// been: RESP_OK, or the code of the first end that lies past the segment.
uint16_t SegmentRange(uint64_t segBytes, const FinsLocation& at, uint32_t count)
{
    const uint64_t limit = at.words ? segBytes : segBytes * 8u;
    const uint64_t first = at.words ? 2u * uint64_t{at.word} : 16u * uint64_t{at.word} + at.bit;
    const uint64_t items = at.words ? 2u * uint64_t{count} : count;
    if (limit <= first) {
        return RESP_START_OUT_OF_RANGE;
    }
    // A zero count at the very start of a segment is refused as running past the end, as the
    // unsigned 32-bit rule of old did and clients expect.
    if (items == 0 && first == 0) {
        return RESP_END_OUT_OF_RANGE;
    }
    return limit < first + items ? RESP_END_OUT_OF_RANGE : RESP_OK;
}

} // namespace

const char* FinsAreaName(FinsAreaKind kind)
{
    return kind < kAreaKinds ? kNames[kind] : "?";
}

bool ParseFinsAreaName(const std::string& name, FinsAreaKind& kind)
{
    for (unsigned k = 0; k < kAreaKinds; ++k) {
        if (strcasecmp(name.c_str(), kNames[k]) == 0) {
            kind = static_cast<FinsAreaKind>(k);
            return true;
        }
    }
    return false;
}

uint32_t FinsAreaLastAddress(FinsAreaKind kind)
{
    return IsTimerKind(kind) ? kTimerLastNumber : kAreaLastAddress;
}

CFinsAreaMap::CFinsAreaMap() : CFinsAreaMap(Layout::wide) {}

CFinsAreaMap::CFinsAreaMap(Layout layout)
{
    if (layout == Layout::wide) {
        m_ranges = {{kAreaCio, 0, kWideCioOutputs - 1, APP_AREA_I, 0},
                    {kAreaCio, kWideCioOutputs, kAreaLastAddress, APP_AREA_Q, 0},
                    {kAreaDm, 0, kAreaLastAddress, APP_AREA_M, 0}};
    } else {
        m_ranges = {{kAreaCio, 0, kCompactCioWords - 1, APP_AREA_I, 0},
                    {kAreaCio, kCompactCioWords, 2 * kCompactCioWords - 1, APP_AREA_Q, 0},
                    {kAreaDm, 0, kCompactDmWords - 1, APP_AREA_M, 0},
                    {kAreaE0, 0, kCompactDmWords - 1, APP_AREA_M, kCompactDmWords}};
    }
    Rebuild();
}

const char* CFinsAreaMap::Add(const FinsAreaRange& range)
{
    if (range.area >= kAreaKinds || range.first > range.last ||
        range.last > FinsAreaLastAddress(range.area)) {
        return "past the end of the area";
    }
    size_t shared = 0; // the ranges already on the same area codes
    for (const FinsAreaRange& other : m_ranges) {
        if (m_custom && Overlaps(range, other)) {
            return "overlaps another range of the area";
        }
        shared += m_custom && GroupOf(other.area) == GroupOf(range.area) ? 1 : 0;
    }
    if (shared >= kMaxRangesPerCode) {
        return "too many ranges for the area";
    }
    if (!m_custom) {
        m_ranges.clear();
        m_custom = true;
    }
    m_ranges.push_back(range);
    Rebuild();
    return nullptr;
}

void CFinsAreaMap::Clear()
{
    m_ranges.clear();
    m_custom = true;
    Rebuild();
}

const std::vector<FinsAreaRange>& CFinsAreaMap::Ranges() const
{
    return m_ranges;
}

// Rows in wire numbering, grouped by the address space they live in; each code points at its
// group's rows.
void CFinsAreaMap::Rebuild()
{
    m_rows.clear();
    for (const FinsAreaRange& range : m_ranges) {
        FinsAreaRange row = range;
        row.first += WireBase(range.area);
        row.last += WireBase(range.area);
        m_rows.push_back(row);
    }
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [](const FinsAreaRange& a, const FinsAreaRange& b) {
                         const FinsAreaKind ga = GroupOf(a.area);
                         const FinsAreaKind gb = GroupOf(b.area);
                         return ga != gb ? ga < gb : a.first < b.first;
                     });
    m_codes.fill(CodeEntry{});
    auto point = [this](uint8_t code, FinsAreaKind group, uint8_t form) {
        CodeEntry entry;
        for (size_t i = 0; i < m_rows.size(); ++i) {
            if (GroupOf(m_rows[i].area) == group) {
                entry.begin = entry.count == 0 ? static_cast<uint16_t>(i) : entry.begin;
                ++entry.count;
            }
        }
        entry.form = entry.count == 0 ? kFormNone : form;
        m_codes[code] = entry;
    };
    for (const CodeRule& rule : kCodeRules) {
        point(rule.code, rule.group, rule.form);
    }
    for (unsigned bank = 0; bank < kEmBanks; ++bank) {
        const auto group = static_cast<FinsAreaKind>(kAreaE0 + bank);
        point(static_cast<uint8_t>(AREA_EM_BIT + bank), group, kFormBit);
        point(static_cast<uint8_t>(AREA_EM_WORD + bank), group, kFormWord);
    }
}

uint16_t CFinsAreaMap::Locate(CAppAreaMemmory& memory, const _FinsReadCmd& cmd,
                              FinsLocation& where) const
{
    const CodeEntry& entry = m_codes[cmd.byArea];
    if (entry.form == kFormNone) {
        return RESP_BAD_AREA;
    }
    const uint32_t addr = cmd.wAddr;
    const FinsAreaRange* row = nullptr;
    for (const FinsAreaRange* r = &m_rows[entry.begin]; r != &m_rows[entry.begin] + entry.count;
         ++r) {
        if (r->first <= addr && addr <= r->last) {
            row = r;
            break;
        }
    }
    if (row == nullptr || (entry.form == kFormFlag && cmd.byBit != 0)) {
        return RESP_START_OUT_OF_RANGE;
    }
    where.segment = row->segment;
    where.words = entry.form == kFormWord;
    where.range = row;
    // The last area address the command touches; a zero count wraps at address 0, as below.
    uint32_t last = 0;
    if (entry.form == kFormFlag) {
        where.word = row->offset;
        where.bit = addr - row->first;
        where.firstWord = addr;
        last = addr + cmd.wCount - 1u;
    } else {
        where.word = row->offset + (addr - row->first);
        where.bit = where.words ? 0 : cmd.byBit;
        where.firstWord = where.words ? addr : addr + cmd.byBit / kBitsPerAreaWord;
        last = where.words
                   ? addr + cmd.wCount - 1u
                   : (kBitsPerAreaWord * addr + cmd.byBit + cmd.wCount - 1u) / kBitsPerAreaWord;
    }
    const uint16_t code =
        SegmentRange(memory.GetAppMemorySizeFromType(row->segment), where, cmd.wCount);
    if (code != RESP_OK) {
        return code;
    }
    // No straddling into the next range, even one that maps the following segment words.
    return cmd.wCount != 0 && last > row->last ? RESP_END_OUT_OF_RANGE : RESP_OK;
}

unsigned CFinsAreaMap::ItemBytes(uint8_t code) const
{
    const uint8_t form = m_codes[code].form;
    if (form == kFormNone) {
        return 0;
    }
    return form == kFormWord ? 2u : 1u;
}

uint32_t CFinsAreaMap::DmWords(CAppAreaMemmory& memory) const
{
    uint32_t words = 0;
    for (const FinsAreaRange& range : m_ranges) {
        uint32_t last = 0;
        if (range.area == kAreaDm && UsedEnd(memory, range, last)) {
            words = std::max(words, last + 1u);
        }
    }
    return std::min(words, kMaxReportedWords);
}

unsigned CFinsAreaMap::EmBanks() const
{
    unsigned banks = 0;
    for (const FinsAreaRange& range : m_ranges) {
        if (range.area >= kAreaE0) {
            banks = std::max(banks, static_cast<unsigned>(range.area - kAreaE0) + 1u);
        }
    }
    return banks;
}

std::string FinsRangeText(const _FinsReadCmd& cmd, const FinsLocation& where)
{
    const FinsAreaKind area = where.range != nullptr ? where.range->area : kAreaDm;
    const uint32_t count = cmd.wCount != 0 ? cmd.wCount : 1u;
    if (where.words || area == kAreaTF || area == kAreaCF) {
        const std::string first = ItemText(area, cmd.wAddr, -1);
        return count == 1 ? first : first + "-" + ItemText(area, cmd.wAddr + count - 1, -1);
    }
    const uint32_t firstBit = kBitsPerAreaWord * cmd.wAddr + cmd.byBit;
    const uint32_t lastBit = firstBit + count - 1;
    const std::string first =
        ItemText(area, firstBit / kBitsPerAreaWord, static_cast<int>(firstBit % kBitsPerAreaWord));
    return count == 1 ? first
                      : first + "-" +
                            ItemText(area, lastBit / kBitsPerAreaWord,
                                     static_cast<int>(lastBit % kBitsPerAreaWord));
}
