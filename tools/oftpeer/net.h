// TCP for the OFT2 peer, over the tools' common socket layer: IPv4 addresses, listen,
// accept and connect with time-outs, and whole-buffer sends and reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/net.h"

namespace oftpeer {

// Starts the socket library once (Windows); true when sockets can be used.
bool StartNetwork();

// An IPv4 endpoint given as "host:port" (host: a dotted address or a name).
struct Address {
    std::string host;
    uint16_t port = 0;
    std::string Text() const { return host + ":" + std::to_string(port); }
};
bool ParseAddress(const std::string& text, Address* address);

// One owned socket, closed when the object goes.
using Socket = zyk::net::Socket;

// Listens on the address (port 0: any free port); an invalid socket and *error on failure.
Socket Listen(const Address& address, std::string* error);
// The port a listening or connected socket is bound to locally (0 on failure).
uint16_t LocalPort(const Socket& socket);
// Waits up to timeoutMs for one connection.
Socket Accept(const Socket& listener, int timeoutMs, std::string* error);
// Connects, trying again until timeoutMs have passed (the peer may not listen yet).
Socket Connect(const Address& address, int timeoutMs, std::string* error);

// Sends every byte, waiting up to timeoutMs each time the socket takes nothing.
bool SendAll(const Socket& socket, const void* data, size_t length, int timeoutMs,
             std::string* error);

enum class ReadStatus { kComplete, kClosed, kTimedOut, kFailed };
// Reads exactly `length` bytes; each wait for more lasts at most timeoutMs.
// *received tells how many arrived, whatever the status.
ReadStatus ReadExactly(const Socket& socket, void* buffer, size_t length, int timeoutMs,
                       size_t* received, std::string* error);
// Reads and discards until the peer closes; false when timeoutMs pass without an end.
bool WaitForClose(const Socket& socket, int timeoutMs);
// Ends this side's sending; the peer reads end of stream.
void ShutdownSend(const Socket& socket);

std::string DescribeReadStatus(ReadStatus status);

}  // namespace oftpeer
