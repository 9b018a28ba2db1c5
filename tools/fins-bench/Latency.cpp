#include "tools/fins-bench/Latency.h"

#include <cmath>

void LatencyHistogram::merge(const LatencyHistogram& other)
{
    for (uint64_t i = 0; i < kBuckets; ++i) {
        m_counts[i] += other.m_counts[i];
    }
    m_total += other.m_total;
    if (other.m_maxNs > m_maxNs) {
        m_maxNs = other.m_maxNs;
    }
}

uint64_t LatencyHistogram::quantileUs(double q) const
{
    if (m_total == 0) {
        return 0;
    }
    // Rank of the sample sought, 1-based: the p50 of 4 samples is the 2nd.
    const auto rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(m_total)));
    uint64_t seen = 0;
    for (uint64_t us = 0; us < kBuckets; ++us) {
        seen += m_counts[us];
        if (seen >= rank && seen > 0) {
            // The open last bucket holds everything slower; the maximum is the better answer.
            return us == kBuckets - 1 ? maxUs() : us;
        }
    }
    return maxUs();
}
