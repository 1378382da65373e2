// Socket transfer: every read and write of a connection's sockets, through the host's
// socket interface when it has set one, else through the plug-in's own time-out
// routines, which report failures by throwing CWinSockException.
#pragma once

#include <cstdint>

#include "os/wait.h"
#include "plugin/sock_error.h"
#include "proxy/client_socket.h"
#include "zykim/zykim.h"

namespace zykim {

// Reads from the connection's socket: the host's Receive(socket, buffer, size) when an
// ISocket is set (time-out and peek are not passed on; its result comes back as is),
// else RecvTimeout. 0: nothing arrived or the peer closed.
int32_t SockRecv(const ZykConnection* pConnection, char* pBuffer, int32_t nSize, uint32_t dwTimeout, bool bPeek);
// Writes to the connection's socket: the host's Send, whose low byte is the result,
// when an ISocket is set, else SendAll. True when the data went out.
bool SockSend(const ZykConnection* pConnection, const char* pData, int32_t nLength, uint32_t dwTimeout);
// The way to the client that every connection object is given: SockSend without a
// time-out.
IClientSocket& SockClientSocket();

// Waits up to dwTimeout for the socket to be readable, then one recv (peek: MSG_PEEK).
// Returns the bytes received, 0 on time-out or when the peer has closed.
int32_t RecvTimeout(int32_t nSocket, char* pBuffer, int32_t nSize, uint32_t dwTimeout, bool bPeek);
// Waits up to dwTimeout for the socket to be writable, then one send. Returns the bytes
// that send took, 0 on time-out.
int32_t SendTimeout(int32_t nSocket, const char* pData, int32_t nLength, uint32_t dwTimeout);
// Sends all nLength bytes, each step under the time-out. False on a time-out part-way
// (the bytes before it stay sent) and for a negative length; true for length 0.
bool SendAll(int32_t nSocket, const char* pData, int32_t nLength, uint32_t dwTimeout);

}  // namespace zykim
