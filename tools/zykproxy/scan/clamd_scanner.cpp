// The clamd back-end: each held file is streamed to a running clamd with INSTREAM, so
// clamd needs no access to the held file's folder and one signature database in
// memory serves the whole machine. Every check opens a fresh connection, so a clamd
// that was restarted (or reloaded its database) is simply used again.
#include <cstdlib>
#include <fstream>
#include <vector>

#include "scan/scanner.h"

namespace zykproxy {

namespace {

constexpr size_t kChunkSize = 64 * 1024;
constexpr size_t kMaxReply = 4096;

std::string ChunkHeader(uint32_t length) {
    // INSTREAM chunks are preceded by their length as 4 bytes in network order.
    std::string header(4, '\0');
    for (int i = 0; i < 4; ++i) header[static_cast<size_t>(i)] = static_cast<char>(length >> (24 - 8 * i));
    return header;
}

class ClamdScanner final : public Scanner {
public:
    ClamdScanner(ClamdAddress address, int timeoutMs)
        : m_address(std::move(address)), m_timeoutMs(timeoutMs) {}

    // Asks clamd for its version: proves it answers, and names it in the start-up log.
    bool Start(std::string* error) {
        Deadline deadline(m_timeoutMs);
        net::Socket s = Open(deadline, error);
        if (!s.Valid()) return false;
        static const char kVersion[] = "zVERSION";
        if (!net::SendAll(s.Get(), kVersion, sizeof kVersion)) {
            *error = "clamd at " + Where() + ": " + net::LastErrorText();
            return false;
        }
        bool timedOut = false;
        m_version = ReadReply(s.Get(), deadline, &timedOut);
        if (m_version.empty()) {
            *error = "clamd at " + Where() + " did not answer VERSION" +
                     (timedOut ? " within " + std::to_string(m_timeoutMs / 1000) + " s" : "");
            return false;
        }
        m_threads = AskThreads(deadline);
        return true;
    }

    std::string Describe() const override {
        return "clamd " + m_version + " at " + Where() + " (INSTREAM, a connection per check, " +
               (m_threadsKnown ? "" : "assumed ") + std::to_string(m_threads) + " scanning threads)";
    }

    // clamd scans on its MaxThreads threads and queues the rest.
    int ChecksAtOnce() const override { return m_threads; }

    ScanOutcome Scan(const std::string& path, const CheckDetails&) override {
        Deadline deadline(m_timeoutMs);
        std::ifstream in(path, std::ios::binary);
        if (!in) return {ScanOutcome::Verdict::Failed, "cannot read the held file"};
        std::string error;
        net::Socket s = Open(deadline, &error);
        if (!s.Valid()) return {ScanOutcome::Verdict::Failed, error};
        const CheckSockets::Guard registered(m_checks, s.Get());

        // When clamd stops reading early (its StreamMaxLength), it has usually said why
        // before it closed: the answer is read even after a failed send.
        bool sendFailed = !SendBefore(s.Get(), std::string("zINSTREAM", 10), deadline);
        std::vector<char> chunk(kChunkSize);
        while (!sendFailed && in) {
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const size_t n = static_cast<size_t>(in.gcount());
            if (n == 0) break;
            sendFailed = !SendBefore(s.Get(), ChunkHeader(static_cast<uint32_t>(n)) +
                                                  std::string(chunk.data(), n),
                                     deadline);
        }
        if (!sendFailed && in.bad()) return {ScanOutcome::Verdict::Failed, "cannot read the held file"};
        const std::string sendError = sendFailed ? net::LastErrorText() : "";
        if (!sendFailed) sendFailed = !SendBefore(s.Get(), ChunkHeader(0), deadline);

        bool timedOut = deadline.LeftMs() == 0;
        const std::string reply = timedOut ? "" : ReadReply(s.Get(), deadline, &timedOut);
        if (m_checks.Abandoned())
            return {ScanOutcome::Verdict::Failed, "check abandoned: zykproxy is stopping"};
        if (reply.empty()) {
            if (timedOut)
                return {ScanOutcome::Verdict::Failed,
                        "clamd did not answer within " + std::to_string(m_timeoutMs / 1000) + " s"};
            return {ScanOutcome::Verdict::Failed,
                    sendFailed ? "clamd closed the connection while the file was sent (" +
                                     (sendError.empty() ? net::LastErrorText() : sendError) + ")"
                               : "clamd closed the connection without an answer"};
        }
        return Interpret(reply);
    }

