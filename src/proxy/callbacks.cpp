// The transfer object's three callbacks: progress and file checks go to the host's
// scan callback, client bytes to the application-side socket. Each holds the callback
// lock for its whole run, so the host's callback is never entered twice at once.
#include <cstring>

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
    LockGuard guard(g_callbackLock);
    if (nTotal <= kProgressThreshold) return;
    ScanCallbackInfo info;
    FillCommon(info, proxy);
    TraceInfo("[CIMProxy] [vICQFileProgressCallback (%d von %d Bytes )]\n",
              static_cast<int>(nBytesSoFar / 1024), static_cast<int>(nTotal / 1024));
    info.dwDoneKB = nBytesSoFar / 1024;
    info.dwTotalKB = nTotal / 1024;
    info.szFileName = "szFileName";
    info.szWebContentInfo = "szWebContentInfo";
    if (g_pScanCallback != nullptr) g_pScanCallback(ZYKIM_SCAN_PROGRESS, &info);
}

void vICQFileCheckFileCallback(const char* pszFileName, const char* pszTempFile,
                               int32_t /*nTempFileLen*/, void* pUserData, int32_t* pnVerdict) {
    if (pszTempFile == nullptr || pUserData == nullptr || pszFileName == nullptr) return;
    const auto& proxy = *static_cast<const CIMProxy*>(pUserData);
    LockGuard guard(g_callbackLock);
    TraceInfo("[CIMProxy] [vICQFileCheckFileCallback (ScanFile [%s])]\n", pszTempFile);
    if (g_pScanCallback == nullptr) return;
    ScanCallbackInfo info;
    FillCommon(info, proxy);
    info.szFileName = pszTempFile;
    info.szWebContentInfo = pszFileName;
    g_pScanCallback(ZYKIM_SCAN_CHECK_FILE, &info);
    if (pnVerdict != nullptr) *pnVerdict = info.nResult;
}

int32_t bICQSendData2IcqClientCallback(const uint8_t* pData, int32_t nSize, void* pUserData) {
    if (pData == nullptr || nSize <= 0 || pUserData == nullptr) return 0;
    auto& proxy = *static_cast<CIMProxy*>(pUserData);
    LockGuard guard(g_callbackLock);
    TraceInfo("[CIMProxy] [bICQSendData2IcqClientCallback\n");
    proxy.bICQSendData2IcqClient(pData, nSize);
    return 1;
}

}  // namespace zykim
