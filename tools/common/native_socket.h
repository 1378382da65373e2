// For the socket layer's own files: the system's socket headers, a SocketId in the
// system's type, and the steps each half provides for the shared code.
#pragma once

#include <string>

#include "common/net.h"
#include "common/sockets.h"

#ifndef _WIN32
#include <netdb.h>
#endif

namespace zyk::net {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

inline NativeSocket Native(SocketId id) { return static_cast<NativeSocket>(id); }

// The text of a failed getaddrinfo (per system).
std::string ResolveErrorText(int code);

bool SetIntOption(SocketId socket, int level, int name, int value);

// A new socket that child processes do not inherit.
Socket NewSocket(int family, int type, int protocol);
// The options of a socket about to listen on a host's port.
void PrepareToListen(SocketId socket);
enum class ConnectResult { kConnected, kTimedOut, kCancelled, kFailed };
// Connects a non-blocking socket within timeoutMs, giving up early once `cancel` (when
// not kNoSocket) is readable; on kFailed the thread's socket error says why.
ConnectResult ConnectWithin(SocketId socket, const sockaddr* address, socklen_t length,
                            int timeoutMs, SocketId cancel);
// The kind of a failed connect's socket error (per system).
ConnectError ClassifyConnectError(int code);
#ifndef _WIN32
// The bytes of the connection that its peer has acknowledged (Linux TCP), else 0.
uint64_t AcknowledgedBytes(SocketId socket);
#endif

}  // namespace zyk::net
