// The scanner back-ends that need no library: none, and an external command.
#include "scan/scanner.h"

#include <algorithm>
#include <thread>

#include "platform/process.h"

namespace zykproxy {

int ResultFor(ScanOutcome::Verdict verdict) {
    switch (verdict) {
        case ScanOutcome::Verdict::Clean:
        case ScanOutcome::Verdict::NotScanned:
            return 0;
        case ScanOutcome::Verdict::Infected:
            return 1;
        case ScanOutcome::Verdict::Failed:
            break;
    }
    return 2;  // blocked: the file could not be checked
}

const char* VerdictText(ScanOutcome::Verdict verdict) {
    switch (verdict) {
        case ScanOutcome::Verdict::Clean: return "clean";
        case ScanOutcome::Verdict::Infected: return "INFECTED";
        case ScanOutcome::Verdict::NotScanned: return "not scanned";
        case ScanOutcome::Verdict::Failed: break;
    }
    return "SCAN FAILED";
}

int Scanner::ChecksAtOnce() const {
    const unsigned cores = std::thread::hardware_concurrency();  // 0: not known
    return cores == 0 ? 1 : static_cast<int>(std::min<unsigned>(cores, kDefaultParallelChecksCap));
}

int DefaultParallelChecks(const Scanner& scanner) {
    return std::clamp(scanner.ChecksAtOnce(), 1, kDefaultParallelChecksCap);
}

CheckSockets::Guard::Guard(CheckSockets& owner, net::SocketId socket)
    : m_owner(owner), m_socket(socket) {
    std::lock_guard<std::mutex> guard(m_owner.m_mutex);
    if (m_owner.m_abandoned) net::Interrupt(m_socket);
    m_owner.m_open.insert(m_socket);
}

CheckSockets::Guard::~Guard() {
    // Taken out before its owner closes it: a shut-down never reaches a number that
    // the system has given to another socket meanwhile.
    std::lock_guard<std::mutex> guard(m_owner.m_mutex);
    m_owner.m_open.erase(m_socket);
}

void CheckSockets::Abandon() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_abandoned = true;
    for (const net::SocketId s : m_open) net::Interrupt(s);
}

namespace {

class NoScanner final : public Scanner {
public:
    std::string Describe() const override { return "none: every file passes unscanned"; }
    ScanOutcome Scan(const std::string&, const CheckDetails&) override {
        return {ScanOutcome::Verdict::NotScanned, "--scanner none"};
    }
};

class CommandScanner final : public Scanner {
public:
    CommandScanner(std::string program, std::vector<std::string> args, int timeoutMs)
        : m_program(std::move(program)), m_args(std::move(args)), m_timeoutMs(timeoutMs) {}

    std::string Describe() const override {
        std::string text = "command: " + m_program;
        for (const std::string& a : m_args) text += " " + a;
        return text + " FILE (exit code 0 clean, 1 infected)";
    }

    ScanOutcome Scan(const std::string& path, const CheckDetails&) override {
        std::vector<std::string> args = m_args;
        args.push_back(path);
        const process::RunResult r = process::Run(m_program, args, m_timeoutMs, &m_abandoned);
        using Kind = process::RunResult::Kind;
        switch (r.kind) {
            case Kind::Exited:
                if (r.exitCode == 0) return {ScanOutcome::Verdict::Clean, ""};
                if (r.exitCode == 1) return {ScanOutcome::Verdict::Infected, "scanner exit code 1"};
                return {ScanOutcome::Verdict::Failed,
                        "scanner exited with code " + std::to_string(r.exitCode)};
            case Kind::Signalled:
                return {ScanOutcome::Verdict::Failed, "scanner was killed by a signal"};
            case Kind::TimedOut:
                return {ScanOutcome::Verdict::Failed,
                        "scanner took longer than " + std::to_string(m_timeoutMs / 1000) + " s"};
            case Kind::Abandoned:
                return {ScanOutcome::Verdict::Failed, "check abandoned: zykproxy is stopping"};
            case Kind::NotStarted:
                break;
        }
        return {ScanOutcome::Verdict::Failed, r.error};
    }

    void Abandon() override { m_abandoned = true; }

private:
    std::string m_program;
    std::vector<std::string> m_args;
    int m_timeoutMs;
    std::atomic<bool> m_abandoned{false};
};

}  // namespace

std::unique_ptr<Scanner> MakeNoScanner() { return std::make_unique<NoScanner>(); }

std::unique_ptr<Scanner> MakeCommandScanner(const std::string& program,
                                            const std::vector<std::string>& args,
                                            int timeoutMs, std::string* error) {
    std::string resolved;
    if (!process::FindProgram(program, &resolved)) {
        *error = "scan command '" + program + "' not found";
        return nullptr;
    }
    return std::make_unique<CommandScanner>(resolved, args, timeoutMs);
}

}  // namespace zykproxy
