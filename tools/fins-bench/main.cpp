// fins-bench: a FINS/TCP and FINS/UDP load generator. Sets up all connections first (in batches),
// then has every connection keep its pipeline of requests full for a time or a count, checks every
// response, and reports throughput and response latency. Exit status: 0 when every response was
// right, 1 after a wrong or missing one (or any other failure of the run), 2 on a bad command line.
#include "tools/fins-bench/Options.h"
#include "tools/fins-bench/Request.h"
#include "tools/fins-bench/WireFormat.h"
#include "tools/fins-bench/Worker.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>

namespace {

// Descriptors besides the connections: stdio, epoll instances, slack.
constexpr rlim_t kSpareFiles = 64;

struct Outcome
{
    double connectSec = 0;
    double loadSec = 0;
    uint64_t responses = 0;
    unsigned served = 0;
    LatencyHistogram latency;
};

// Raises the open-file soft limit to the hard limit, which must leave room for every connection.
bool raiseFileLimit(unsigned conns, std::string& error)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        error = "getrlimit failed";
        return false;
    }
    lim.rlim_cur = lim.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &lim); // lowering nothing; failing leaves the old limit
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < conns + kSpareFiles) {
        error = std::to_string(conns) + " connections need more open files than the limit of " +
                std::to_string(lim.rlim_cur);
        return false;
    }
    return true;
}

RequestSpec requestSpec(const BenchOptions& o)
{
    RequestSpec req;
    req.udp = o.udp;
    req.write = o.write;
    if (o.cio) {
        req.area = o.bits ? finswire::kAreaCioBit : finswire::kAreaCioWord;
    } else {
        req.area = o.bits ? finswire::kAreaDmBit : finswire::kAreaDmWord;
    }
    req.addr = o.addr;
    req.items = static_cast<uint16_t>(o.items);
    return req;
}

// Connections [first, end) of worker w, and how many requests each may send.
std::vector<std::unique_ptr<Worker>> makeWorkers(const BenchOptions& o, const RequestTemplate& req,
                                                 const sockaddr_in& server, SharedRun& run)
{
    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned w = 0; w < o.threads; ++w) {
        const unsigned first = static_cast<unsigned>(uint64_t{o.conns} * w / o.threads);
        const unsigned end = static_cast<unsigned>(uint64_t{o.conns} * (w + 1) / o.threads);
        std::vector<uint64_t> quotas;
        for (unsigned i = first; i < end; ++i) {
            quotas.push_back(o.count == 0 ? UINT64_MAX
                                          : o.count / o.conns + (i < o.count % o.conns ? 1 : 0));
        }
        workers.push_back(std::make_unique<Worker>(o, req, server, run, first, std::move(quotas)));
    }
    return workers;
}

void collect(const std::vector<std::unique_ptr<Worker>>& workers, uint64_t loadStartNs,
             Outcome& out)
{
    uint64_t lastNs = loadStartNs;
    for (const auto& w : workers) {
        const WorkerResult& r = w->result();
        out.responses += r.responses;
        out.served += r.served;
        out.latency.merge(r.latency);
        lastNs = std::max(lastNs, r.lastResponseNs);
    }
    out.loadSec = static_cast<double>(lastNs - loadStartNs) / 1e9;
}

bool runBench(const BenchOptions& o, const sockaddr_in& server, Outcome& out, std::string& error)
{
    const RequestTemplate req(requestSpec(o));
    SharedRun run(o.threads);
    const auto workers = makeWorkers(o, req, server, run);
    const uint64_t startNs = monotonicNs();
    std::vector<std::thread> threads;
    try {
        for (const auto& w : workers) {
            threads.emplace_back([&w] { w->run(); });
        }
    } catch (const std::system_error& e) {
        run.fail(std::string("starting a worker thread: ") + e.what()); // releases those started
    }
    if (!run.failed() && run.connected.arriveAndWait()) {
        run.loadStartNs = monotonicNs();
        out.connectSec = static_cast<double>(run.loadStartNs - startNs) / 1e9;
        if (o.count == 0) {
            run.deadlineNs = run.loadStartNs + static_cast<uint64_t>(o.seconds * 1e9);
        }
        (void)run.go.arriveAndWait(); // false only after a failure, read below
    }
    for (std::thread& t : threads) {
        t.join();
    }
    if (run.failed()) {
        error = run.failure();
        return false;
    }
    collect(workers, run.loadStartNs, out);
    return true;
}

