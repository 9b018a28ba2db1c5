#include "tests/support/FakeLogger.h"

#include "base/CmpImports.h"
#include "base/kellog.h"

namespace {

// What a printf-style logger prints for a format passed with no arguments: "%%" becomes "%";
// any other conversion would read an argument that is not there.
std::string PrintWithoutArguments(const std::string& raw, bool* safe)
{
    std::string out;
    *safe = true;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '%') {
            out += raw[i];
        } else if (i + 1 < raw.size() && raw[i + 1] == '%') {
            out += '%';
            ++i;
        } else {
            *safe = false;
            out += raw[i];
        }
    }
    return out;
}

} // namespace

FakeLogger::FakeLogger(RTS_HANDLE handle) : m_handle(handle)
{
    s_current = this;
    pfLogGetFirstLogger = &FakeLogger::GetFirstLogger;
    pfLogAdd = &FakeLogger::LogAdd;
    (void)kelLogCreate();
}

FakeLogger::~FakeLogger()
{
    kelLogDelete();
    pfLogAdd = nullptr;
    pfLogGetFirstLogger = nullptr;
    s_current = nullptr;
}

std::vector<LogRecord> FakeLogger::entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

std::vector<std::string> FakeLogger::texts() const
{
    std::vector<std::string> out;
    for (const LogRecord& e : entries()) {
        out.push_back(e.text);
    }
    return out;
}

int FakeLogger::count(const std::string& text) const
{
    int n = 0;
    for (const LogRecord& e : entries()) {
        n += e.text == text ? 1 : 0;
    }
    return n;
}

int FakeLogger::countContaining(const std::string& part) const
{
    int n = 0;
    for (const LogRecord& e : entries()) {
        n += e.text.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

void FakeLogger::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

void FakeLogger::setResults(std::vector<RTS_RESULT> results)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results = std::move(results);
}

RTS_HANDLE FakeLogger::GetFirstLogger(RTS_RESULT* result)
{
    if (result != nullptr) {
        *result = 0;
    }
    return s_current != nullptr ? s_current->m_handle : 0;
}

RTS_RESULT FakeLogger::LogAdd(RTS_HANDLE handle, uint32_t cmpId, uint32_t classId, uint32_t errorId,
                              uint32_t infoId, const char* info, ...)
{
    FakeLogger* self = s_current;
    if (self == nullptr) {
        return 0;
    }
    LogRecord rec{handle, cmpId, classId, errorId, infoId, info, "", true};
    rec.text = PrintWithoutArguments(rec.raw, &rec.formatSafe);
    std::lock_guard<std::mutex> lock(self->m_mutex);
    self->m_entries.push_back(rec);
    if (self->m_results.empty()) {
        return 0;
    }
    RTS_RESULT r = self->m_results.front();
    self->m_results.erase(self->m_results.begin());
    return r;
}
