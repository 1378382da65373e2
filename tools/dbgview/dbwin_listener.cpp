// The debugger-output listener: one text at a time through the shared 4 KiB block
// (a 32-bit process id, then the zero-terminated text).
#include "dbwin_listener.h"

#include <cstring>

#include "os/win32/win.h"

namespace zyk::dbwin {

namespace {
constexpr DWORD kBufferSize = 4096;
}

Listener::~Listener() {
    if (m_view != nullptr) UnmapViewOfFile(m_view);
    for (void* h : {m_mapping, m_dataReady, m_bufferReady, m_mutex})
        if (h != nullptr) CloseHandle(h);
}

bool Listener::Open(std::string* error) {
    m_mutex = CreateMutexA(nullptr, FALSE, "DBWinMutex");
    m_bufferReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    m_dataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    if (m_bufferReady == nullptr || m_dataReady == nullptr ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        *error = "cannot create the DBWIN events (error " + std::to_string(GetLastError()) +
                 "); is another debug viewer running?";
        return false;
    }
    m_mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                   "DBWIN_BUFFER");
    if (m_mapping == nullptr) {
        *error = "CreateFileMappingA(DBWIN_BUFFER) failed (error " +
                 std::to_string(GetLastError()) + ")";
        return false;
    }
    m_view = MapViewOfFile(m_mapping, FILE_MAP_READ, 0, 0, kBufferSize);
    if (m_view == nullptr) {
        *error = "MapViewOfFile failed (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetEvent(m_bufferReady);
    return true;
}

Listener::Result Listener::Next(uint32_t timeoutMs, uint32_t* pid, std::string* text) {
    const DWORD rc = WaitForSingleObject(m_dataReady, timeoutMs);
    if (rc == WAIT_TIMEOUT) return Result::Timeout;
    if (rc != WAIT_OBJECT_0) return Result::Failed;
    const auto* block = static_cast<const unsigned char*>(m_view);
    DWORD writer;
    std::memcpy(&writer, block, sizeof writer);
    const char* start = reinterpret_cast<const char*>(block + sizeof writer);
    text->assign(start, strnlen(start, kBufferSize - sizeof writer));
    *pid = writer;
    // The writer waits for this before it writes the next text.
    SetEvent(m_bufferReady);
    return Result::Text;
}

}  // namespace zyk::dbwin
