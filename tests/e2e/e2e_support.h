// Helpers of the end-to-end tests: zykproxy with the real plug-in as a child process,
// an upstream server whose connections follow scripts, and the OFT2 peers of oftpeer
// on the sockets at both ends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net.h"  // oftpeer's sockets, which its sessions run on
#include "oft2.h"
#include "platform/process.h"
#include "platform/system.h"
#include "session.h"
#include "support/scratch_dir.h"
#include "zykproxy/helpers.h"

namespace zykim::e2e {

namespace znet = zykproxy::net;
using zykproxy::test::ReadWholeFile;

// A program built beside the tests.
inline std::string Built(const char* name) { return zykproxy::platform::ExecutableFolder() + name; }

inline const std::string& CaptureFolder() {
    static const std::string folder = ZYK_E2E_CAPTURE;
    return folder;
}

// The sockets made here are not inherited by the programs the tests start (a copy of
// one in a child would keep its connection open after the test closed it).
inline oftpeer::Socket ForPeer(znet::Socket s) { return oftpeer::Socket(s.Release()); }

inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

inline size_t CountOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// zykproxy as a host runs it: the real plug-in beside it, a scanner, held files in a
// folder of the test's own (its TMP/TMPDIR), every connection logged (--verbose).
class ProxyProcess {
public:
    ProxyProcess() = default;
    ProxyProcess(const ProxyProcess&) = delete;
    ProxyProcess& operator=(const ProxyProcess&) = delete;
    ~ProxyProcess() { m_process.Kill(); }

    bool Start(std::vector<std::string> args, const std::string& heldFolder,
               const std::string& logPath) {
        m_logPath = logPath;
        args.insert(args.end(), {"--plugin", Built(ZYK_E2E_PLUGIN), "--verbose"});
        zykproxy::process::StartOptions options;
        options.captureStdout = true;
        options.stderrPath = logPath;
        std::string error;
        bool started;
        {
            zykim::test::TempDirOverride temp(heldFolder);  // the child's copy keeps it
            started = m_process.Start(Built(ZYK_E2E_ZYKPROXY), args, options, &error);
        }
        EXPECT_TRUE(started) << error;
        std::string line;
        if (!started || !m_process.ReadStdoutLine(&line, 60000) ||
            line.rfind("listening ", 0) != 0) {
            ADD_FAILURE() << "zykproxy did not start: " << line << "\n" << Log();
            return false;
        }
        m_port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
        return true;
    }
    uint16_t Port() const { return m_port; }
    std::string Log() const { return ReadWholeFile(m_logPath); }
    // Waits until zykproxy has ended `count` connections in all.
    bool WaitForEnded(size_t count, int timeoutMs = 20000) const {
        return WaitUntil([&] { return CountOf(Log(), " ended") >= count; }, timeoutMs);
    }
    // Waits for zykproxy to end by itself (--once); its exit code, or -2 if it did not.
    int WaitForExit(int timeoutMs = 20000) {
        int code = -1;
        return m_process.Wait(timeoutMs, &code) ? code : -2;
    }
    void RequestStop() { m_process.RequestStop(); }
    // SIGHUP: read the settings again (false on Windows).
    bool Hangup() { return m_process.RequestReload(); }
    // A further line of zykproxy's standard output (after the listening line).
    bool ReadStdoutLine(std::string* line, int timeoutMs = 10000) {
        return m_process.ReadStdoutLine(line, timeoutMs);
    }
    void Stop() {
        m_process.RequestStop();
        int code = 0;
        if (!m_process.Wait(10000, &code)) m_process.Kill();
    }
    znet::Socket Connect() const { return zykproxy::test::ConnectTo(m_port); }

private:
    zykproxy::process::ChildProcess m_process;
    std::string m_logPath;
    uint16_t m_port = 0;
};

// The upstream server: each connection that zykproxy makes to it runs the next script
// pushed; connections beyond the scripts are closed at once.
class ScriptedUpstream {
public:
    using Script = std::function<void(znet::Socket)>;
    ScriptedUpstream() : m_upstream([this](znet::Socket s) { Next()(std::move(s)); }) {}
    void Push(Script script) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_scripts.push_back(std::move(script));
    }
    uint16_t Port() const { return m_upstream.Port(); }
    int Accepted() const { return m_upstream.Accepted(); }
    // Drops the scripts that no connection took (left by a test that failed early).
    void Clear() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_scripts.clear();
    }

