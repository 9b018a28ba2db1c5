// The simulated PLC application: its input (I), output (Q) and memory (M) segments, which the
// host owns and hands out through the application manager, and the optional demo program that
// runs cyclically on a thread of its own.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "base/RuntimeApi.h"

struct SegmentSpec
{
    uint32_t bytes;
    bool present;
};

// The function block bodies the demo program calls; null when the component did not register them.
struct DemoExternals
{
    void (*fbTcp)(void* params);
    void (*fbUdp)(void* params);
};

class Application
{
public:
    // Segments in runtime area order: input, output, memory.
    Application(SegmentSpec input, SegmentSpec output, SegmentSpec memory);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // A new download: fresh, zeroed segments at new addresses; the old ones are freed. Call only
    // while no component thread uses the segments (between download prepare and download done).
    void Reload();
    // The segment of a runtime area code (4, 8, 16); null when absent or for another code.
    uint8_t* Segment(uint32_t areaCode);
    uint32_t SegmentSize(uint32_t areaCode);

    // Starts the demo program (100 ms cycle) calling the given externals; StopDemo joins it.
    void StartDemo(DemoExternals externals);
    void StopDemo();
    void SetDemoExternals(DemoExternals externals);

private:
    struct Area
    {
        SegmentSpec layout;
        std::unique_ptr<uint8_t[]> bytes;
    };

    Area* Find(uint32_t areaCode);
    void DemoLoop();
    void DemoCycle(uint32_t cycle);

    // Segments are replaced by Reload on the main thread while the demo cycle is excluded by
    // m_cycleMutex; the component's reader thread reads and writes the bytes without any lock, as
    // it does in a real controller.
    Area m_input;
    Area m_output;
    Area m_memory;
    std::mutex m_cycleMutex;        // held for a whole demo cycle and for a reload
    DemoExternals m_externals{};    // guarded by m_cycleMutex
    std::condition_variable m_wake; // with m_cycleMutex: ends the cycle wait early on stop
    bool m_stop = false;            // guarded by m_cycleMutex; set by StopDemo
    std::thread m_demo;             // main thread starts and joins it
};
