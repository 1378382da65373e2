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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dbwin_listener.h"
#include "os/win32/win.h"

namespace {

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

    zyk::dbwin::Listener listener;
    std::string error;
    if (!listener.Open(&error)) {
        std::fprintf(stderr, "dbgview: %s\n", error.c_str());
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

    if (readyEvent != nullptr) {
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEvent);
        if (ready != nullptr) {
            SetEvent(ready);
            CloseHandle(ready);
        }
    }

    for (;;) {
        uint32_t pid = 0;
        std::string line;
        const auto r = listener.Next(timeout, &pid, &line);
        if (r == zyk::dbwin::Listener::Result::Timeout) {
            if (out != stdout) std::fclose(out);
            return 2;
        }
        if (r != zyk::dbwin::Listener::Result::Text) return 1;
        if (onlyPid != 0 && pid != onlyPid) continue;
        std::fwrite(line.data(), 1, line.size(), out);
        std::fflush(out);
        if (until != nullptr && line.find(until) != std::string::npos) {
            if (out != stdout) std::fclose(out);
            return 0;
        }
    }
}