std::string describe(const BenchOptions& o)
{
    char buf[256];
    (void)snprintf(buf, sizeof(buf),
                   "fins-bench: %s %s:%u, %u connections, pipeline %u, %s %s %s x%u at %u, "
                   "%u threads",
                   o.udp ? "udp" : "tcp", o.host.c_str(), o.port, o.conns, o.pipeline,
                   o.write ? "write" : "read", o.cio ? "CIO" : "DM", o.bits ? "bits" : "words",
                   o.items, o.addr, o.threads);
    return buf;
}

void report(const BenchOptions& o, const Outcome& r)
{
    const double rate = r.loadSec > 0 ? static_cast<double>(r.responses) / r.loadSec : 0;
    const LatencyHistogram& l = r.latency;
    std::printf("%s\n", describe(o).c_str());
    std::printf("connected:  %u in %.3f s\n", o.conns, r.connectSec);
    std::printf("requests:   %llu\n", static_cast<unsigned long long>(r.responses));
    std::printf("seconds:    %.3f\n", r.loadSec);
    std::printf("req/s:      %.0f\n", rate);
    std::printf("latency us: p50 %llu  p90 %llu  p99 %llu  max %llu%s\n",
                static_cast<unsigned long long>(l.quantileUs(0.50)),
                static_cast<unsigned long long>(l.quantileUs(0.90)),
                static_cast<unsigned long long>(l.quantileUs(0.99)),
                static_cast<unsigned long long>(l.maxUs()),
                o.pipeline > 1 ? "  (send to response, queueing behind the pipeline included)"
                               : "");
    std::printf("served:     %u/%u connections\n", r.served, o.conns);
    std::printf("req/s=%.0f p50_us=%llu p99_us=%llu p90_us=%llu max_us=%llu requests=%llu "
                "seconds=%.3f connect_s=%.3f served=%u/%u\n",
                rate, static_cast<unsigned long long>(l.quantileUs(0.50)),
                static_cast<unsigned long long>(l.quantileUs(0.99)),
                static_cast<unsigned long long>(l.quantileUs(0.90)),
                static_cast<unsigned long long>(l.maxUs()),
                static_cast<unsigned long long>(r.responses), r.loadSec, r.connectSec, r.served,
                o.conns);
}

int runMain(int argc, char** argv)
{
    BenchOptions o;
    bool help = false;
    std::string error;
    if (!parseOptions(argc, argv, o, help, error)) {
        std::fprintf(stderr, "fins-bench: %s\n%s", error.c_str(), usageText());
        return 2;
    }
    if (help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(o.port);
    if (inet_pton(AF_INET, o.host.c_str(), &server.sin_addr) != 1) {
        std::fprintf(stderr, "fins-bench: %s is not an IPv4 address\n", o.host.c_str());
        return 2;
    }
    // The server under test shares the machine: by default the load takes half the cores. On two
    // cores one client thread beside a single-threaded server gives nearly twice the figures of
    // two client threads, which only take turns with the server.
    const unsigned half = std::max(1u, std::thread::hardware_concurrency() / 2);
    o.threads = std::min(o.threads == 0 ? half : o.threads, o.conns);
    std::signal(SIGPIPE, SIG_IGN); // sends ask for no signal; this covers anything else
    Outcome outcome;
    if (!raiseFileLimit(o.conns, error) || !runBench(o, server, outcome, error)) {
        std::fprintf(stderr, "fins-bench: FAILED: %s\n", error.c_str());
        return 1;
    }
    report(o, outcome);
    if (outcome.served != o.conns) {
        std::fprintf(stderr, "fins-bench: FAILED: only %u of %u connections were served\n",
                     outcome.served, o.conns);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return runMain(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fins-bench: FAILED: %s\n", e.what());
        return 1;
    }
}
