// The connection object: construction, life-cycle handling and the server data road.
#include "proxy/im_proxy.h"

#include <string>

#include "os/held_file.h"
#include "plugin/sock_error.h"
#include "plugin/trace.h"

namespace zykim {

namespace {
unsigned AddressOf(const ZykConnection* p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
int SocketOf(const ZykConnection* p) { return p != nullptr ? p->socket : 0; }
}  // namespace

CIMProxy::CIMProxy(int32_t nHostValue, int32_t nAppSocket, IClientSocket& clientSocket)
    : m_clientSocket(clientSocket), m_nHostValue(nHostValue), m_nAppSocket(nAppSocket) {
    m_hProxyLock.Create();

    const std::string tempDir = os::GetTempDirectory();
    TraceInfo("[CIMProxy] [SetTempPath]: [%s] \n", tempDir.c_str());
    m_OscarFileTrans.SetTempPath(tempDir.c_str());

    TraceInfo("[CIMProxy] [bSetProgressCallback]\n");
    m_OscarFileTrans.bSetProgressCallback(&vICQFileProgressCallback, this);
    TraceInfo("[CIMProxy] [bSetCheckFileCallback]\n");
    m_OscarFileTrans.bSetCheckFileCallback(&vICQFileCheckFileCallback, this);
    TraceInfo("[CIMProxy] [bSetSendData2IcqClientCallback]\n");
    m_OscarFileTrans.bSetSendData2IcqClientCallback(&bICQSendData2IcqClientCallback, this);

    try {
        TraceInfo("[%05d] CIMProxy enter\n", m_nAppSocket);
        vReset();
        TraceInfo("[%05d] CIMProxy finished\n", m_nAppSocket);
    } catch (...) {
        TraceError("[%05d] CIMProxy exception\n", m_nAppSocket);
    }
}

CIMProxy::~CIMProxy() {
    try {
        ProxyLockGuard guard(*this);
        TraceInfo("~CIMProxy enter\n");
        vReset();
        TraceInfo("~CIMProxy finished\n");
    } catch (...) {
        TraceError("~CIMProxy exception\n");
    }
    // The lock closes with m_hProxyLock; the transfer object deletes any held file.
}

void CIMProxy::vLock() { m_hProxyLock.Wait(); }
void CIMProxy::vUnlock() { m_hProxyLock.Release(); }
bool CIMProxy::bTryLock() { return m_hProxyLock.Wait(0) == 1; }

void CIMProxy::vReset() { m_OscarFileTrans.vResetOFT2Filetrans(); }

bool CIMProxy::bTransferIdle() const {
    switch (m_OscarFileTrans.eState()) {
        case ofs_DoOFT2_Check:
        case ofs_DoOFT2_Check2:
        case ofs_DoOFT2_Header:
        case ofs_DoOFT2_FileName:
        case ofs_DoOFT2_NoFileTrans:
        case ofs_DoOFT2_Error:
            // No body byte has been taken since the last reset: nothing to report.
            return !m_OscarFileTrans.bHeldFileOpen() && m_OscarFileTrans.pszTempFile()[0] == '\0';
        default:
            return false;
    }
}

template <typename Step>
void CIMProxy::vRunConnectionStep(const ZykConnection* pApp, const char* pszWhat, Step step) {
    const int nSocket = SocketOf(pApp);
    const unsigned nAddress = AddressOf(pApp);
    try {
        TraceInfo("[%05d, 0x%08x] %s enter\n", nSocket, nAddress, pszWhat);
        step();
        TraceInfo("[%05d, 0x%08x] %s finished\n", nSocket, nAddress, pszWhat);
        return;
    } catch (const CWinSockException& e) {
        TraceError("[%05d, 0x%08x] %s sock exception: %s\n", nSocket, nAddress, pszWhat,
                   GetWinSockErrorText(e.m_nError));
    } catch (...) {
        TraceError("[%05d, 0x%08x] %s exception\n", nSocket, nAddress, pszWhat);
    }
    try {
        vReset();
    } catch (...) {
        // Nothing escapes the life-cycle handling; the next reset tries again.
    }
}

void CIMProxy::vNewConnection(const ZykConnection* pApp) {
    vRunConnectionStep(pApp, "new connection", [this] { vReset(); });
}

void CIMProxy::vEndConnection(const ZykConnection* pApp) {
    vRunConnectionStep(pApp, "end connection", [this] { vReset(); });
}

void CIMProxy::vRequestFromServer(const uint8_t* pData, int32_t nLength,
                                  const ZykConnection* pApp) {
    if (pData == nullptr) return;
    // Stored first: the transfer object sends to the client from within the call.
    m_pAppConnection = pApp;
    if (nLength > 0) m_OscarFileTrans.eDoOFT2Filetrans(pData, nLength);
}

bool CIMProxy::bICQSendData2IcqClient(const uint8_t* pData, int32_t nLength) {
    if (m_pAppConnection == nullptr) return false;
    TraceInfo("[CIMProxy] [bICQSendData2IcqClient -> SockSendClient \n");
    m_clientSocket.bSendToClient(m_pAppConnection, pData, nLength);
    return true;
}

}  // namespace zykim
