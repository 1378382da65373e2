// Routes the plug-in's scan callback to the chosen scanner, writes the verdict back
// and logs one line per check. A check that fails blocks the file.
#include "scan/scan_service.h"

#include <chrono>
#include <filesystem>

#include "run/blocking.h"

namespace zykproxy {

namespace {
std::atomic<ScanService*> g_active{nullptr};
constexpr size_t kMaxShownName = 200;
}  // namespace

ScanService::ScanService(Scanner& scanner, Console& console)
    : m_scanner(scanner), m_console(console) {}

ScanService::~ScanService() { Deactivate(); }

void ScanService::Activate() { g_active.store(this); }

void ScanService::Deactivate() {
    ScanService* self = this;
    g_active.compare_exchange_strong(self, nullptr);
}

void ScanService::Abandon() {
    m_abandoned = true;
    m_scanner.Abandon();
}

void ScanService::NameConnection(int connection, const std::string& destination) {
    std::lock_guard<std::mutex> guard(m_namesMutex);
    m_destinations[connection] = destination;
}

void ScanService::ForgetConnection(int connection) {
    std::lock_guard<std::mutex> guard(m_namesMutex);
    m_destinations.erase(connection);
}

int ZYKIM_CALL ScanService::Callback(int kind, ScanCallbackInfo* info) {
    // A check may take seconds: the loop whose thread makes this call goes on elsewhere.
    if (kind == ZYKIM_SCAN_CHECK_FILE) BeforeBlocking();
    ScanService* service = g_active.load();
    if (service == nullptr) {
        // Registered but not (or no longer) backed by a scanner: never let a file
        // through unchecked.
        if (kind == ZYKIM_SCAN_CHECK_FILE && info != nullptr) info->nResult = 2;
        return 0;
    }
    return service->Handle(kind, info);
}

std::string ScanService::PrintableName(const char* text) {
    if (text == nullptr) return "(no name)";
    std::string out;
    for (const char* p = text; *p != '\0' && out.size() < kMaxShownName; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    if (text[out.size()] != '\0') out += "...";
    return out;
}

size_t DurationHistogram::BucketOf(uint64_t value) {
    if (value < (uint64_t{1} << kSubBits)) return static_cast<size_t>(value);
    int top = 63;
    while ((value >> top) == 0) --top;
    const int shift = top - kSubBits;
    const uint64_t sub = (value >> shift) & ((uint64_t{1} << kSubBits) - 1);
    return (static_cast<size_t>(shift + 1) << kSubBits) + static_cast<size_t>(sub);
}

uint64_t DurationHistogram::LowerBound(size_t bucket) {
    const size_t range = bucket >> kSubBits;
    const uint64_t sub = bucket & ((size_t{1} << kSubBits) - 1);
    if (range == 0) return sub;
    return ((uint64_t{1} << kSubBits) | sub) << (range - 1);
}

void DurationHistogram::Add(uint64_t micros) {
    ++m_buckets[BucketOf(micros)];
    ++m_count;
}

uint64_t DurationHistogram::Percentile(double fraction) const {
    if (m_count == 0) return 0;
    uint64_t rank = static_cast<uint64_t>(fraction * static_cast<double>(m_count) + 0.999999);
    if (rank < 1) rank = 1;
    uint64_t seen = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
        seen += m_buckets[b];
        if (seen >= rank) return LowerBound(b);
    }
    return LowerBound(kBuckets - 1);
}

std::string ScanService::CheckLine(int connection, const std::string& destination,
                                   unsigned long check, const std::string& announcedName,
                                   long long size, const ScanOutcome& outcome, long long millis) {
    std::string line = "conn " + std::to_string(connection) +
                       (destination.empty() ? "" : " (to " + destination + ")") + " check " +
                       std::to_string(check) + " \"" + announcedName + "\" " +
                       (size >= 0 ? std::to_string(size) + " bytes" : "size unknown") + ": " +
                       VerdictText(outcome.verdict);
    if (!outcome.detail.empty()) line += " (" + outcome.detail + ")";
    line += ResultFor(outcome.verdict) > 0 ? ", blocked" : ", passed";
    return line + ", " + std::to_string(millis) + " ms";
}

void ScanService::Check(ScanCallbackInfo* info) {
    const auto start = std::chrono::steady_clock::now();
    const unsigned long check = m_nextCheck++;
    m_console.EndProgress();
    const int connection = static_cast<int>(info->dwHostValue);
    const std::string name = PrintableName(info->szWebContentInfo);
    long long size = -1;
    ScanOutcome outcome;
    if (info->szFileName == nullptr || *info->szFileName == '\0') {
        outcome = {ScanOutcome::Verdict::Failed, "no held file named"};
    } else if (m_abandoned) {
        outcome = {ScanOutcome::Verdict::Failed, "check abandoned: zykproxy is stopping"};
    } else {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(info->szFileName, ec);
        if (!ec) size = static_cast<long long>(bytes);
        try {
            CheckDetails details;
            if (info->szWebContentInfo != nullptr) details.announcedName = info->szWebContentInfo;
            details.connection = static_cast<long long>(info->dwHostValue);
            outcome = m_scanner.Scan(info->szFileName, details);
        } catch (const std::exception& e) {
            outcome = {ScanOutcome::Verdict::Failed, std::string("scanner error: ") + e.what()};
        }
    }
    info->nResult = ResultFor(outcome.verdict);
    switch (outcome.verdict) {
        case ScanOutcome::Verdict::Clean: ++m_clean; break;
        case ScanOutcome::Verdict::Infected: ++m_infected; break;
        case ScanOutcome::Verdict::Failed: ++m_failed; break;
        case ScanOutcome::Verdict::NotScanned: ++m_unscanned; break;
    }
    ++m_checks;
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    {
        std::lock_guard<std::mutex> guard(m_timesMutex);
        m_times.Add(static_cast<uint64_t>(micros));
    }
    if (m_observer) m_observer(static_cast<uint64_t>(micros));
    std::string destination;
    {
        std::lock_guard<std::mutex> guard(m_namesMutex);
        const auto it = m_destinations.find(connection);
        if (it != m_destinations.end()) destination = it->second;
    }
    m_console.Log(CheckLine(connection, destination, check, name, size, outcome, micros / 1000));
}

int ScanService::Handle(int kind, ScanCallbackInfo* info) noexcept {
    if (info == nullptr) return 0;
    try {
        if (kind == ZYKIM_SCAN_CHECK_FILE) {
            Check(info);
        } else if (kind == ZYKIM_SCAN_PROGRESS) {
            ++m_progress;
            m_console.Progress(static_cast<int>(info->dwHostValue), info->dwDoneKB,
                               info->dwTotalKB);
        }
    } catch (...) {
        // Out of memory while logging, at worst; the file must still not pass unchecked.
        if (kind == ZYKIM_SCAN_CHECK_FILE) info->nResult = 2;
    }
    return 0;
}

ScanService::Counts ScanService::GetCounts() const {
    Counts c;
    c.checks = m_checks;
    c.clean = m_clean;
    c.infected = m_infected;
    c.failed = m_failed;
    c.unscanned = m_unscanned;
    c.progress = m_progress;
    std::lock_guard<std::mutex> guard(m_timesMutex);
    c.medianMs = static_cast<double>(m_times.Percentile(0.5)) / 1000.0;
    c.p99Ms = static_cast<double>(m_times.Percentile(0.99)) / 1000.0;
    return c;
}

}  // namespace zykproxy
