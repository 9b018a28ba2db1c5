// Process-wide objects: one instance of T, created on first use by exactly one caller while
// concurrent first users wait. The once flag is never reset, so an instance destroyed at shut-down
// is not created again during the same load of the library.
#pragma once

#include <atomic>
#include <mutex>

namespace utility {

template <typename T>
class Singleton
{
public:
    // The instance, created on first use; null once destroyInstance has run.
    // Once created, one load of the pointer: the server asks for its instances on every request.
    static T* instance()
    {
        if (T* ready = m_instance.load(std::memory_order_acquire)) {
            return ready;
        }
        std::call_once(m_once, &Singleton::getInstance);
        return m_instance.load(std::memory_order_acquire);
    }

    // Creates the instance with T's default constructor. Runs once, under m_once.
    static void getInstance() { m_instance.store(new T(), std::memory_order_release); }

    // Whether an instance exists now (no creation).
    static bool exists() { return m_instance.load(std::memory_order_acquire) != nullptr; }

    // Destroys the instance, if any, and forgets it. Only at shut-down, when no other thread
    // uses the instance.
    static void destroyInstance() { delete m_instance.exchange(nullptr); }

    // Written once by the creating caller and by destroyInstance, read by any thread (the
    // acquire load pairs with the creator's release store).
    static inline std::atomic<T*> m_instance{nullptr};
    static inline std::once_flag m_once;
};

} // namespace utility
