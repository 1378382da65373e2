// The reloader's thread: it sleeps until the next look or a request, asks the signature
// set to reload what changed, and logs one line per reload.
#include "service/signature_reloader.h"

#include <chrono>
#include <cstdio>

namespace zykproxy::service {

SignatureReloader::SignatureReloader(SignatureSet& signatures, int checkSeconds, Log log)
    : m_signatures(signatures), m_checkSeconds(checkSeconds), m_log(std::move(log)) {}

SignatureReloader::~SignatureReloader() {
    if (m_thread.joinable()) Stop(-1);
}

void SignatureReloader::Start() { m_thread = std::thread([this] { Run(); }); }

void SignatureReloader::CheckSoon(std::function<void()> done) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_asked.push_back(std::move(done));
    }
    m_changed.notify_all();
}

bool SignatureReloader::Stop(int graceMs) {
    if (!m_thread.joinable()) return true;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    m_changed.notify_all();
    const auto finished = [this] { return m_finished; };
    if (graceMs < 0) m_changed.wait(lock, finished);
    else if (!m_changed.wait_for(lock, std::chrono::milliseconds(graceMs), finished)) {
        m_thread.detach();
        return false;
    }
    lock.unlock();
    m_thread.join();
    return true;
}

void SignatureReloader::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto wanted = [this] { return m_stop || !m_asked.empty(); };
    while (!m_stop) {
        if (m_checkSeconds > 0) m_changed.wait_for(lock, std::chrono::seconds(m_checkSeconds), wanted);
        else m_changed.wait(lock, wanted);
        if (m_stop) break;
        std::vector<std::function<void()>> done;
        done.swap(m_asked);
        lock.unlock();
        CheckOnce(!done.empty());
        for (auto& d : done) d();
        lock.lock();
    }
    m_finished = true;
    m_changed.notify_all();
}

void SignatureReloader::CheckOnce(bool asked) {
    try {
        const SignatureSet::Reload r = m_signatures.ReloadIfChanged();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f s", r.seconds);
        switch (r.kind) {
            case SignatureSet::Reload::Kind::Unchanged:
                if (asked) m_log("signatures unchanged: " + std::to_string(r.before) + " in force");
                break;
            case SignatureSet::Reload::Kind::Loaded:
                m_log("signatures reloaded: " + std::to_string(r.before) + " before, " +
                      std::to_string(r.after) + " after, loaded in " + seconds);
                break;
            case SignatureSet::Reload::Kind::Failed:
                m_log("signature reload failed after " + std::string(seconds) + " (" + r.error + "); the " +
                      std::to_string(r.before) + " signatures loaded before stay in force, and the "
                      "next look tries again");
                break;
        }
    } catch (const std::exception& e) {
        m_log(std::string("signature reload failed: ") + e.what() + "; the signatures in force stay");
    }
}

}  // namespace zykproxy::service
