// Response latency histogram: one per worker thread, merged by the main thread after the workers
// have been joined. Fixed memory whatever the run length: one counter per microsecond up to
// kBuckets, the exact maximum kept beside.
#pragma once

#include <cstdint>
#include <vector>

class LatencyHistogram
{
public:
    static constexpr uint64_t kBuckets = 100000; // 1-us buckets up to 100 ms; the last is open

    LatencyHistogram() : m_counts(kBuckets, 0) {}

    void add(uint64_t ns)
    {
        const uint64_t us = ns / 1000;
        ++m_counts[us < kBuckets ? us : kBuckets - 1];
        ++m_total;
        if (ns > m_maxNs) {
            m_maxNs = ns;
        }
    }
    void merge(const LatencyHistogram& other);

    uint64_t count() const { return m_total; }
    // Smallest whole microsecond value at or below which a share `q` (0 < q <= 1) of the samples
    // lie; 0 without samples.
    uint64_t quantileUs(double q) const;
    uint64_t maxUs() const { return m_maxNs / 1000; }

private:
    std::vector<uint64_t> m_counts;
    uint64_t m_total = 0;
    uint64_t m_maxNs = 0;
};
