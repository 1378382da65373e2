// dbgview: prints what programs on this machine write to the debugger output
// (OutputDebugStringA), as a debug viewer does, through the shared "DBWIN_BUFFER"
// section and its two events.
//
//   dbgview [--pid PID] [--out FILE] [--until TEXT] [--ready-event NAME] [--timeout MS]
//
//   --pid          only lines of that process
//   --out          append the lines to FILE instead of standard output
//   --until        exit (status 0) after a line that contains TEXT
//   --ready-event  set the named event once listening (for scripts and tests)
//   --timeout      exit (status 2) when no line arrives for MS milliseconds
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr DWORD kBufferSize = 4096;

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE v) : h(v) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h != nullptr) CloseHandle(h);
    }
};

struct View {
    void* p = nullptr;
    ~View() {
        if (p != nullptr) UnmapViewOfFile(p);
    }
};

int Usage() {
    std::fprintf(stderr,
                 "usage: dbgview [--pid PID] [--out FILE] [--until TEXT] [--ready-event NAME] "
                 "[--timeout MS]\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    DWORD onlyPid = 0;
    const char* outPath = nullptr;
    const char* until = nullptr;
    const char* readyEvent = nullptr;
    DWORD timeout = INFINITE;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return Usage();
        if (a == "--pid") onlyPid = std::strtoul(argv[++i], nullptr, 10);
        else if (a == "--out") outPath = argv[++i];
        else if (a == "--until") until = argv[++i];
        else if (a == "--ready-event") readyEvent = argv[++i];
        else if (a == "--timeout") timeout = std::strtoul(argv[++i], nullptr, 10);
        else return Usage();
    }

    Handle mutex(CreateMutexA(nullptr, FALSE, "DBWinMutex"));
    Handle bufferReady(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY"));
    Handle dataReady(CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY"));
    if (bufferReady.h == nullptr || dataReady.h == nullptr ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "dbgview: cannot create the DBWIN events (error %lu); is another "
                             "debug viewer running?\n", GetLastError());
        return 1;
    }
    Handle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBufferSize,
                                      "DBWIN_BUFFER"));
    if (mapping.h == nullptr) {
        std::fprintf(stderr, "dbgview: CreateFileMappingA(DBWIN_BUFFER) failed (error %lu)\n",
                     GetLastError());
        return 1;
    }
    View view;
    view.p = MapViewOfFile(mapping.h, FILE_MAP_READ, 0, 0, kBufferSize);
    if (view.p == nullptr) {
        std::fprintf(stderr, "dbgview: MapViewOfFile failed (error %lu)\n", GetLastError());
        return 1;
    }

    FILE* out = stdout;
    if (outPath != nullptr) {
        out = std::fopen(outPath, "ab");
        if (out == nullptr) {
            std::fprintf(stderr, "dbgview: cannot open %s\n", outPath);
            return 1;
        }
    }

    SetEvent(bufferReady.h);
    if (readyEvent != nullptr) {
        Handle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEvent));
        if (ready.h != nullptr) SetEvent(ready.h);
    }

    const auto* block = static_cast<const unsigned char*>(view.p);
    for (;;) {
        const DWORD r = WaitForSingleObject(dataReady.h, timeout);
        if (r == WAIT_TIMEOUT) {
            if (out != stdout) std::fclose(out);
            return 2;
        }
        if (r != WAIT_OBJECT_0) return 1;
        DWORD pid;
        std::memcpy(&pid, block, sizeof pid);
        const char* text = reinterpret_cast<const char*>(block + sizeof pid);
        const std::string line(text, strnlen(text, kBufferSize - sizeof pid));
        SetEvent(bufferReady.h);
        if (onlyPid != 0 && pid != onlyPid) continue;
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
        if (until != nullptr && line.find(until) != std::string::npos) {
            if (out != stdout) std::fclose(out);
            return 0;
        }
    }
}
