// Command line of fins-bench.
#pragma once

#include <cstdint>
#include <string>

struct BenchOptions
{
    bool udp = false;
    std::string host = "127.0.0.1";
    uint16_t port = 9600;
    unsigned conns = 1;
    unsigned pipeline = 1;
    double seconds = 0;  // run length when count is 0
    uint64_t count = 0;  // total requests over all connections; 0: run for `seconds`
    unsigned items = 10; // words, or bits with --bits
    bool write = false;
    bool bits = false;
    bool cio = false; // CIO area, else DM
    uint16_t addr = 0;
    unsigned threads = 0; // 0: half the cores (at least one), at most one per connection
    unsigned timeoutMs = 5000;
    unsigned connectBatch = 256; // connections being set up at once, over all threads
};

// Fills `opts` from the command line. Returns false with `error` set on a bad or missing value;
// `opts` may then be partly filled. Sets `help` when --help was given.
bool parseOptions(int argc, char** argv, BenchOptions& opts, bool& help, std::string& error);

const char* usageText();
