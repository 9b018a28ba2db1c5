// latency-probe: a periodic task standing in for a control program's cyclic task. It wakes every
// period on a fixed grid (absolute deadlines on the monotonic clock) and records how late each
// period starts; when a wake-up comes late, the periods whose start has already passed start at
// once and each counts with its own lateness, as the ticks a cyclic task missed. Scheduling and
// core are the caller's (chrt, taskset). Prints one line:
//   periods=N p50_us=.. p99_us=.. max_us=.. late_10ms=N
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int64_t kNsPerUs = 1000;
constexpr int64_t kNsPerSec = 1'000'000'000;
constexpr int64_t kLateMarkNs = 10'000'000; // periods later than this are counted
constexpr double kMaxSeconds = 3600;
constexpr double kMaxPeriodUs = 1'000'000;

struct Config
{
    double seconds = 5;
    double periodUs = 1000;
};

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

void SleepUntil(int64_t t)
{
    timespec until{};
    until.tv_sec = static_cast<time_t>(t / kNsPerSec);
    until.tv_nsec = static_cast<long>(t % kNsPerSec);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

bool ParseArgs(int argc, char** argv, Config& config)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const double value = std::strtod(argv[++i], nullptr);
        if (arg == "--seconds" && value > 0 && value <= kMaxSeconds) {
            config.seconds = value;
        } else if (arg == "--period-us" && value >= 1 && value <= kMaxPeriodUs) {
            config.periodUs = value;
        } else {
            return false;
        }
    }
    return true;
}

// The value below which the fraction q of the sorted samples lie.
int64_t Quantile(const std::vector<int64_t>& sorted, double q)
{
    const auto at = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1));
    return sorted[at];
}

} // namespace

int main(int argc, char** argv)
{
    Config config;
    if (!ParseArgs(argc, argv, config)) {
        std::fprintf(stderr, "usage: latency-probe [--seconds S] [--period-us P]\n");
        return 2;
    }
    const auto period = static_cast<int64_t>(config.periodUs * kNsPerUs);
    const auto periods = static_cast<size_t>(config.seconds * kNsPerSec / period);
    std::vector<int64_t> late;
    late.reserve(periods);
    int64_t release = NowNs() + period;
    for (size_t i = 0; i < periods; ++i, release += period) {
        SleepUntil(release);
        late.push_back(NowNs() - release);
    }
    if (late.empty()) {
        std::fprintf(stderr, "latency-probe: no period in %.3f s\n", config.seconds);
        return 1;
    }
    const auto lateMarks =
        std::count_if(late.begin(), late.end(), [](int64_t ns) { return ns > kLateMarkNs; });
    std::sort(late.begin(), late.end());
    std::printf("periods=%zu p50_us=%lld p99_us=%lld max_us=%lld late_10ms=%ld\n", late.size(),
                static_cast<long long>(Quantile(late, 0.5) / kNsPerUs),
                static_cast<long long>(Quantile(late, 0.99) / kNsPerUs),
                static_cast<long long>(late.back() / kNsPerUs), static_cast<long>(lateMarks));
    return 0;
}
