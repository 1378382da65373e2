// The scanner back-ends behind the host's scan callback: each checks one held file
// and says clean, infected or failed.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "scan/icap_url.h"
#include "common/deadline.h"
#include "sockets.h"

namespace zykproxy {

struct ScanOutcome {
    enum class Verdict { Clean, Infected, Failed, NotScanned } verdict = Verdict::Failed;
    std::string detail;  // the signature name (Infected) or the reason (Failed)
};

// The value written into nResult. Only a file that was checked and found clean, or
// that the user chose not to scan (--scanner none), reaches the client unchanged: a
// failed check blocks the file, so that a broken scanner never waves files through.
int ResultFor(ScanOutcome::Verdict verdict);
const char* VerdictText(ScanOutcome::Verdict verdict);

// What the host knows of a check besides its held file, for a scanner that passes it
// on to its server (the ICAP scanner names the file and the connection there).
struct CheckDetails {
    std::string announcedName;  // the file name the sender announced, as it came
    long long connection = -1;  // the host value of the connection; -1 when unknown
};

// The signatures of a scanner that loads them into this process, from files that change
// while it runs (as signature updates arrive), and how their reloads went.
class SignatureSet {
public:
    struct Status {
        unsigned long signatures = 0;
        std::chrono::system_clock::time_point loadedAt;  // the last load that took over
        unsigned long reloads = 0, failedReloads = 0;    // since the start
    };
    struct Reload {
        enum class Kind { Unchanged, Loaded, Failed } kind = Kind::Unchanged;
        unsigned long before = 0, after = 0;  // signatures in force before and after
        double seconds = 0;                   // how long the load took
        std::string error;                    // Failed: why
    };
    virtual ~SignatureSet() = default;
    // Loads the signatures again, on the calling thread, when their files have changed
    // since the last load or the last attempt failed. Checks go on meanwhile with the
    // signatures in force; the new ones take over once ready, and the old ones are freed
    // after the last check that began with them. A load that fails keeps the old ones.
    virtual Reload ReloadIfChanged() = 0;
    virtual Status GetStatus() const = 0;
};

class Scanner {
public:
    virtual ~Scanner() = default;
    // One line on what checks the files, for the start-up log.
    virtual std::string Describe() const = 0;
    // Checks the file at path. Never throws; problems are a Failed outcome.
    virtual ScanOutcome Scan(const std::string& path, const CheckDetails& details = CheckDetails()) = 0;
    // For a proxy that is stopping: ends the checks under way at once, as failures, and
    // fails every later one. From any thread. A scanner that cannot interrupt a check
    // (a library scanning in this process) lets it run to its end.
    virtual void Abandon() {}
    // Its signatures, when it loads them itself and can load them again; else null.
    virtual SignatureSet* Signatures() { return nullptr; }
    // How many checks it serves at once without queueing them: the scanning server's own
    // limit where it names one, else what this machine runs side by side (its cores).
    virtual int ChecksAtOnce() const;
};

// The most checks that run at once when the command line names no count: enough to keep
// a farm of scanning servers busy, few enough that the threads waiting in checks and the
// memory of the scans they start stay modest. --parallel-checks goes beyond it.
constexpr int kDefaultParallelChecksCap = 32;
// The count of parallel checks when the command line names none: the scanner's own,
// within kDefaultParallelChecksCap.
int DefaultParallelChecks(const Scanner& scanner);

// The time left of a check that must end by a given moment.
using Deadline = ::zyk::Deadline;

// The sockets that a scanner's checks have open to a scanning server. Abandon shuts
// them down, so that a check waiting in a send or a receive fails at once.
class CheckSockets {
public:
    // Registers the socket of a check for as long as the guard lives. Once abandoned,
    // the socket is shut down at once, and the check fails at its next transfer.
    class Guard {
    public:
        Guard(CheckSockets& owner, net::SocketId socket);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        CheckSockets& m_owner;
        net::SocketId m_socket;
    };
    void Abandon();
    bool Abandoned() const { return m_abandoned.load(); }

private:
    std::mutex m_mutex;
    std::set<net::SocketId> m_open;  // guarded by m_mutex
    std::atomic<bool> m_abandoned{false};
};

std::unique_ptr<Scanner> MakeNoScanner();

// Runs program [args...] path for each file and waits up to timeoutMs: exit code 0 is
// clean, 1 infected; any other code, a signal, a time-out or a failed start is a
// failure. Null and a reason when the program cannot be found now.
std::unique_ptr<Scanner> MakeCommandScanner(const std::string& program,
                                            const std::vector<std::string>& args,
                                            int timeoutMs, std::string* error);

// Where clamd listens: a local socket (when localSocket is not empty) or TCP.
struct ClamdAddress {
    std::string localSocket;
    net::Endpoint tcp;
};
// The address of the system's clamd as Debian's clamav-daemon sets it up (its
// LocalSocket); on Windows, clamd's usual TCP port on this machine.
ClamdAddress DefaultClamdAddress();
// Streams each file to clamd (INSTREAM) within timeoutMs per check: "OK" is clean, a
// finding infected; an error answer (the file beyond clamd's StreamMaxLength, say),
// no answer in time, or no clamd to connect to is a failure. Null and a reason when
// clamd does not answer now.
std::unique_ptr<Scanner> MakeClamdScanner(const ClamdAddress& address, int timeoutMs,
                                          std::string* error);

// Sends each file to an ICAP service as the body of an HTTP response (RESPMOD), with
// the preview size and the connection limit the service asks for in its OPTIONS
// answer, which is asked again when its Options-TTL has run out. 204, or the file
// sent back unchanged, is clean; an answer that names a finding, or sends something
// else in its place, is infected; every other answer, none within timeoutMs, or a
// lost connection is a failure. Null and a reason when the service does not answer
// OPTIONS now or does not offer RESPMOD.
std::unique_ptr<Scanner> MakeIcapScanner(const icap::Url& url, int timeoutMs, std::string* error);

#ifdef ZYKPROXY_WITH_CLAMAV
using ScannerLog = std::function<void(const std::string& line)>;
// The signature sets used when none is named: the system's database folder where it
// holds any database, plus the signatures shipped beside the executable.
std::vector<std::string> DefaultClamavDatabases();
// Loads the engine from the given files or folders; its Signatures() loads them again
// when they change. Null and a reason when the library cannot start, a database cannot
// be loaded, or no signature was loaded at all (an engine without signatures would pass
// everything). log receives the library's own warnings and errors.
std::unique_ptr<Scanner> MakeClamavScanner(const std::vector<std::string>& databases,
                                           ScannerLog log, std::string* error);
#endif

}  // namespace zykproxy
