// The statistics line and the metrics text from the same figures.
#include "service/figures.h"

#include <chrono>
#include <cstdio>

namespace zykproxy::service {

namespace {

// Fixed-point milliseconds for the statistics: "12", "0.35".
std::string Millis(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, ms >= 10 ? "%.0f" : "%.2f", ms);
    return text;
}

std::string Decimal(double value, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// One metric family: its help and type lines, then its samples.
class Family {
public:
    Family(std::string* out, const std::string& name, const char* type, const char* help)
        : m_out(*out), m_name(name) {
        m_out += "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    Family& Sample(unsigned long long value) { return Sample("", std::to_string(value)); }
    Family& Sample(const std::string& labels, unsigned long long value) {
        return Sample(labels, std::to_string(value));
    }
    Family& Sample(const std::string& labels, const std::string& value, const char* suffix = "") {
        m_out += m_name + suffix + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
        return *this;
    }

private:
    std::string& m_out;
    const std::string m_name;
};

void ConnectionMetrics(std::string* out, const ProxyServer::Stats& s) {
    Family(out, "zykproxy_connections_open", "gauge", "Connections being served now.")
        .Sample(static_cast<unsigned long long>(s.open < 0 ? 0 : s.open));
    Family(out, "zykproxy_connections_total", "counter",
           "Connections accepted, by how their set-up ended.")
        .Sample("result=\"served\"", s.opened)
        .Sample("result=\"refused\"", s.refused)
        .Sample("result=\"upstream_unreachable\"", s.upstreamFailures);
    Family(out, "zykproxy_timeouts_total", "counter", "Connections ended by a time-out, by kind.")
        .Sample("kind=\"connect\"", s.connectTimeouts)
        .Sample("kind=\"send\"", s.sendTimeouts)
        .Sample("kind=\"idle\"", s.idleTimeouts);
    Family(out, "zykproxy_worker_threads", "gauge", "Worker threads now.")
        .Sample(static_cast<unsigned long long>(s.workers));
    Family(out, "zykproxy_worker_threads_max", "gauge", "The most worker threads there were at once.")
        .Sample(static_cast<unsigned long long>(s.peakWorkers));
    Family(out, "zykproxy_bytes_total", "counter", "Bytes forwarded, by direction.")
        .Sample("direction=\"client_to_server\"", s.bytesFromClients)
        .Sample("direction=\"server_to_client\"", s.bytesFromServers);
}

void CheckMetrics(std::string* out, const ScanService::Counts& c, const ScanTimes::Snapshot& t) {
    Family(out, "zykproxy_checks_total", "counter", "Held files checked, by verdict.")
        .Sample("verdict=\"clean\"", c.clean)
        .Sample("verdict=\"infected\"", c.infected)
        .Sample("verdict=\"failed\"", c.failed)
        .Sample("verdict=\"unscanned\"", c.unscanned);
    Family times(out, "zykproxy_check_duration_seconds", "histogram", "How long the checks took.");
    uint64_t cumulative = 0;
    for (size_t i = 0; i < ScanTimes::kBoundsMicros.size(); ++i) {
        cumulative += t.counts[i];
        const double bound = static_cast<double>(ScanTimes::kBoundsMicros[i]) / 1e6;
        times.Sample("le=\"" + Decimal(bound, "%g") + "\"", std::to_string(cumulative), "_bucket");
    }
    times.Sample("le=\"+Inf\"", std::to_string(t.count), "_bucket")
        .Sample("", Decimal(static_cast<double>(t.micros) / 1e6, "%.6f"), "_sum")
        .Sample("", std::to_string(t.count), "_count");
}

void SignatureMetrics(std::string* out, const SignatureSet::Status& s) {
    const double loadedAt =
        std::chrono::duration<double>(s.loadedAt.time_since_epoch()).count();
    Family(out, "zykproxy_signatures", "gauge", "Signatures in the engine in force.").Sample(s.signatures);
    Family(out, "zykproxy_signatures_loaded_timestamp_seconds", "gauge",
           "When the signatures in force were loaded (Unix time).")
        .Sample("", Decimal(loadedAt, "%.3f"));
    Family(out, "zykproxy_signature_reloads_total", "counter",
           "Reloads of changed signature files, by outcome (a failed one keeps the old signatures).")
        .Sample("result=\"loaded\"", s.reloads)
        .Sample("result=\"failed\"", s.failedReloads);
}

}  // namespace

void ScanTimes::Add(uint64_t micros) {
    size_t bucket = 0;
    while (bucket < kBoundsMicros.size() && micros > kBoundsMicros[bucket]) ++bucket;
    ++m_counts[bucket];
    m_micros += micros;
}

ScanTimes::Snapshot ScanTimes::Get() const {
    Snapshot s;
    for (size_t i = 0; i < m_counts.size(); ++i) {
        s.counts[i] = m_counts[i].load();
        s.count += s.counts[i];
    }
    s.micros = m_micros.load();
    return s;
}

Figures FigureSources::Collect() const {
    Figures f;
    if (server != nullptr) f.server = server->GetStats();
    f.checks = scans != nullptr;
    if (scans != nullptr) f.counts = scans->GetCounts();
    if (times != nullptr) f.times = times->Get();
    f.signatures = signatures != nullptr;
    if (signatures != nullptr) f.signatureStatus = signatures->GetStatus();
    return f;
}

std::string StatisticsLine(const ProxyServer::Stats& s, const ScanService* scans) {
    std::string line = "connections " + std::to_string(s.open) + " open, " +
                       std::to_string(s.accepted) + " total";
    if (s.upstreamFailures != 0 || s.refused != 0)
        line += " (" + std::to_string(s.upstreamFailures) + " upstream unreachable, " +
                std::to_string(s.refused) + " refused)";
    line += "; time-outs " + std::to_string(s.connectTimeouts) + " connect, " +
            std::to_string(s.sendTimeouts) + " send, " + std::to_string(s.idleTimeouts) + " idle";
    line += "; workers " + std::to_string(s.workers) + " (at most " + std::to_string(s.peakWorkers) + ")";
    line += "; bytes " + std::to_string(s.bytesFromClients) + " client to server, " +
            std::to_string(s.bytesFromServers) + " server to client";
    if (scans != nullptr) {
        const ScanService::Counts c = scans->GetCounts();
        line += "; " + std::to_string(c.checks) + " check(s): " + std::to_string(c.clean) +
                " clean, " + std::to_string(c.infected) + " infected, " +
                std::to_string(c.failed) + " failed, " + std::to_string(c.unscanned) +
                " unscanned";
        if (c.checks != 0)
            line += "; scan time median " + Millis(c.medianMs) + " ms, 99th percentile " +
                    Millis(c.p99Ms) + " ms";
    }
    return line;
}

std::string MetricsText(const Figures& f) {
    std::string out;
    ConnectionMetrics(&out, f.server);
    if (f.checks) CheckMetrics(&out, f.counts, f.times);
    if (f.signatures) SignatureMetrics(&out, f.signatureStatus);
    return out;
}

}  // namespace zykproxy::service
