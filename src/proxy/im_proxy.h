// CIMProxy: the inspection object of one proxied connection. It owns the connection's
// transfer object and proxy lock, and wires the transfer object to the host's scan
// callback and, through the IClientSocket it is given, to the messenger client's socket.
#pragma once

#include <cstdint>

#include "oft2/icq_oscar_file_trans.h"
#include "plugin/lock.h"
#include "proxy/client_socket.h"
#include "zykim/zykim.h"

namespace zykim {

class CIMProxy {
public:
    // The client socket outlives the object; every byte for the client goes through it.
    CIMProxy(int32_t nHostValue, int32_t nAppSocket, IClientSocket& clientSocket);
    virtual ~CIMProxy();
    CIMProxy(const CIMProxy&) = delete;
    CIMProxy& operator=(const CIMProxy&) = delete;

    // The proxy lock, taken with the lock wait (no time-out); the result is ignored.
    void vLock();
    void vUnlock();
    // Takes the proxy lock only when it is free right now; true when taken.
    bool bTryLock();

    void vNewConnection(const ZykConnection* pAppConnection);
    void vEndConnection(const ZykConnection* pAppConnection);
    // One block of server data, in stream order; bytes for the client go to pAppConnection.
    void vRequestFromServer(const uint8_t* pData, int32_t nLength,
                            const ZykConnection* pAppConnection);
    void vReset();
    bool bICQSendData2IcqClient(const uint8_t* pData, int32_t nLength);
    // True when the transfer object holds no file body: a reset then closes, deletes and
    // reports nothing, so it never waits for the callback lock.
    bool bTransferIdle() const;
    // At unload: from now on the callbacks neither call the host's scan callback nor send;
    // what is left is reset silently when the object is destroyed.
    void vDetachFromHost() { m_bDetached = true; }
    bool bDetached() const { return m_bDetached; }

    int32_t nHostValue() const { return m_nHostValue; }
    int32_t nAppSocket() const { return m_nAppSocket; }
    const ZykConnection* pAppConnection() const { return m_pAppConnection; }

private:
    template <typename Step>
    void vRunConnectionStep(const ZykConnection* pAppConnection, const char* pszWhat, Step step);

    LockObject m_hProxyLock;
    IClientSocket& m_clientSocket;
    int32_t m_nHostValue;
    int32_t m_nAppSocket;
    const ZykConnection* m_pAppConnection = nullptr;
    bool m_bDetached = false;
    CIcqOscarFileTrans m_OscarFileTrans;
};

// Holds a connection's proxy lock for a scope; released on every path out.
class ProxyLockGuard {
public:
    explicit ProxyLockGuard(CIMProxy& proxy) : m_proxy(proxy) { m_proxy.vLock(); }
    ProxyLockGuard(const ProxyLockGuard&) = delete;
    ProxyLockGuard& operator=(const ProxyLockGuard&) = delete;
    ~ProxyLockGuard() { m_proxy.vUnlock(); }

private:
    CIMProxy& m_proxy;
};

// The transfer object's callbacks; their user data is the CIMProxy that set them.
void vICQFileProgressCallback(uint32_t nBytesSoFar, uint32_t nTotal, void* pUserData);
void vICQFileCheckFileCallback(const char* pszFileName, const char* pszTempFile,
                               int32_t nTempFileLen, void* pUserData, int32_t* pnVerdict);
int32_t bICQSendData2IcqClientCallback(const uint8_t* pData, int32_t nSize, void* pUserData);

}  // namespace zykim
