// Lock discipline the compiler can check, and thread contracts checked in debug builds.
// With clang and -Wthread-safety the annotations below are proven at compile time (fields
// GUARDED_BY a mutex are touched only with it held); other compilers see empty macros.
// CThreadRole binds a role (reader, writer, send thread) to the thread that runs it; a method
// whose contract names the role asserts it (compiled out with NDEBUG).
#pragma once

#include <atomic>
#include <cassert>
#include <mutex>
#include <thread>

#if defined(__clang__)
#define FINS_TSA(x) __attribute__((x))
#else
#define FINS_TSA(x)
#endif

#define CAPABILITY(x) FINS_TSA(capability(x))
#define SCOPED_CAPABILITY FINS_TSA(scoped_lockable)
#define GUARDED_BY(x) FINS_TSA(guarded_by(x))
#define PT_GUARDED_BY(x) FINS_TSA(pt_guarded_by(x))
#define REQUIRES(...) FINS_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) FINS_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) FINS_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) FINS_TSA(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) FINS_TSA(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS FINS_TSA(no_thread_safety_analysis)

// std::mutex with the capability the analysis tracks. native() is for condition variables only.
class CAPABILITY("mutex") CMutex
{
public:
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    std::mutex& native() { return m_mutex; }
    // Tells the analysis the caller holds the mutex where it cannot see it (a record reached
    // through a block). No run-time check.
    void AssertHeld() ASSERT_CAPABILITY(this) {}

private:
    std::mutex m_mutex;
};

// std::lock_guard for CMutex.
class SCOPED_CAPABILITY CLockGuard
{
public:
    explicit CLockGuard(CMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~CLockGuard() RELEASE() { m_mutex.unlock(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CMutex& m_mutex;
};

class CThreadRole
{
public:
    // Called first thing on the thread that takes the role, and last thing before it ends.
    void bind() { m_id.store(std::this_thread::get_id()); }
    void unbind() { m_id.store(std::thread::id()); }
    // True on the bound thread, and on any thread while the role is unbound (the owner before the
    // loop starts, a test driving one step at a time).
    bool is_current() const
    {
        const std::thread::id id = m_id.load();
        return id == std::thread::id() || id == std::this_thread::get_id();
    }
    // True only on the bound thread.
    bool is_self() const { return m_id.load() == std::this_thread::get_id(); }

private:
    std::atomic<std::thread::id> m_id{};
};

#define FINS_ASSERT_ROLE(role) assert((role).is_current())
#define FINS_ASSERT_NOT_ROLE(role) assert(!(role).is_self())
#define FINS_ASSERT(condition) assert(condition)
