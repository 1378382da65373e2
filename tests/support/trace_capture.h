// Collects the debugger output of this process while it lives, at a chosen trace level.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "os/debug_output.h"
#include "plugin/trace.h"

namespace zykim::test {

class TraceCapture {
public:
    explicit TraceCapture(int level) : m_savedLevel(TraceLevel()) {
        SetTraceLevel(level);
        os::SetDebugOutputObserver(&TraceCapture::Observe, this);
    }
    ~TraceCapture() {
        os::SetDebugOutputObserver(nullptr, nullptr);
        SetTraceLevel(m_savedLevel);
    }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_lines;
    }
    // Lines of the trace routines with the prefix taken off; direct lines as written.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        for (const std::string& l : Lines())
            out.push_back(l.compare(0, kTracePrefixLength, kTracePrefix) == 0
                              ? l.substr(kTracePrefixLength)
                              : l);
        return out;
    }
    bool Contains(const std::string& message) const {
        for (const std::string& m : Messages())
            if (m == message) return true;
        return false;
    }
    size_t Count(const std::string& message) const {
        size_t n = 0;
        for (const std::string& m : Messages()) n += (m == message);
        return n;
    }
    void Clear() {
        std::lock_guard<std::mutex> g(m_mutex);
        m_lines.clear();
    }

private:
    static void Observe(const char* text, void* self) {
        auto* c = static_cast<TraceCapture*>(self);
        std::lock_guard<std::mutex> g(c->m_mutex);
        c->m_lines.emplace_back(text);
    }
    int m_savedLevel;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace zykim::test
