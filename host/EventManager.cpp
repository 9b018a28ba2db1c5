// Event manager of the simulated runtime.
#include "host/EventManager.h"

#include <algorithm>

RTS_HANDLE EventManager::open(uint32_t eventId, uint32_t provider)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    RTS_HANDLE handle = m_next++;
    m_open[handle] = Event{eventId, provider, {}};
    return handle;
}

RTS_RESULT EventManager::registerCallback(RTS_HANDLE handle, PF_EVENTCALLBACK callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_open.find(handle);
    if (it == m_open.end() || callback == nullptr) {
        return kEventErrInvalidHandle;
    }
    it->second.callbacks.push_back(callback);
    return 0;
}

RTS_RESULT EventManager::unregisterCallback(RTS_HANDLE handle, PF_EVENTCALLBACK callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_open.find(handle);
    if (it == m_open.end()) {
        return kEventErrInvalidHandle;
    }
    std::vector<PF_EVENTCALLBACK>& callbacks = it->second.callbacks;
    callbacks.erase(std::remove(callbacks.begin(), callbacks.end(), callback), callbacks.end());
    return 0;
}

RTS_RESULT EventManager::close(RTS_HANDLE handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open.erase(handle) == 1 ? 0 : kEventErrInvalidHandle;
}

int EventManager::post(uint32_t eventId, uint32_t provider)
{
    std::vector<PF_EVENTCALLBACK> targets;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [handle, event] : m_open) {
            if (event.id == eventId && event.provider == provider) {
                targets.insert(targets.end(), event.callbacks.begin(), event.callbacks.end());
            }
        }
    }
    for (PF_EVENTCALLBACK callback : targets) {
        EventParam param{eventId, provider, 0, 0, nullptr, nullptr};
        callback(&param);
    }
    return static_cast<int>(targets.size());
}

size_t EventManager::openCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open.size();
}