private:
    Script Next() {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_scripts.empty()) return [](znet::Socket) {};
        Script s = std::move(m_scripts.front());
        m_scripts.pop_front();
        return s;
    }
    std::mutex m_mutex;
    std::deque<Script> m_scripts;
    zykproxy::test::Upstream m_upstream;  // last: its threads use the scripts
};

// What the sending client of one session did; shared with its script's thread, which
// may outlive a test that failed early.
struct SenderResult {
    std::mutex mutex;
    bool done = false;
    bool ok = false;
    std::string error;
    std::vector<oftpeer::SentFile> sent;

    // Waits for the session's sending side to finish.
    bool Wait(int timeoutMs = 30000) {
        return WaitUntil([&] {
            std::lock_guard<std::mutex> guard(mutex);
            return done;
        }, timeoutMs);
    }
    const oftpeer::SentFile* Find(const std::string& name) const {
        for (const auto& f : sent)
            if (f.name == name) return &f;
        return nullptr;
    }
};

// The next upstream connection runs the sending client with these files.
inline std::shared_ptr<SenderResult> PushSender(ScriptedUpstream& upstream,
                                                std::vector<std::string> files) {
    auto result = std::make_shared<SenderResult>();
    upstream.Push([files, result](znet::Socket s) {
        oftpeer::SendOptions options;
        options.files = files;
        options.cookie = oftpeer::MakeCookie();
        options.timeoutMs = 20000;
        std::vector<oftpeer::SentFile> sent;
        std::string error;
        const bool ok = oftpeer::RunSender(ForPeer(std::move(s)), options, &sent, &error);
        std::lock_guard<std::mutex> guard(result->mutex);
        result->ok = ok;
        result->error = error;
        result->sent = std::move(sent);
        result->done = true;
    });
    return result;
}

// The receiving client through the proxy, writing the files to `folder`.
struct ReceiverResult {
    bool ok = false;
    std::string error;
    std::vector<oftpeer::ReceivedFile> received;
    const oftpeer::ReceivedFile* Find(const std::string& name) const {
        for (const auto& f : received)
            if (f.name == name) return &f;
        return nullptr;
    }
};
inline ReceiverResult Receive(const ProxyProcess& proxy, const std::string& folder) {
    oftpeer::ReceiveOptions options;
    options.folder = folder;
    options.timeoutMs = 20000;
    ReceiverResult r;
    r.ok = oftpeer::RunReceiver(ForPeer(proxy.Connect()), options, &r.received, &r.error);
    return r;
}

// One session through the proxy: the sender offers the files, the receiver writes
// them into a fresh folder `out`.
inline ReceiverResult Session(ScriptedUpstream& upstream, const ProxyProcess& proxy,
                       const std::string& out, const std::vector<std::string>& files) {
    std::filesystem::create_directories(out);
    const auto sender = PushSender(upstream, files);
    ReceiverResult result = Receive(proxy, out);
    EXPECT_TRUE(sender->Wait());
    return result;
}

// A file for the sender, in `folder`.
inline std::string WriteFile(const zykim::test::ScratchDir& folder, const std::string& name,
                             const std::string& content) {
    const std::string path = folder.File(name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// Content the command scanner (zykproxy_test_scanner marker) reports as infected.
inline std::string InfectedContent(size_t size, unsigned seed) {
    std::string content = zykproxy::test::RandomBytes(size, seed);
    const std::string marker = "INFECTED-MARKER";
    content.replace(size / 2, marker.size(), marker);
    return content;
}

// The PROMPT header a sending client announces `body` with, as one file of one.
inline std::string PromptFor(const std::string& name, const std::string& body) {
    const uint32_t size = static_cast<uint32_t>(body.size());
    const auto prompt = oftpeer::SerializeOft2(oftpeer::MakePrompt(
        name, size, oftpeer::ComputeOscarChecksum(body.data(), body.size()), 0, 1, 1, size,
        oftpeer::MakeCookie()));
    return std::string(prompt.begin(), prompt.end());
}

}  // namespace zykim::e2e
