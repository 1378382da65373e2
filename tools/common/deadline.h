// A moment by which something must be done, and the time left until it: for the waits
// that share one time limit (a connect over several addresses, a check, a handshake).
#pragma once

#include <chrono>

namespace zyk {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    explicit Deadline(int timeoutMs) : m_end(Clock::now() + std::chrono::milliseconds(timeoutMs)) {}
    // Milliseconds left, at least 1 while any time is left; 0 once it has passed.
    int LeftMs() const {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
        return left <= 0 ? 0 : left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
    }
    bool Passed() const { return Clock::now() >= m_end; }
    Clock::time_point End() const { return m_end; }

private:
    Clock::time_point m_end;
};

}  // namespace zyk
