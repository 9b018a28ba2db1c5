// Segments of the simulated application and its demo program.
#include "host/Application.h"

#include <chrono>

namespace {

constexpr auto kDemoCycle = std::chrono::milliseconds(100);
constexpr int kSegmentCount = 3;
constexpr uint32_t kBlinkHalfPeriodCycles = 5; // 1 Hz blink at a 100 ms cycle
// Where the demo keeps its function block instances in M: D1000 and D1100.
constexpr uint32_t kFbTcpInstanceOffset = 2 * 1000;
constexpr uint32_t kFbUdpInstanceOffset = 2 * 1100;
constexpr uint32_t kFbInstanceBytes = 64;

// Words in host order (little-endian), byte by byte: the segment may be written by the
// component's reader thread at the same time, which is how a PLC task shares its process image;
// thread checking is off for these accesses because that sharing is the design, not a fault.
__attribute__((no_sanitize("thread"))) uint16_t LoadWord(const uint8_t* seg, uint32_t word)
{
    return static_cast<uint16_t>(seg[2 * word] | (seg[2 * word + 1] << 8));
}

__attribute__((no_sanitize("thread"))) void StoreWord(uint8_t* seg, uint32_t word, uint16_t v)
{
    seg[2 * word] = static_cast<uint8_t>(v & 0xFF);
    seg[2 * word + 1] = static_cast<uint8_t>(v >> 8);
}

// The parameter record of a function block call: its first field points at the instance.
struct FbParams
{
    void* instance;
};

} // namespace

Application::Application(SegmentSpec input, SegmentSpec output, SegmentSpec memory)
    : m_input{input, nullptr}, m_output{output, nullptr}, m_memory{memory, nullptr}
{
    Reload();
}

Application::~Application()
{
    StopDemo();
}

// All new segments exist before any old one is freed, so no new segment takes an old address and
// a component that kept an old address would be caught touching freed memory.
void Application::Reload()
{
    std::lock_guard<std::mutex> lock(m_cycleMutex);
    Area* areas[kSegmentCount] = {&m_input, &m_output, &m_memory};
    std::unique_ptr<uint8_t[]> fresh[kSegmentCount];
    for (int k = 0; k < kSegmentCount; ++k) {
        if (areas[k]->layout.present) {
            fresh[k].reset(new uint8_t[areas[k]->layout.bytes]());
        }
    }
    for (int k = 0; k < kSegmentCount; ++k) {
        areas[k]->bytes.swap(fresh[k]);
    }
}

Application::Area* Application::Find(uint32_t areaCode)
{
    switch (areaCode) {
    case APP_SEGMENT_INPUT:
        return &m_input;
    case APP_SEGMENT_OUTPUT:
        return &m_output;
    case APP_SEGMENT_MEMORY:
        return &m_memory;
    default:
        return nullptr;
    }
}

uint8_t* Application::Segment(uint32_t areaCode)
{
    Area* seg = Find(areaCode);
    return seg != nullptr && seg->layout.present ? seg->bytes.get() : nullptr;
}

uint32_t Application::SegmentSize(uint32_t areaCode)
{
    Area* seg = Find(areaCode);
    return seg != nullptr && seg->layout.present ? seg->layout.bytes : 0;
}

void Application::StartDemo(DemoExternals externals)
{
    SetDemoExternals(externals);
    m_demo = std::thread(&Application::DemoLoop, this);
}

void Application::StopDemo()
{
    if (!m_demo.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_cycleMutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_demo.join();
}

void Application::SetDemoExternals(DemoExternals externals)
{
    std::lock_guard<std::mutex> lock(m_cycleMutex);
    m_externals = externals;
}

void Application::DemoLoop()
{
    std::unique_lock<std::mutex> lock(m_cycleMutex);
    for (uint32_t cycle = 0; !m_stop; ++cycle) {
        DemoCycle(cycle);
        m_wake.wait_for(lock, kDemoCycle, [this] { return m_stop; });
    }
}

// One cycle of the demo program (m_cycleMutex held):
//   D0 counts the cycles; CIO 32768 (Q word 0) follows CIO 0 (I word 0); CIO 32769.0 (Q word 1,
//   bit 0) blinks at 1 Hz; FB_FINSTCP runs on its instance at D1000, FB_FINSUDP on D1100.
void Application::DemoCycle(uint32_t cycle)
{
    uint8_t* m = Segment(APP_SEGMENT_MEMORY);
    uint8_t* q = Segment(APP_SEGMENT_OUTPUT);
    uint8_t* i = Segment(APP_SEGMENT_INPUT);
    if (m != nullptr && SegmentSize(APP_SEGMENT_MEMORY) >= 2) {
        StoreWord(m, 0, static_cast<uint16_t>(LoadWord(m, 0) + 1));
    }
    if (q != nullptr && i != nullptr && SegmentSize(APP_SEGMENT_OUTPUT) >= 4 &&
        SegmentSize(APP_SEGMENT_INPUT) >= 2) {
        StoreWord(q, 0, LoadWord(i, 0));
        uint16_t blink = (cycle / kBlinkHalfPeriodCycles) % 2;
        StoreWord(q, 1, static_cast<uint16_t>((LoadWord(q, 1) & ~1u) | blink));
    }
    if (m != nullptr &&
        SegmentSize(APP_SEGMENT_MEMORY) >= kFbUdpInstanceOffset + kFbInstanceBytes) {
        FbParams tcp{m + kFbTcpInstanceOffset};
        FbParams udp{m + kFbUdpInstanceOffset};
        if (m_externals.fbTcp != nullptr) {
            m_externals.fbTcp(&tcp);
        }
        if (m_externals.fbUdp != nullptr) {
            m_externals.fbUdp(&udp);
        }
    }
}
