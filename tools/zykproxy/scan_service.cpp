// Routes the plug-in's scan callback to the chosen scanner, writes the verdict back
// and logs one line per check. A check that fails blocks the file.
#include "scan_service.h"

#include <chrono>
#include <filesystem>

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

int ZYKIM_CALL ScanService::Callback(int kind, ScanCallbackInfo* info) {
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

std::string ScanService::CheckLine(int connection, const std::string& announcedName,
                                   long long size, const ScanOutcome& outcome, long long millis) {
    std::string line = "check #" + std::to_string(connection) + " \"" + announcedName + "\" " +
                       (size >= 0 ? std::to_string(size) + " bytes" : "size unknown") + ": " +
                       VerdictText(outcome.verdict);
    if (!outcome.detail.empty()) line += " (" + outcome.detail + ")";
    line += ResultFor(outcome.verdict) > 0 ? ", blocked" : ", passed";
    return line + ", " + std::to_string(millis) + " ms";
}

void ScanService::Check(ScanCallbackInfo* info) {
    const auto start = std::chrono::steady_clock::now();
    m_console.EndProgress();
    const int connection = static_cast<int>(info->dwHostValue);
    const std::string name = PrintableName(info->szWebContentInfo);
    long long size = -1;
    ScanOutcome outcome;
    if (info->szFileName == nullptr || *info->szFileName == '\0') {
        outcome = {ScanOutcome::Verdict::Failed, "no held file named"};
    } else {
        std::error_code ec;
        const auto bytes = std::filesystem::file_size(info->szFileName, ec);
        if (!ec) size = static_cast<long long>(bytes);
        try {
            outcome = m_scanner.Scan(info->szFileName);
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
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    m_console.Log(CheckLine(connection, name, size, outcome, millis));
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
    return c;
}

}  // namespace zykproxy
