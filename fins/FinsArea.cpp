// Memory area addressing shared by the FINS memory commands (see the header).
#include "fins/FinsArea.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Four words at a time: the bytes of each 16-bit lane of a 64-bit block trade places. `to` may be
// `from` (in place), or a buffer that does not overlap it.
void SwapWordsPortable(char* to, const char* from, size_t words)
{
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    size_t i = 0;
    for (; i + 4 <= words; i += 4) {
        uint64_t block;
        std::memcpy(&block, from + 2 * i, sizeof(block));
        block = ((block >> 8) & kLowBytes) | ((block & kLowBytes) << 8);
        std::memcpy(to + 2 * i, &block, sizeof(block));
    }
    for (; i < words; ++i) {
        const char high = from[2 * i];
        to[2 * i] = from[2 * i + 1];
        to[2 * i + 1] = high;
    }
}

#if defined(__x86_64__)
constexpr size_t kAvx2Words = 16; // one 32-byte register

// Sixteen words per byte shuffle, the rest as above: a 2000-word read or write converts its
// 4000 bytes in about 125 steps instead of 500.
__attribute__((target("avx2"))) void SwapWordsAvx2(char* to, const char* from, size_t words)
{
    const __m256i pairs = _mm256_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14, 1,
                                           0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    size_t i = 0;
    for (; i + kAvx2Words <= words; i += kAvx2Words) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 2 * i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 2 * i),
                            _mm256_shuffle_epi8(block, pairs));
    }
    SwapWordsPortable(to + 2 * i, from + 2 * i, words - i);
}
#endif

} // namespace

void SwapWordsInto(char* to, const char* from, size_t words)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    if (avx2 && words >= kAvx2Words) {
        SwapWordsAvx2(to, from, words);
        return;
    }
#endif
    SwapWordsPortable(to, from, words);
}
