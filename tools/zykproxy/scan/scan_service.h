// The host's scan callback: the plug-in calls it to have a held file checked (kind 1)
// and to report the progress of a large file (kind 3).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "console.h"
#include "scan/scanner.h"
#include "zykim/zykim.h"

namespace zykproxy {

// The distribution of check times in bounded memory: 64 steps per power of two (a
// value is known to within 1.6 %) in 30 KiB, however many files a proxy that runs
// for months checks.
class DurationHistogram {
public:
    void Add(uint64_t micros);
    uint64_t Count() const { return m_count; }
    // The smallest recorded value that at least `fraction` of the values do not
    // exceed (0.5: the median), as the lower bound of its step; 0 when empty.
    uint64_t Percentile(double fraction) const;

private:
    static constexpr int kSubBits = 6;
    static constexpr size_t kBuckets = (64 - kSubBits + 1) << kSubBits;
    static size_t BucketOf(uint64_t value);
    static uint64_t LowerBound(size_t bucket);
    std::array<uint64_t, kBuckets> m_buckets{};
    uint64_t m_count = 0;
};

class ScanService {
public:
    ScanService(Scanner& scanner, Console& console);
    ~ScanService();
    ScanService(const ScanService&) = delete;
    ScanService& operator=(const ScanService&) = delete;

    // The function to hand to RegisterCallback. The callback has no user data, so it
    // routes to the one active service of the process.
    static int ZYKIM_CALL Callback(int kind, ScanCallbackInfo* info);
    void Activate();
    void Deactivate();
    // For a proxy that is stopping: the checks under way end as failures (their files
    // are blocked), and every later check fails at once without scanning.
    void Abandon();
    // Where a connection goes (when the client chose it), named in its checks' lines.
    void NameConnection(int connection, const std::string& destination);
    void ForgetConnection(int connection);

    // Called after each check with its time, from the thread that made it (checks may
    // run at once: it must be safe for that). Set before Activate.
    void SetCheckObserver(std::function<void(uint64_t micros)> observer) { m_observer = std::move(observer); }

    // Handles one call; never throws. Kind 1 writes the verdict into nResult.
    int Handle(int kind, ScanCallbackInfo* info) noexcept;

    struct Counts {
        unsigned long checks = 0, clean = 0, infected = 0, failed = 0, unscanned = 0,
                      progress = 0;
        double medianMs = 0, p99Ms = 0;  // scan time of the checks so far
    };
    Counts GetCounts() const;

    // The log line of one check: the connection (the host value, and where it goes when
    // that is known) and the check's own number, counted over the whole run.
    static std::string CheckLine(int connection, const std::string& destination, unsigned long check,
                                 const std::string& announcedName, long long size,
                                 const ScanOutcome& outcome, long long millis);
    // A name from the network, made safe for a terminal: control bytes become '?',
    // and it is cut to a sane length.
    static std::string PrintableName(const char* text);

private:
    void Check(ScanCallbackInfo* info);

    Scanner& m_scanner;
    Console& m_console;
    std::atomic<bool> m_abandoned{false};
    std::atomic<unsigned long> m_checks{0}, m_clean{0}, m_infected{0}, m_failed{0},
        m_unscanned{0}, m_progress{0}, m_nextCheck{1};
    mutable std::mutex m_timesMutex;
    DurationHistogram m_times;  // guarded by m_timesMutex
    std::mutex m_namesMutex;
    std::map<int, std::string> m_destinations;  // guarded by m_namesMutex
    std::function<void(uint64_t micros)> m_observer;
};

}  // namespace zykproxy
