// The host's scan callback: the plug-in calls it to have a held file checked (kind 1)
// and to report the progress of a large file (kind 3).
#pragma once

#include <atomic>
#include <string>

#include "console.h"
#include "scanner.h"
#include "zykim/zykim.h"

namespace zykproxy {

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

    // Handles one call; never throws. Kind 1 writes the verdict into nResult.
    int Handle(int kind, ScanCallbackInfo* info) noexcept;

    struct Counts {
        unsigned long checks = 0, clean = 0, infected = 0, failed = 0, unscanned = 0,
                      progress = 0;
    };
    Counts GetCounts() const;

    // The log line of one check.
    static std::string CheckLine(int connection, const std::string& announcedName,
                                 long long size, const ScanOutcome& outcome, long long millis);
    // A name from the network, made safe for a terminal: control bytes become '?',
    // and it is cut to a sane length.
    static std::string PrintableName(const char* text);

private:
    void Check(ScanCallbackInfo* info);

    Scanner& m_scanner;
    Console& m_console;
    std::atomic<unsigned long> m_checks{0}, m_clean{0}, m_infected{0}, m_failed{0},
        m_unscanned{0}, m_progress{0};
};

}  // namespace zykproxy
