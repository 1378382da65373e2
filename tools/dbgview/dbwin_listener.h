// Receives what the programs on this machine write to the debugger output
// (OutputDebugStringA) through the shared "DBWIN_BUFFER" section and its two events,
// as a debug viewer does. Used by dbgview and by the proxy host's trace relay.
#pragma once

#include <cstdint>
#include <string>

namespace zyk::dbwin {

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Creates the events and the section and declares the buffer free. Only one
    // listener can exist on a machine; false and a reason when that fails.
    bool Open(std::string* error);

    enum class Result { Text, Timeout, Failed };
    // Waits up to timeoutMs for the next text; *pid is the writing process.
    Result Next(uint32_t timeoutMs, uint32_t* pid, std::string* text);

private:
    void* m_mutex = nullptr;
    void* m_bufferReady = nullptr;
    void* m_dataReady = nullptr;
    void* m_mapping = nullptr;
    const void* m_view = nullptr;
};

}  // namespace zyk::dbwin
