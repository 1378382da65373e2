// The connection exports: the connection table and the data pump. Client bytes go to
// the server at once; server bytes go through the connection's CIMProxy.
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>

#include "dispatch/connection_table.h"
#include "dispatch/proxy_factory.h"
#include "dispatch/sock_transfer.h"
#include "plugin/guard.h"
#include "plugin/state.h"
#include "plugin/trace.h"
#include "proxy/im_proxy.h"
#include "zykim/zykim.h"

namespace zykim {

namespace {

// One direction of the data pump: which export it is (its name appears in the trace),
// how large a block it reads, and where a block goes.
struct PumpDirection {
    const char* pszExport;
    int32_t nBufferSize;
    bool bFromServer;  // server to client, through the proxy; else client to server, at once
};

constexpr PumpDirection kFromApplication{"OnRequestFromApplication", 65537, false};
constexpr PumpDirection kFromServer{"OnRequestFromServer", 65536, true};

// The data exports count in 64 bits and return at most this: a host that reads 0 or less
// as "closed" must never see a total that wrapped past 2 GiB.
int32_t CappedTotal(int64_t total) {
    return total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
}

std::shared_ptr<CIMProxy> FindProxy(const ZykConnection* pApp) {
    LockGuard guard(g_tableLock);
    return g_pConnectionTable != nullptr ? g_pConnectionTable->Find(pApp) : nullptr;
}

std::shared_ptr<CIMProxy> MakeProxy(int32_t hostValue, int32_t nAppSocket) {
    return std::make_shared<CIMProxy>(hostValue, nAppSocket, SockClientSocket());
}

std::atomic<PFN_CREATE_PROXY> g_pfnCreateProxy{&MakeProxy};

std::shared_ptr<CIMProxy> CreateProxy(int hostValue, int32_t nAppSocket) {
    try {
        return g_pfnCreateProxy.load()(hostValue, nAppSocket);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void NewConnection(int hostValue, const ZykConnection* pApp) {
    if (pApp == nullptr) {
        TraceWarning(" call OnNewConnect( 0x%08x )\n", 0);
        return;
    }
    std::shared_ptr<CIMProxy> old;
    {
        LockGuard guard(g_tableLock);
        if (g_pConnectionTable != nullptr) old = g_pConnectionTable->Remove(pApp);
        if (old) TraceInfo("[%05d] OnNewConnect: erase from list\n", pApp->socket);
    }
    if (old) {
        {
            ProxyLockGuard lock(*old);
            old->vEndConnection(pApp);
        }
        TraceInfo("[%05d] OnNewConnect: delete\n", pApp->socket);
        old.reset();  // destroyed here, or by a data call that still holds it
    }
    std::shared_ptr<CIMProxy> proxy = CreateProxy(hostValue, pApp->socket);
    if (!proxy) {
        TraceError(" OnNewConnection: cannot create CIMProxy\n");
        return;
    }
    // An object entered meanwhile by another call for the same handle is destroyed
    // after the table lock is released: its destructor may report progress.
    std::shared_ptr<CIMProxy> replaced;
    {
        LockGuard guard(g_tableLock);
        TraceInfo("[%05d] OnNewConnect: insert\n", pApp->socket);
        if (g_pConnectionTable != nullptr) replaced = g_pConnectionTable->Set(pApp, proxy);
    }
    replaced.reset();
    ProxyLockGuard lock(*proxy);
    proxy->vNewConnection(pApp);
}

// Hands one server block to the connection's proxy, under its proxy lock; a connection
// that is not in the table drops it.
void DeliverToProxy(const ZykConnection* app, const char* pBlock, int32_t n) {
    // The reference keeps the proxy alive even if the connection is ended on another
    // thread meanwhile.
    const std::shared_ptr<CIMProxy> proxy = FindProxy(app);
    if (!proxy) {
        TraceWarning(" OnRequestFromServer: cannot find in list\n");
        return;
    }
    ProxyLockGuard lock(*proxy);
    proxy->vRequestFromServer(reinterpret_cast<const uint8_t*>(pBlock), n, app);
}

// Drains the reading side of one direction block by block until nothing more arrives,
// and returns the bytes read, capped. A socket exception ends the loop and is traced.
int32_t Pump(const PumpDirection& direction, const ZykConnection* app, const ZykConnection* server) {
    if (app == nullptr || server == nullptr) {
        TraceWarning(" call %s( 0x%08x, 0x%08x )\n", direction.pszExport,
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(app)),
                     static_cast<unsigned>(reinterpret_cast<uintptr_t>(server)));
        return 0;
    }
    const ZykConnection* const from = direction.bFromServer ? server : app;
    int64_t total = 0;
    std::unique_ptr<char[]> buffer(new char[direction.nBufferSize]);
    try {
        for (;;) {
            const int32_t n = SockRecv(from, buffer.get(), direction.nBufferSize, 0, false);
            if (n <= 0) break;
            DirectLine("++++++++ [%d, %d] %s recv %d\n", app->socket, server->socket,
                       direction.pszExport, n);
            total += n;
            if (direction.bFromServer) {
                DeliverToProxy(app, buffer.get(), n);
            } else {
                const bool sent = SockSend(server, buffer.get(), n, os::kWaitInfinite);
                DirectLine("++++++++ [%d, %d] %s sent %d\n", app->socket, server->socket,
                           direction.pszExport, sent ? 1 : 0);
            }
        }
    } catch (const CWinSockException& e) {
        DirectLine("CWinSockException (%s): %s\n", direction.pszExport,
                   GetWinSockErrorText(e.m_nError));
    }
    return CappedTotal(total);
}

}  // namespace

PFN_CREATE_PROXY SetProxyFactory(PFN_CREATE_PROXY pfnCreate) {
    return g_pfnCreateProxy.exchange(pfnCreate != nullptr ? pfnCreate : &MakeProxy);
}

}  // namespace zykim

using namespace zykim;

ZYKIM_API void ZYKIM_CALL OnNewConnectionEx(int hostValue, int /*unused*/, ZykConnection* app) {
    CallGuarded([&] { NewConnection(hostValue, app); });
}

ZYKIM_API void ZYKIM_CALL OnNewConnection(int hostValue, ZykConnection* app) {
    OnNewConnectionEx(hostValue, 0, app);
}

ZYKIM_API int ZYKIM_CALL OnRequestFromApplication(ZykConnection* app, ZykConnection* server) {
    return CallGuarded(0, [&] { return Pump(kFromApplication, app, server); });
}

ZYKIM_API int ZYKIM_CALL OnRequestFromServer(ZykConnection* app, ZykConnection* server) {
    return CallGuarded(0, [&] { return Pump(kFromServer, app, server); });
}

ZYKIM_API void ZYKIM_CALL OnEndConnection(ZykConnection* app) {
    CallGuarded([&] {
        if (app == nullptr) {
            TraceWarning(" call OnEndConnection( 0x%08x )\n", 0);
            return;
        }
        std::shared_ptr<CIMProxy> proxy;
        {
            LockGuard guard(g_tableLock);
            if (g_pConnectionTable != nullptr) proxy = g_pConnectionTable->Find(app);
            if (proxy) {
                TraceInfo("[%05d] OnEndConnect: erase from list\n", app->socket);
                // The first end-connection handling runs under the table lock only when
                // it cannot wait: the proxy lock is free right now (a plain try, no
                // message dispatch) and no body is held, whose reset could report
                // progress and so wait for the callback lock. Otherwise the handling
                // below, under the proxy lock alone, does the same work.
                if (proxy->bTryLock()) {
                    if (proxy->bTransferIdle()) proxy->vEndConnection(app);
                    proxy->vUnlock();
                }
                g_pConnectionTable->Remove(app);
            }
        }
        if (!proxy) {
            TraceWarning(" OnEndConnection: cannot find in list\n");
            return;
        }
        {
            ProxyLockGuard lock(*proxy);
            proxy->vEndConnection(app);
        }
        TraceInfo("[%05d] OnEndConnect: delete\n", app->socket);
    });
}
