// Child processes: the command scanner runs one per check, and the tests run the proxy
// itself as one.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace zykproxy::process {

struct StartOptions {
    bool captureStdout = false;  // readable with ReadStdoutLine
    std::string stderrPath;      // empty: inherit the parent's standard error
};

// One started program. The destructor kills it if it still runs.
class ChildProcess {
public:
    ChildProcess();
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts program (searched on PATH when it names no folder) with the arguments;
    // standard input is empty. False and a reason when it cannot be started.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const StartOptions& options, std::string* error);
    // One line of the child's standard output without its line end; false at its end
    // or after timeoutMs.
    bool ReadStdoutLine(std::string* line, int timeoutMs);
    // Waits up to timeoutMs (-1: no limit). True when the child has ended; *exitCode
    // is its exit status, or -1 when a signal ended it.
    bool Wait(int timeoutMs, int* exitCode);
    // Asks the child to end (SIGTERM; on Windows it is terminated with code 1).
    void RequestStop();
    // Asks the child to read its settings again (SIGHUP); false on Windows, which has
    // no such request.
    bool RequestReload();
    // Ends the child at once and reaps it.
    void Kill();
    bool Running() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// The file that Start would run for program: program itself when it names a folder,
// otherwise the first match on PATH. False when there is none.
bool FindProgram(const std::string& program, std::string* path);

// The outcome of running a program to its end.
struct RunResult {
    enum class Kind { Exited, Signalled, TimedOut, Abandoned, NotStarted } kind = Kind::NotStarted;
    int exitCode = -1;
    std::string error;  // why it did not start
};
// Runs program with args, inheriting standard output and error, and waits up to
// timeoutMs for it; a child still running then is killed. So is one that still runs
// when *abandon becomes true (looked at every 50 ms): Kind::Abandoned.
RunResult Run(const std::string& program, const std::vector<std::string>& args, int timeoutMs,
              const std::atomic<bool>* abandon = nullptr);

}  // namespace zykproxy::process
