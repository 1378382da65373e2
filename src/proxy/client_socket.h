// A connection object's one way to the messenger client's socket. The layer that owns
// the sockets hands it to every CIMProxy it makes, as the proxy hands its transfer
// object the callbacks through which that writes.
#pragma once

#include <cstdint>

#include "zykim/zykim.h"

namespace zykim {

class IClientSocket {
public:
    // Sends all nLength bytes to the connection's socket, waiting as long as that takes;
    // true when they went out. The plug-in's own socket routines throw
    // CWinSockException on a failed socket call.
    virtual bool bSendToClient(const ZykConnection* pAppConnection, const uint8_t* pData,
                               int32_t nLength) = 0;

protected:
    ~IClientSocket() = default;
};

}  // namespace zykim
