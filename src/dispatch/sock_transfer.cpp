// Socket transfer through the host's socket interface or the plug-in's own time-out
// routines.
#include "dispatch/sock_transfer.h"

#include <type_traits>

#include "os/socket.h"
#include "plugin/state.h"

namespace zykim {

namespace {
constexpr int32_t kWsaEInval = 10022;

class SockSendToClient final : public IClientSocket {
public:
    bool bSendToClient(const ZykConnection* pAppConnection, const uint8_t* pData,
                       int32_t nLength) override {
        return SockSend(pAppConnection, reinterpret_cast<const char*>(pData), nLength,
                        os::kWaitInfinite);
    }
};

// Without state, and nothing of it runs at process exit.
SockSendToClient g_sockClientSocket;
static_assert(std::is_trivially_destructible_v<SockSendToClient>);
}  // namespace

int32_t SockRecv(const ZykConnection* pConnection, char* pBuffer, int32_t nSize, uint32_t dwTimeout, bool bPeek) {
    // A missing record has no socket to read; the caller's read loop simply ends.
    if (pConnection == nullptr) return 0;
    if (ISocket* pSocket = g_pHostSocket.load(std::memory_order_acquire)) {
        const int32_t n = pSocket->Receive(pConnection->socket, pBuffer, nSize);
        // A count above the buffer is a host's fault; taken as is, it would read past it.
        return n > nSize ? nSize : n;
    }
    return RecvTimeout(pConnection->socket, pBuffer, nSize, dwTimeout, bPeek);
}

bool SockSend(const ZykConnection* pConnection, const char* pData, int32_t nLength, uint32_t dwTimeout) {
    if (pConnection == nullptr) return false;
    if (ISocket* pSocket = g_pHostSocket.load(std::memory_order_acquire))
        return static_cast<uint8_t>(pSocket->Send(pConnection->socket, pData, nLength)) != 0;
    return SendAll(pConnection->socket, pData, nLength, dwTimeout);
}

IClientSocket& SockClientSocket() { return g_sockClientSocket; }

int32_t RecvTimeout(int32_t nSocket, char* pBuffer, int32_t nSize, uint32_t dwTimeout, bool bPeek) {
    // A negative size would reach recv as a huge unsigned length on POSIX.
    if (nSize < 0) throw CWinSockException(kWsaEInval, 0);
    const os::SocketTransfer result = os::ReceiveWithin(nSocket, pBuffer, nSize, dwTimeout, bPeek);
    if (result.nCount < 0) throw CWinSockException(result.nError, 0);
    return result.nCount;
}

int32_t SendTimeout(int32_t nSocket, const char* pData, int32_t nLength, uint32_t dwTimeout) {
    if (nLength < 0) throw CWinSockException(kWsaEInval, 0);
    const os::SocketTransfer result = os::SendWithin(nSocket, pData, nLength, dwTimeout);
    if (result.nCount < 0) throw CWinSockException(result.nError, 0);
    return result.nCount;
}

bool SendAll(int32_t nSocket, const char* pData, int32_t nLength, uint32_t dwTimeout) {
    int32_t nSent = 0;
    while (nSent < nLength) {
        const int32_t n = SendTimeout(nSocket, pData + nSent, nLength - nSent, dwTimeout);
        if (n == 0) return false;
        nSent += n;
    }
    return nSent == nLength;
}

}  // namespace zykim
