// The policy of the FINS commands (see the header).
#include "fins/FinsPolicy.h"

#include "fins/FinsArea.h"

namespace {

constexpr uint32_t kBitsPerWord = 16;

} // namespace

// A CIO range may start among the inputs and run on into the outputs: both of its ends count.
uint16_t CheckWritable(const FinsPolicy& policy, const _FinsReadCmd& cmd, bool words)
{
    const unsigned protect = policy.readOnly;
    if (IsDmArea(cmd.byArea)) {
        return (protect & kReadOnlyDm) != 0 ? RESP_READ_ONLY : RESP_OK;
    }
    if (!IsCioArea(cmd.byArea) || cmd.wCount == 0) {
        return RESP_OK;
    }
    const uint32_t first = cmd.wAddr;
    const uint32_t last =
        words ? first + cmd.wCount - 1u : first + (cmd.byBit + cmd.wCount - 1u) / kBitsPerWord;
    const bool inputs = (protect & kReadOnlyCioIn) != 0 && first < kCioOutputBase;
    const bool outputs = (protect & kReadOnlyCioOut) != 0 && last >= kCioOutputBase;
    return inputs || outputs ? RESP_READ_ONLY : RESP_OK;
}
