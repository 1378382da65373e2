// Child processes on Windows: CreateProcessA with a quoted command line, an anonymous
// pipe for standard output, the exit code from the process handle.
#include "os/win32/win.h"

#include <chrono>
#include <mutex>

#include "platform/process.h"

namespace zykproxy::process {

namespace {

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') out.append(backslashes * 2 + 1, '\\');
        else out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE v) : h(v == INVALID_HANDLE_VALUE ? nullptr : v) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Reset(); }
    void Reset(HANDLE v = nullptr) {
        if (h != nullptr) CloseHandle(h);
        h = v;
    }
};

std::string ErrorText(DWORD code) {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return (out.empty() ? std::string("error") : out) + " (" + std::to_string(code) + ")";
}

// An inheritable copy of one of this process's standard handles (or of NUL).
HANDLE InheritableStd(DWORD which) {
    HANDLE source = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (source != nullptr && source != INVALID_HANDLE_VALUE &&
        DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, TRUE,
                        DUPLICATE_SAME_ACCESS))
        return copy;
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       OPEN_EXISTING, 0, nullptr);
}

}  // namespace

struct ChildProcess::State {
    Handle process;
    Handle stdoutRead;
    std::string pending;
    bool ended = false;
    int exitCode = -1;
};

ChildProcess::ChildProcess() : m_state(std::make_unique<State>()) {}
ChildProcess::~ChildProcess() { Kill(); }

// A child inherits every inheritable handle of this process, not only the three it is
// given: one started beside another (parallel checks each run a scanner) would keep the
// other's pipe end and files open, and a reader of that pipe would never see its end.
// So the inheritable handles are made, passed and closed again one child at a time.
namespace {
std::mutex g_inheritMutex;
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const StartOptions& options, std::string* error) {
    const std::lock_guard<std::mutex> oneChildAtATime(g_inheritMutex);  // released after the handles below close
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             OPEN_EXISTING, 0, nullptr));
    Handle output;
    Handle errors;
    if (options.captureStdout) {
        HANDLE readSide = nullptr, writeSide = nullptr;
        if (!CreatePipe(&readSide, &writeSide, &sa, 0)) {
            *error = "CreatePipe: " + ErrorText(GetLastError());
            return false;
        }
        SetHandleInformation(readSide, HANDLE_FLAG_INHERIT, 0);
        m_state->stdoutRead.Reset(readSide);
        output.Reset(writeSide);
    } else {
        output.Reset(InheritableStd(STD_OUTPUT_HANDLE));
    }
    if (!options.stderrPath.empty()) {
        errors.Reset(CreateFileA(options.stderrPath.c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (errors.h == INVALID_HANDLE_VALUE) errors.h = nullptr;
    } else {
        errors.Reset(InheritableStd(STD_ERROR_HANDLE));
    }

    std::string commandLine = QuoteArgument(program);
    for (const std::string& a : args) commandLine += " " + QuoteArgument(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input.h;
    si.hStdOutput = output.h;
    si.hStdError = errors.h;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, &pi)) {
        *error = "cannot run " + program + ": " + ErrorText(GetLastError());
        m_state->stdoutRead.Reset();
        return false;
    }
    CloseHandle(pi.hThread);
    m_state->process.Reset(pi.hProcess);
    m_state->ended = false;
    return true;
}

bool ChildProcess::ReadStdoutLine(std::string* line, int timeoutMs) {
    State& s = *m_state;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = s.pending.find('\n');
        if (end != std::string::npos) {
            *line = s.pending.substr(0, end);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            s.pending.erase(0, end + 1);
            return true;
        }
        if (s.stdoutRead.h == nullptr) return false;
        // Anonymous pipes cannot be waited on: look at what is there, then pause briefly.
        DWORD available = 0;
        if (!PeekNamedPipe(s.stdoutRead.h, nullptr, 0, nullptr, &available, nullptr)) return false;
        if (available == 0) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            Sleep(5);
            continue;
        }
        char buffer[1024];
        DWORD n = 0;
        if (!ReadFile(s.stdoutRead.h, buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
        s.pending.append(buffer, n);
    }
}

bool ChildProcess::Wait(int timeoutMs, int* exitCode) {
    State& s = *m_state;
    if (s.process.h == nullptr) return false;
    if (!s.ended) {
        const DWORD rc = WaitForSingleObject(
            s.process.h, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        if (rc != WAIT_OBJECT_0) return false;
        DWORD code = 0;
        GetExitCodeProcess(s.process.h, &code);
        s.exitCode = static_cast<int>(code);
        s.ended = true;
    }
    if (exitCode != nullptr) *exitCode = s.exitCode;
    return true;
}

void ChildProcess::RequestStop() {
    if (m_state->process.h != nullptr && !m_state->ended) TerminateProcess(m_state->process.h, 1);
}

bool ChildProcess::RequestReload() { return false; }

void ChildProcess::Kill() {
    if (m_state->process.h == nullptr || m_state->ended) return;
    TerminateProcess(m_state->process.h, 1);
    Wait(-1, nullptr);
}

bool ChildProcess::Running() const { return m_state->process.h != nullptr && !m_state->ended; }

}  // namespace zykproxy::process

namespace zykproxy::process {

bool FindProgram(const std::string& program, std::string* path) {
    if (program.empty()) return false;
    char found[MAX_PATH];
    // The same search as CreateProcessA for a program without a folder, ".exe" added.
    const DWORD n = SearchPathA(nullptr, program.c_str(), ".exe", MAX_PATH, found, nullptr);
    if (n == 0 || n >= MAX_PATH) return false;
    *path = std::string(found, n);
    return true;
}

}  // namespace zykproxy::process
