#include "tests/support/FakeApplication.h"

#include "base/CmpImports.h"

FakeApplication::FakeApplication()
{
    s_current = this;
    pfAppGetFirstApp = &FakeApplication::GetFirstApp;
    pfAppGetSegmentAddress = &FakeApplication::GetSegmentAddress;
    pfAppGetSegmentSize = &FakeApplication::GetSegmentSize;
}

FakeApplication::~FakeApplication()
{
    pfAppGetFirstApp = nullptr;
    pfAppGetSegmentAddress = nullptr;
    pfAppGetSegmentSize = nullptr;
    s_current = nullptr;
}

void FakeApplication::setSegment(uint32_t areaCode, void* data, uint32_t size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_segments[areaCode] = Segment{data, size};
}

void FakeApplication::removeSegment(uint32_t areaCode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_segments.erase(areaCode);
}

void FakeApplication::setNoApplication(bool none)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_noApplication = none;
}

void FakeApplication::setResult(RTS_RESULT result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_result = result;
}

void* FakeApplication::handle() const
{
    return const_cast<char*>(&m_app);
}

std::vector<FakeApplication::Lookup> FakeApplication::lookups() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lookups;
}

void FakeApplication::record(Lookup::Kind kind, uint32_t areaCode, void* app, RTS_RESULT* result)
{
    m_lookups.push_back(Lookup{kind, areaCode, app});
    if (result != nullptr) {
        *result = m_result;
    }
}

void* FakeApplication::GetFirstApp(RTS_RESULT* result)
{
    FakeApplication* self = s_current;
    if (self == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->record(Lookup::FirstApp, 0, nullptr, result);
    return self->m_noApplication ? nullptr : self->handle();
}

uint8_t* FakeApplication::GetSegmentAddress(void* app, uint32_t areaCode, RTS_RESULT* result)
{
    FakeApplication* self = s_current;
    if (self == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->record(Lookup::SegmentAddress, areaCode, app, result);
    auto it = self->m_segments.find(areaCode);
    if (app != self->handle() || it == self->m_segments.end()) {
        return nullptr;
    }
    return static_cast<uint8_t*>(it->second.data);
}

uint32_t FakeApplication::GetSegmentSize(void* app, uint32_t areaCode, RTS_RESULT* result)
{
    FakeApplication* self = s_current;
    if (self == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->record(Lookup::SegmentSize, areaCode, app, result);
    auto it = self->m_segments.find(areaCode);
    if (app != self->handle() || it == self->m_segments.end()) {
        return 0;
    }
    return it->second.size;
}
