// The figures of a running proxy: the statistics line of the log and of the service
// manager's status, and the same figures as metrics in the Prometheus text format.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "run/proxy_server.h"
#include "scan/scan_service.h"
#include "scan/scanner.h"

namespace zykproxy::service {

// The time of each check in fixed buckets, for the metrics' histogram. From any thread.
class ScanTimes {
public:
    // The buckets' upper bounds, in microseconds: 1 ms to 2 min.
    static constexpr std::array<uint64_t, 16> kBoundsMicros = {
        1000,    2500,    5000,    10000,    25000,    50000,    100000,   250000,
        500000, 1000000, 2500000, 5000000, 10000000, 30000000, 60000000, 120000000};
    struct Snapshot {
        std::array<uint64_t, kBoundsMicros.size() + 1> counts{};  // per bucket; the last: above all
        uint64_t count = 0;
        uint64_t micros = 0;  // the sum
    };
    void Add(uint64_t micros);
    Snapshot Get() const;

private:
    std::array<std::atomic<uint64_t>, kBoundsMicros.size() + 1> m_counts{};
    std::atomic<uint64_t> m_micros{0};
};

// Everything the figures are made of, taken at one moment.
struct Figures {
    ProxyServer::Stats server;
    bool checks = false;  // the plug-in runs, with its scan service
    ScanService::Counts counts;
    ScanTimes::Snapshot times;
    bool signatures = false;  // the scanner loads signatures of its own
    SignatureSet::Status signatureStatus;
};

// Where the figures come from; null where there is no such part (no plug-in, a scanner
// that keeps no signatures).
struct FigureSources {
    const ProxyServer* server = nullptr;
    const ScanService* scans = nullptr;
    const ScanTimes* times = nullptr;
    const SignatureSet* signatures = nullptr;
    Figures Collect() const;
};

// The statistics line of SIGUSR1 (Ctrl-Break), of the summary at the end and of the
// service manager's status.
std::string StatisticsLine(const ProxyServer::Stats& s, const ScanService* scans);
// The answer to GET /metrics: text format 0.0.4, names with their units.
std::string MetricsText(const Figures& f);

}  // namespace zykproxy::service
