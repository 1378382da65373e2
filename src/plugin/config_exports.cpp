// The configuration exports: scan callback, parallel checks, socket interface and the two
// stored settings.
#include "plugin/guard.h"
#include "plugin/scan_gate.h"
#include "plugin/state.h"
#include "plugin/trace.h"
#include "zykim/zykim.h"

namespace zykim {
void StoreTimeoutProtection(TimeoutProtectionSetting value);  // plugin/state.cpp
void StoreCheckLimit(CheckLimitSetting value);
}  // namespace zykim

using namespace zykim;

ZYKIM_API int ZYKIM_CALL RegisterCallback(ZykScanCallback callback) {
    // Never while a call of the old callback runs, nor one of it after this returns.
    return CallGuarded(0, [&] { return ReplaceScanCallback(callback); });
}

ZYKIM_API int ZYKIM_CALL SetParallelChecks(int count) {
    return CallGuarded(1, [&] {
        TraceInfo("ZYKIM: SetParallelChecks( %d )\n", count);
        const int n = SetParallelCheckCount(count);
        if (n == 1 && count > 1) TraceError("ZYKIM: SetParallelChecks: no gate, one check at a time\n");
        return n;
    });
}

ZYKIM_API ISocket* ZYKIM_CALL SetISocket(ISocket* socketInterface) {
    // Released here, acquired by every socket transfer: a host thread that sees the
    // pointer also sees the object it points to as the host built it.
    g_pHostSocket.store(socketInterface, std::memory_order_release);
    return socketInterface;
}

ZYKIM_API int ZYKIM_CALL SetTimeoutProtection(int seconds) {
    CallGuarded([&] {
        TraceInfo("ZYKIM: SetTimeoutProtection( %d )\n", seconds);
        if (seconds > 0) {
            // Wraps like the 32-bit product would, without signed overflow.
            const uint32_t ms = static_cast<uint32_t>(seconds) * 1000u;
            StoreTimeoutProtection({1, static_cast<int32_t>(ms)});
        } else {
            StoreTimeoutProtection({0, 0});
        }
    });
    return 0;
}

ZYKIM_API uint32_t ZYKIM_CALL SetCheckLimit(uint32_t megabytes) {
    return CallGuarded(uint32_t{0}, [&] {
        TraceInfo("ZYKIM : SetCheckLimit( %d )\n", static_cast<int>(megabytes));
        const uint64_t limit =
            megabytes > 0 ? uint64_t{megabytes} * 1048576u : ~uint64_t{0};
        StoreCheckLimit({1, limit});
        return static_cast<uint32_t>(limit);
    });
}

ZYKIM_API void ZYKIM_CALL NotifySettingsChanged(void) {}
