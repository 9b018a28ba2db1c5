// A stand-in for the runtime's application manager: installs AppGetFirstApp, AppGetSegmentAddress
// and AppGetSegmentSize into the import slots and answers them from byte arrays the test owns.
// Every call is recorded, so tests can check which segments were asked for, in which order.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "base/RuntimeApi.h"

class FakeApplication
{
public:
    struct Lookup
    {
        enum Kind
        {
            FirstApp,
            SegmentAddress,
            SegmentSize
        } kind;
        uint32_t areaCode; // APP_SEGMENT_*; 0 for FirstApp
        void* app;         // application handle passed in; null for FirstApp
    };

    // Installs the fake: an application with no segments until setSegment adds them.
    FakeApplication();
    // Empties the three slots.
    ~FakeApplication();
    FakeApplication(const FakeApplication&) = delete;
    FakeApplication& operator=(const FakeApplication&) = delete;

    // The segment of a runtime area code (APP_SEGMENT_INPUT, _OUTPUT, _MEMORY): `size` bytes at
    // `data`, which the test owns and keeps alive while the fake is in use.
    void setSegment(uint32_t areaCode, void* data, uint32_t size);
    // The application has no such segment: its address look-up returns null.
    void removeSegment(uint32_t areaCode);
    // No application at all: AppGetFirstApp returns null.
    void setNoApplication(bool none);
    // Value every call writes into the caller's result variable (default 0).
    void setResult(RTS_RESULT result);
    // The application handle AppGetFirstApp returns.
    void* handle() const;

    std::vector<Lookup> lookups() const;

private:
    struct Segment
    {
        void* data;
        uint32_t size;
    };

    static void* GetFirstApp(RTS_RESULT* result);
    static uint8_t* GetSegmentAddress(void* app, uint32_t areaCode, RTS_RESULT* result);
    static uint32_t GetSegmentSize(void* app, uint32_t areaCode, RTS_RESULT* result);
    void record(Lookup::Kind kind, uint32_t areaCode, void* app, RTS_RESULT* result);

    static inline FakeApplication* s_current = nullptr;
    char m_app = 0; // its address is the application handle
    mutable std::mutex m_mutex;
    std::map<uint32_t, Segment> m_segments; // guarded by m_mutex
    std::vector<Lookup> m_lookups;          // guarded by m_mutex
    bool m_noApplication = false;           // guarded by m_mutex
    RTS_RESULT m_result = 0;                // guarded by m_mutex
};
