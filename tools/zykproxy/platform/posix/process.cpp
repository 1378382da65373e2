// Child processes on POSIX: posix_spawnp, a pipe for standard output, waitpid.
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace zykproxy::process {

struct ChildProcess::State {
    pid_t pid = -1;
    int stdoutFd = -1;
    std::string pending;  // read but not yet returned as a line
    bool reaped = false;
    int exitCode = -1;
};

ChildProcess::ChildProcess() : m_state(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
    Kill();
    if (m_state->stdoutFd >= 0) ::close(m_state->stdoutFd);
}

namespace {
struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

// The child starts with default signal handling: the host ignores SIGPIPE, and an
// ignored signal would otherwise stay ignored across exec.
struct SpawnAttributes {
    posix_spawnattr_t attributes;
    SpawnAttributes() {
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};
}  // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const StartOptions& options, std::string* error) {
    FileActions fa;
    posix_spawn_file_actions_addopen(&fa.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    int pipeFds[2] = {-1, -1};
    if (options.captureStdout) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            *error = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        posix_spawn_file_actions_adddup2(&fa.actions, pipeFds[1], STDOUT_FILENO);
    }
    if (!options.stderrPath.empty())
        posix_spawn_file_actions_addopen(&fa.actions, STDERR_FILENO, options.stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    SpawnAttributes attributes;
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, program.c_str(), &fa.actions, &attributes.attributes,
                                argv.data(), environ);
    if (pipeFds[1] >= 0) ::close(pipeFds[1]);
    if (rc != 0) {
        if (pipeFds[0] >= 0) ::close(pipeFds[0]);
        *error = "cannot run " + program + ": " + std::strerror(rc);
        return false;
    }
    m_state->pid = pid;
    m_state->stdoutFd = pipeFds[0];
    m_state->reaped = false;
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
        if (s.stdoutFd < 0) return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{s.stdoutFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[1024];
        const ssize_t n = ::read(s.stdoutFd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            return false;
        }
        s.pending.append(buffer, static_cast<size_t>(n));
    }
}

bool ChildProcess::Wait(int timeoutMs, int* exitCode) {
    State& s = *m_state;
    if (s.pid < 0) return false;
    if (!s.reaped) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        auto pause = std::chrono::microseconds(200);
        for (;;) {
            int status = 0;
            const pid_t rc = ::waitpid(s.pid, &status, timeoutMs < 0 ? 0 : WNOHANG);
            if (rc == s.pid) {
                s.reaped = true;
                s.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (rc < 0 && errno != EINTR) return false;
            if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
            if (rc == 0) {
                // No child-exit descriptor to wait on portably; back off gently.
                std::this_thread::sleep_for(pause);
                if (pause < std::chrono::milliseconds(20)) pause *= 2;
            }
        }
    }
    if (exitCode != nullptr) *exitCode = s.exitCode;
    return true;
}

void ChildProcess::RequestStop() {
    if (m_state->pid > 0 && !m_state->reaped) ::kill(m_state->pid, SIGTERM);
}

bool ChildProcess::RequestReload() {
    return m_state->pid > 0 && !m_state->reaped && ::kill(m_state->pid, SIGHUP) == 0;
}

void ChildProcess::Kill() {
    if (m_state->pid <= 0 || m_state->reaped) return;
    ::kill(m_state->pid, SIGKILL);
    Wait(-1, nullptr);
}

bool ChildProcess::Running() const { return m_state->pid > 0 && !m_state->reaped; }

}  // namespace zykproxy::process

namespace zykproxy::process {

bool FindProgram(const std::string& program, std::string* path) {
    if (program.empty()) return false;
    if (program.find('/') != std::string::npos) {
        if (::access(program.c_str(), X_OK) != 0) return false;
        *path = program;
        return true;
    }
    const char* search = std::getenv("PATH");
    std::string folders = search != nullptr ? search : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        const std::string candidate = folder + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            *path = candidate;
            return true;
        }
        start = end + 1;
    }
    return false;
}

}  // namespace zykproxy::process