    // clamd's answer to INSTREAM: "stream: OK", "stream: NAME FOUND", or "... ERROR".
    static ScanOutcome Interpret(const std::string& reply) {
        static const std::string kPrefix = "stream: ", kFound = " FOUND", kError = " ERROR";
        auto endsWith = [&](const std::string& tail) {
            return reply.size() >= tail.size() &&
                   reply.compare(reply.size() - tail.size(), tail.size(), tail) == 0;
        };
        if (reply == kPrefix + "OK") return {ScanOutcome::Verdict::Clean, ""};
        if (reply.rfind(kPrefix, 0) == 0 && endsWith(kFound))
            return {ScanOutcome::Verdict::Infected,
                    reply.substr(kPrefix.size(), reply.size() - kPrefix.size() - kFound.size())};
        if (reply.find("size limit exceeded") != std::string::npos)
            return {ScanOutcome::Verdict::Failed,
                    "clamd: the file is larger than its StreamMaxLength (" + reply + ")"};
        if (endsWith(kError)) return {ScanOutcome::Verdict::Failed, "clamd: " + reply};
        return {ScanOutcome::Verdict::Failed, "clamd: unexpected answer '" + reply + "'"};
    }

    void Abandon() override { m_checks.Abandon(); }

private:
    std::string Where() const {
        return m_address.localSocket.empty() ? net::FormatEndpoint(m_address.tcp)
                                             : m_address.localSocket;
    }

    net::Socket Open(const Deadline& deadline, std::string* error) const {
        std::string reason;
        net::Socket s = m_address.localSocket.empty()
                            ? net::Connect(m_address.tcp, deadline.LeftMs(), &reason)
                            : net::ConnectLocal(m_address.localSocket, &reason);
        if (!s.Valid()) *error = "clamd unreachable: " + reason;
        return s;
    }

    // clamd's MaxThreads, from the "THREADS: live N idle N max N ..." line of its STATS
    // answer; its default (10) when the answer names none.
    int AskThreads(const Deadline& deadline) {
        constexpr int kClamdDefault = 10;
        std::string error;
        net::Socket s = Open(deadline, &error);
        static const char kStats[] = "zSTATS";
        bool timedOut = false;
        const std::string stats = s.Valid() && net::SendAll(s.Get(), kStats, sizeof kStats)
                                      ? ReadReply(s.Get(), deadline, &timedOut)
                                      : "";
        const size_t line = stats.find("THREADS:");
        const std::string threads = line == std::string::npos ? "" : stats.substr(line, stats.find('\n', line) - line);
        const size_t max = threads.find(" max ");
        const long n = max == std::string::npos ? 0 : std::strtol(threads.c_str() + max + 5, nullptr, 10);
        m_threadsKnown = n > 0 && n <= 100000;
        return m_threadsKnown ? static_cast<int>(n) : kClamdDefault;
    }

    static bool SendBefore(net::SocketId s, const std::string& data, const Deadline& deadline) {
        const int left = deadline.LeftMs();
        if (left == 0) return false;
        net::SetSendTimeout(s, left);
        return net::SendAll(s, data.data(), data.size());
    }

    // The answer up to its terminating zero byte (the "z" form of the commands), or
    // what came before clamd closed; empty on a time-out or failure.
    static std::string ReadReply(net::SocketId s, const Deadline& deadline, bool* timedOut) {
        std::string reply;
        char buffer[512];
        while (reply.size() < kMaxReply) {
            const int left = deadline.LeftMs();
            const int n = left == 0 ? net::kNothingPending
                                    : net::ReceiveWait(s, buffer, sizeof buffer, left);
            if (n == net::kNothingPending) {
                *timedOut = true;
                return "";
            }
            if (n <= 0) break;
            reply.append(buffer, static_cast<size_t>(n));
            const size_t zero = reply.find('\0');
            if (zero != std::string::npos) {
                reply.resize(zero);
                break;
            }
        }
        while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
        return reply;
    }

    ClamdAddress m_address;
    int m_timeoutMs;
    std::string m_version;
    int m_threads = 1;
    bool m_threadsKnown = false;
    CheckSockets m_checks;
};

}  // namespace

ClamdAddress DefaultClamdAddress() {
    ClamdAddress a;
#ifdef _WIN32
    a.tcp = net::Endpoint{"127.0.0.1", 3310};
#else
    a.localSocket = "/var/run/clamav/clamd.ctl";
#endif
    return a;
}

std::unique_ptr<Scanner> MakeClamdScanner(const ClamdAddress& address, int timeoutMs,
                                          std::string* error) {
    auto scanner = std::make_unique<ClamdScanner>(address, timeoutMs);
    if (!scanner->Start(error)) return nullptr;
    return scanner;
}

}  // namespace zykproxy
