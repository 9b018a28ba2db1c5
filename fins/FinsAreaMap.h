// The map of FINS memory areas onto the application's segments: ranges that each put the words of
// one area, from a first to a last address, onto a segment from a word offset on; and per area code
// (one byte on the wire) the ranges it reaches, so a request finds its range in one table step and
// a short scan. Built by the owner at a download while no loop thread runs; read on the reader
// thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "appmem/AppAreaMem.h"
#include "fins/FinsFrame.h"

// The areas a range can name. Word and bit codes of an area reach the same ranges; T and C share
// the timer/counter code (C numbers from kCounterWireBase on the wire), TF and CF the flag code.
enum FinsAreaKind : uint8_t
{
    kAreaCio,
    kAreaDm,
    kAreaW,
    kAreaH,
    kAreaA,
    kAreaT,
    kAreaC,
    kAreaTF,
    kAreaCF,
    kAreaE0, // EM banks E0 .. EC follow in order
    kAreaKinds = kAreaE0 + 13,
};

constexpr unsigned kEmBanks = 13;
constexpr uint32_t kAreaLastAddress = 0xFFFF;   // a wire address is 16 bits
constexpr uint32_t kTimerLastNumber = 0x0FFF;   // T, C, TF and CF 0 .. 4095
constexpr uint32_t kCounterWireBase = 0x8000;   // C5 and CF5 go on the wire as 0x8005
constexpr uint32_t kAuxiliaryReadOnlyEnd = 448; // A 0-447 never take a write, as on a controller
constexpr uint32_t kBitsPerAreaWord = 16;

// The name of an area as settings write it ("CIO", "DM", "W", "E0", "TF"...).
const char* FinsAreaName(FinsAreaKind kind);
// The area of a name (any letter case); false for none.
bool ParseFinsAreaName(const std::string& name, FinsAreaKind& kind);
// The highest address a range of the area may reach.
uint32_t FinsAreaLastAddress(FinsAreaKind kind);

// One range of the map: area addresses first..last (the area's own numbers: C5 is 5) onto segment
// words from `offset` on.
struct FinsAreaRange
{
    FinsAreaKind area = kAreaDm;
    uint32_t first = 0;
    uint32_t last = 0;
    AppAreaMemType segment = APP_AREA_M;
    uint32_t offset = 0;
};

// Where a checked memory command lands. Word forms: `word` is the first segment word. Bit and flag
// forms: bit `bit` counted from segment word `word` (it may pass 15 into the following words).
struct FinsLocation
{
    AppAreaMemType segment = APP_AREA_M;
    uint32_t word = 0;
    uint32_t bit = 0;
    bool words = true;      // two bytes per item on the wire, else one
    uint32_t firstWord = 0; // the first area address the command touches (wire numbering)
    const FinsAreaRange* range = nullptr;
};

class CFinsAreaMap
{
public:
    enum class Layout
    {
        wide,
        compact,
    };

    // The wide layout: CIO 0-32767 -> I 0, CIO 32768-65535 -> Q 0, DM 0-65535 -> M 0.
    CFinsAreaMap();
    explicit CFinsAreaMap(Layout layout);

    // Adds a range: null when added, else why it is left out (its area already maps one of its
    // addresses, it runs past what the area can address, or its area code already reaches 255
    // ranges). The map is unchanged on refusal. The first range added replaces the layout.
    const char* Add(const FinsAreaRange& range);
    void Clear();
    const std::vector<FinsAreaRange>& Ranges() const;

    // Checks a memory command (area code, address and bit as sent, count) against the map and the
    // segment sizes of `memory`: RESP_OK with `where` filled in, or RESP_BAD_AREA (the code maps no
    // range), RESP_START_OUT_OF_RANGE (the address is in no range, or past its segment), or
    // RESP_END_OUT_OF_RANGE (the command runs past its range or its segment). `where` is
    // unspecified on failure.
    uint16_t Locate(CAppAreaMemmory& memory, const _FinsReadCmd& cmd, FinsLocation& where) const;
    // Bytes one item of the area code takes on the wire: 2 for a word code, 1 for a bit or flag
    // code, 0 for a code that maps no range.
    unsigned ItemBytes(uint8_t code) const;

    // Controller data: the DM words a client may address from DM 0 on (at most 0xFFFF), and the
    // number of EM banks from E0 up to the highest one mapped.
    uint32_t DmWords(CAppAreaMemmory& memory) const;
    unsigned EmBanks() const;

private:
    // Per area code: the rows it reaches and how it carries items. Form 0: unmapped.
    struct CodeEntry
    {
        uint16_t begin = 0;
        uint8_t count = 0;
        uint8_t form = 0;
    };

    void Rebuild();

    std::vector<FinsAreaRange> m_ranges; // as added
    std::vector<FinsAreaRange> m_rows;   // by wire group, then wire address
    std::array<CodeEntry, 256> m_codes{};
    bool m_custom = false; // built by Add and Clear, not a layout
};

// The items a checked memory command names, in the notation clients write, for log lines: the
// area as Locate found it and the addresses as sent ("D100", "CIO10", "E0_100", "C5", "TF5" for
// words and flags, "D100.03" for bits), the first and the last item joined by '-' when there are
// several ("D100-D102").
std::string FinsRangeText(const _FinsReadCmd& cmd, const FinsLocation& where);
