// The transfer object's three callbacks: progress and file checks go to the host's
// scan callback, client bytes to the application-side socket. Calls of the host's scan
// callback come in through ScanCallGuard: one at a time under the callback lock, or, when
// the host has asked for parallel checks, up to its count of checks at once. Deliveries
// to a client run under that connection's proxy lock alone, so a client that stops
// reading, or a long scan, holds up no other connection.
#include <cstring>

#include "plugin/scan_gate.h"
#include "plugin/state.h"
#include "plugin/trace.h"
#include "proxy/im_proxy.h"

namespace zykim {

namespace {
constexpr uint32_t kProgressThreshold = 100000;

void FillCommon(ScanCallbackInfo& info, const CIMProxy& proxy) {
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof(ScanCallbackInfo);
    info.reserved4 = 3;
    info.dwHostValue = static_cast<uint32_t>(proxy.nHostValue());
    info.dwAppSocket = static_cast<uint32_t>(proxy.nAppSocket());
    info.reserved1072 = 4;
}
}  // namespace

void vICQFileProgressCallback(uint32_t nBytesSoFar, uint32_t nTotal, void* pUserData) {
    if (pUserData == nullptr) return;
    const auto& proxy = *static_cast<const CIMProxy*>(pUserData);
    // A small body is never reported: its writes must not wait for another connection's
    // scan. The guard is taken only when the host will be called.
    if (nTotal <= kProgressThreshold || proxy.bDetached()) return;
    TraceInfo("[CIMProxy] [vICQFileProgressCallback (%d von %d Bytes )]\n",
              static_cast<int>(nBytesSoFar / 1024), static_cast<int>(nTotal / 1024));
    if (g_pScanCallback.load(std::memory_order_acquire) == nullptr) return;
    ScanCallGuard guard(ScanCallGuard::kProgress);
    ScanCallbackInfo info;
    FillCommon(info, proxy);
    info.dwDoneKB = nBytesSoFar / 1024;
    info.dwTotalKB = nTotal / 1024;
    info.szFileName = "szFileName";
    info.szWebContentInfo = "szWebContentInfo";
    // Read again under the guard: RegisterCallback may have cleared it meanwhile.
    if (const ZykScanCallback callback = g_pScanCallback.load(std::memory_order_acquire))
        callback(ZYKIM_SCAN_PROGRESS, &info);
}

void vICQFileCheckFileCallback(const char* pszFileName, const char* pszTempFile,
                               int32_t /*nTempFileLen*/, void* pUserData, int32_t* pnVerdict) {
    if (pszTempFile == nullptr || pUserData == nullptr || pszFileName == nullptr) return;
    const auto& proxy = *static_cast<const CIMProxy*>(pUserData);
    if (proxy.bDetached()) return;
    ScanCallGuard guard(ScanCallGuard::kCheck);
    TraceInfo("[CIMProxy] [vICQFileCheckFileCallback (ScanFile [%s])]\n", pszTempFile);
    const ZykScanCallback callback = g_pScanCallback.load(std::memory_order_acquire);
    if (callback == nullptr) return;
    ScanCallbackInfo info;
    FillCommon(info, proxy);
    info.szFileName = pszTempFile;
    info.szWebContentInfo = pszFileName;
    callback(ZYKIM_SCAN_CHECK_FILE, &info);
    if (pnVerdict != nullptr) *pnVerdict = info.nResult;
}

int32_t bICQSendData2IcqClientCallback(const uint8_t* pData, int32_t nSize, void* pUserData) {
    if (pData == nullptr || nSize <= 0 || pUserData == nullptr) return 0;
    auto& proxy = *static_cast<CIMProxy*>(pUserData);
    if (proxy.bDetached()) return 0;
    // No lock of its own: the caller holds this connection's proxy lock, which keeps the
    // connection's deliveries in order; other connections deliver meanwhile.
    TraceInfo("[CIMProxy] [bICQSendData2IcqClientCallback\n");
    proxy.bICQSendData2IcqClient(pData, nSize);
    return 1;
}

}  // namespace zykim
