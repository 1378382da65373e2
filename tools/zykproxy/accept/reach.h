// Reaching the destination a client asked for: its name resolved and a connection made,
// both within the connect time-out, and the failure in the classes a proxy reports.
#pragma once

#include <string>

#include "accept/handshake.h"
#include "sockets.h"

namespace zykproxy::accept {

struct Reached {
    net::Socket server;  // invalid when the destination could not be reached
    Failure failure = Failure::kGeneral;
    std::string why;  // with no server, for the log
};

// Resolves a name (on a thread of its own, so that a slow resolver cannot keep the
// connection past timeoutMs) and connects to its addresses in turn, all within
// timeoutMs; gives up at once when `cancel` becomes readable.
Reached Reach(const Destination& destination, int timeoutMs, net::SocketId cancel);

}  // namespace zykproxy::accept
