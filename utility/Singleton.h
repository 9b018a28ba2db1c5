// Process-wide objects: one instance of T, created on first use by exactly one caller while
// concurrent first users wait. The once flag is never reset, so an instance destroyed at shut-down
// is not created again during the same load of the library.
#pragma once

#include <mutex>

namespace utility {

template <typename T>
class Singleton
{
public:
    // The instance, created on first use; null once destroyInstance has run.
    static T* instance()
    {
        std::call_once(m_once, &Singleton::getInstance);
        return m_instance;
    }

    // Creates the instance with T's default constructor. Runs once, under m_once.
    static void getInstance() { m_instance = new T(); }

    // Whether an instance exists now (no creation).
    static bool exists() { return m_instance != nullptr; }

    // Destroys the instance, if any, and forgets it. Only at shut-down, when no other thread
    // uses the instance.
    static void destroyInstance()
    {
        delete m_instance;
        m_instance = nullptr;
    }

    static inline T* m_instance = nullptr;
    static inline std::once_flag m_once;
};

} // namespace utility
