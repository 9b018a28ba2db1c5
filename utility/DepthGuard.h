// Counts one level of nesting in a recursive-descent parser for as long as the guard lives, so
// the count comes back down on every return and on exceptions. Internal to the utility library.
#pragma once

namespace utility {

class DepthGuard
{
public:
    // The caller checks its limit before entering a level.
    explicit DepthGuard(int& depth) : m_depth(depth) { ++m_depth; }
    ~DepthGuard() { --m_depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& m_depth;
};

} // namespace utility
