// The portable half of the socket layer: the socket owner and loopback connections
// made from the system's steps.
#include "common/net.h"

namespace zyk::net {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_id = other.Release();
    }
    return *this;
}

Socket ListenLoopback(uint16_t port, int backlog) {
    if (!StartNetwork()) return Socket();
    Socket s = NewIpv4Socket();
    if (!s.Valid()) return s;
    ReuseAddress(s.Get());
    if (!BindIpv4(s.Get(), kLoopbackIpv4, port) || !StartListening(s.Get(), backlog)) return Socket();
    return s;
}

Socket ConnectLoopback(uint16_t port) {
    if (!StartNetwork()) return Socket();
    Socket s = NewIpv4Socket();
    if (!s.Valid() || !ConnectIpv4(s.Get(), kLoopbackIpv4, port)) return Socket();
    return s;
}

}  // namespace zyk::net
