// Loads the in-process scanner's signatures again when their files change: a look every
// --db-check seconds and whenever asked (SIGHUP), on a thread of its own, so that checks
// go on with the signatures in force while new ones load.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scan/scanner.h"

namespace zykproxy::service {

class SignatureReloader {
public:
    using Log = std::function<void(const std::string&)>;
    // checkSeconds 0: only when asked.
    SignatureReloader(SignatureSet& signatures, int checkSeconds, Log log);
    ~SignatureReloader();
    SignatureReloader(const SignatureReloader&) = delete;
    SignatureReloader& operator=(const SignatureReloader&) = delete;

    void Start();
    // Looks soon; done is then called on the reloader's thread once a look that began
    // after this call (and the load it led to) is over.
    void CheckSoon(std::function<void()> done);
    // Ends the thread. False when a load was still running after graceMs: the thread is
    // then left to it, and the process must end at once without destroying anything.
    bool Stop(int graceMs);

private:
    void Run();
    void CheckOnce(bool asked);

    SignatureSet& m_signatures;
    const int m_checkSeconds;
    const Log m_log;
    std::mutex m_mutex;  // guards the four below
    std::condition_variable m_changed;
    std::vector<std::function<void()>> m_asked;
    bool m_stop = false;
    bool m_finished = false;
    std::thread m_thread;
};

}  // namespace zykproxy::service
