// zykproxy's socket interface, handed to the plug-in with SetISocket: a receive that
// never waits, and a send that writes what the socket takes and waits only when it is
// full, after handing its loop on (see blocking.h). The forwarder moves bytes with the
// same two functions.
#pragma once

#include <cstddef>

#include "sockets.h"
#include "zykim/zykim.h"

namespace zykproxy {

// What is there now: the bytes placed (> 0), 0 when nothing is there, the peer has
// ended its stream, or the call has read its turn's share; -1 on failure. The sockets
// of a running connection do not block.
int ReceiveWithoutWaiting(net::SocketId socket, char* buffer, int size);
// Sends every byte: false when the socket fails or the connection is interrupted (a
// time-out or a stop) first.
bool SendEveryByte(net::SocketId socket, const char* data, size_t length);

// The interface for the plug-in; it keeps no state, so one object serves every call.
ISocket& HostSocketInterface();

}  // namespace zykproxy
