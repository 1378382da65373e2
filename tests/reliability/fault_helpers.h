// Shared pieces of the fault-injection and hygiene tests: OFT2 streams as text, the
// temporary-folder variable of the platform, a host socket interface with faults on
// demand, and a look at whether the plug-in's process-wide locks are free.
#pragma once

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "os/win32/win.h"
#else
#include <sys/socket.h>
#endif

#include "plugin/state.h"
#include "support/oft2_stream.h"
#include "support/socket_pair.h"
#include "zykim/zykim.h"

namespace zykim::test {

// Points the plug-in's temporary folder (TMPDIR / TMP) elsewhere while it lives.
class TempVariable {
public:
    explicit TempVariable(const std::string& value) : m_saved(Get()) { Set(value); }
    ~TempVariable() { Set(m_saved); }
    TempVariable(const TempVariable&) = delete;
    TempVariable& operator=(const TempVariable&) = delete;

private:
#ifdef _WIN32
    static constexpr const char* kName = "TMP";
    static std::string Get() {
        char buffer[MAX_PATH + 1] = {};
        const DWORD n = GetEnvironmentVariableA(kName, buffer, sizeof buffer);
        return n > 0 && n < sizeof buffer ? std::string(buffer) : std::string();
    }
    static void Set(const std::string& v) { SetEnvironmentVariableA(kName, v.empty() ? nullptr : v.c_str()); }
#else
    static constexpr const char* kName = "TMPDIR";
    static std::string Get() {
        const char* v = std::getenv(kName);
        return v ? v : "";
    }
    static void Set(const std::string& v) {
        if (v.empty())
            unsetenv(kName);
        else
            setenv(kName, v.c_str(), 1);
    }
#endif
    std::string m_saved;
};

// True when another thread can take the table lock and the callback lock right now.
inline bool PluginLocksAreFree() {
    bool free = false;
    std::thread([&] {
        const bool table = g_tableLock.Wait(1000) == 1;
        if (table) g_tableLock.Release();
        const bool callback = g_callbackLock.Wait(1000) == 1;
        if (callback) g_callbackLock.Release();
        free = table && callback;
    }).join();
    return free;
}

// The host's socket interface over real sockets, with faults chosen by the test.
class FaultySocket : public ISocket {
public:
    std::atomic<int> failReads{0};     // the next reads return -1
    std::atomic<int> zeroReads{0};     // the next reads return 0
    std::atomic<int> maxRead{0};       // reads take at most this many bytes (0: no limit)
    std::atomic<int> overReport{0};    // reads report this many bytes more than they placed
    static constexpr int kSendForReal = -0x7FFFFFFF;
    std::atomic<int> sendResult{kSendForReal};  // else returned, with nothing sent
    std::atomic<int> reads{0};

    void Reserved0() override {}
    int Receive(int socket, char* buffer, int size) override {
        ++reads;
        if (failReads > 0) return --failReads, -1;
        if (zeroReads > 0) return --zeroReads, 0;
        if (maxRead > 0 && size > maxRead) size = maxRead;
        const NativeSocket s = static_cast<NativeSocket>(socket);
        if (!WaitSocket(Borrowed(s), false, 0)) return 0;
        const int n = ::recv(s, buffer, size, 0);
        if (n <= 0) return 0;
        return n + overReport.load();
    }
    int Send(int socket, const char* data, int length) override {
        if (sendResult != kSendForReal) return sendResult;
        const NativeSocket s = static_cast<NativeSocket>(socket);
        Socket borrowed(s);
        const bool ok = WriteAll(borrowed, data, static_cast<size_t>(length));
        borrowed.Release();
        return ok ? 1 : 0;
    }

private:
    // A Socket view of a number the test owns elsewhere; never closes it.
    struct BorrowedSocket : Socket {
        explicit BorrowedSocket(NativeSocket s) : Socket(s) {}
        ~BorrowedSocket() { Release(); }
    };
    static BorrowedSocket Borrowed(NativeSocket s) { return BorrowedSocket(s); }
};

}  // namespace zykim::test
