// The policy of the FINS commands (see the header).
#include "fins/FinsPolicy.h"

unsigned ReadOnlyBitOf(FinsAreaKind kind)
{
    if (kind == kAreaCio) {
        return kReadOnlyCioIn | kReadOnlyCioOut;
    }
    if (kind == kAreaDm) {
        return kReadOnlyDm;
    }
    return kReadOnlyFirstOther << (kind - kAreaW);
}

// A range lies in one segment (Locate refuses straddling), so its segment tells CIO inputs from
// outputs.
uint16_t CheckWritable(const FinsPolicy& policy, const FinsLocation& where)
{
    const FinsAreaRange* range = where.range;
    if (range == nullptr) {
        return RESP_READ_ONLY; // not located: nothing to write
    }
    if (range->area == kAreaA && where.firstWord < kAuxiliaryReadOnlyEnd) {
        return RESP_READ_ONLY;
    }
    unsigned bit = ReadOnlyBitOf(range->area);
    if (range->area == kAreaCio) {
        bit = range->segment == APP_AREA_Q ? kReadOnlyCioOut : kReadOnlyCioIn;
    }
    return (policy.readOnly & bit) != 0 ? RESP_READ_ONLY : RESP_OK;
}
