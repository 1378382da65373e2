// Sockets on POSIX: descriptors made with close-on-exec, poll for waiting, MSG_NOSIGNAL
// so that a vanished peer never raises SIGPIPE.
#include <netdb.h>
#include <sys/un.h>
#ifdef __linux__
#include <linux/netfilter_ipv4.h>             // SO_ORIGINAL_DST
#include <linux/netfilter_ipv6/ip6_tables.h>  // IP6T_SO_ORIGINAL_DST
#endif

#include <cstring>

#include "common/ip_address.h"
#include "common/native_socket.h"

namespace zyk::net {

namespace {

int Fd(SocketId id) { return Native(id); }

}  // namespace

std::string ResolveErrorText(int code) { return gai_strerror(code); }

bool StartNetwork() { return true; }

int LastError() { return errno; }

void SetBlocking(SocketId socket, bool blocking) {
    const int flags = fcntl(Fd(socket), F_GETFL);
    if (flags < 0) return;
    fcntl(Fd(socket), F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

int Wait(SocketId socket, bool forWrite, int timeoutMs) {
    pollfd p{Fd(socket), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
}

int Receive(SocketId socket, char* buffer, int size) {
    for (;;) {
        const ssize_t n = ::recv(Fd(socket), buffer, static_cast<size_t>(size), 0);
        if (n < 0 && errno == EINTR) continue;
        return n < 0 ? kFailed : static_cast<int>(n);
    }
}

int SendSome(SocketId socket, const char* data, int length) {
    for (;;) {
        const ssize_t n = ::send(Fd(socket), data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? kNothingPending : kFailed;
    }
}

Socket NewSocket(int family, int type, int protocol) {
    return Socket(::socket(family, type | SOCK_CLOEXEC, protocol));
}

void ReuseAddress(SocketId socket) { SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1); }

void PrepareToListen(SocketId socket) { ReuseAddress(socket); }

ConnectResult ConnectWithin(SocketId socket, const sockaddr* address, socklen_t length,
                            int timeoutMs, SocketId cancel) {
    const int fd = Fd(socket);
    int rc = ::connect(fd, address, length);
    if (rc == 0) return ConnectResult::kConnected;
    if (errno != EINPROGRESS) return ConnectResult::kFailed;
    pollfd p[2] = {{fd, POLLOUT, 0}, {cancel == kNoSocket ? -1 : Fd(cancel), POLLIN, 0}};
    do rc = ::poll(p, 2, timeoutMs);
    while (rc < 0 && errno == EINTR);
    if (rc == 0) return ConnectResult::kTimedOut;
    if (p[1].revents != 0 && p[0].revents == 0) return ConnectResult::kCancelled;
    int soError = 0;
    socklen_t size = sizeof soError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &size);
    errno = soError;
    return soError == 0 ? ConnectResult::kConnected : ConnectResult::kFailed;
}

ConnectError ClassifyConnectError(int code) {
    switch (code) {
        case ENETUNREACH: case ENETDOWN: return ConnectError::NetworkUnreachable;
        case EHOSTUNREACH: case EHOSTDOWN: return ConnectError::HostUnreachable;
        case ECONNREFUSED: return ConnectError::Refused;
        case ETIMEDOUT: return ConnectError::TimedOut;
        default: return ConnectError::Other;
    }
}

void Socket::Close() {
    if (m_id != kNoSocket) ::close(Fd(m_id));
    m_id = kNoSocket;
}

NetworkSession::NetworkSession() : m_ok(true) {}
NetworkSession::~NetworkSession() = default;

Socket Accept(SocketId listener, std::string* error) {
    for (;;) {
        const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            SetNoDelay(fd);
            return Socket(fd);
        }
        if (errno == EINTR) continue;
        *error = "accept: " + LastErrorText();
        return Socket();
    }
}

// poll reports POLLHUP only once both directions have ended or the connection was
// reset, so a socket whose receiving direction has ended can stay in the wait.
const bool kPollReportsResets = true;

Socket ConnectLocal(const std::string& path, std::string* error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        *error = "bad local socket path '" + path + "'";
        return Socket();
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Socket s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.Valid()) {
        *error = "socket: " + LastErrorText();
        return Socket();
    }
    int rc;
    do rc = ::connect(Fd(s.Get()), reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        *error = "connect " + path + ": " + LastErrorText();
        return Socket();
    }
    return s;
}

void SetSendTimeout(SocketId socket, int timeoutMs) {
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(Fd(socket), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int Poll(std::vector<PollEntry>& entries, int timeoutMs) {
    std::vector<pollfd> fds(entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        fds[i] = pollfd{Fd(entries[i].socket), static_cast<short>(entries[i].watchRead ? POLLIN : 0), 0};
    const int rc = ::poll(fds.data(), fds.size(), timeoutMs);
    for (size_t i = 0; i < entries.size(); ++i) {
        const short r = rc > 0 ? fds[i].revents : 0;
        entries[i].events = ((r & POLLIN) ? kReadable : 0u) | ((r & POLLHUP) ? kHangUp : 0u) |
                            ((r & POLLERR) ? kError : 0u) | ((r & POLLNVAL) ? kInvalid : 0u);
    }
    if (rc < 0) return errno == EINTR ? 0 : -1;
    return rc;
}

int ReceiveNow(SocketId socket, char* buffer, int size) {
    for (;;) {
        const ssize_t n = ::recv(Fd(socket), buffer, static_cast<size_t>(size), MSG_DONTWAIT);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? kNothingPending : kFailed;
    }
}

int ReceiveSome(SocketId socket, char* buffer, int size) { return ReceiveNow(socket, buffer, size); }

int ReceiveWait(SocketId socket, char* buffer, int size, int timeoutMs) {
    pollfd p{Fd(socket), POLLIN, 0};
    int rc;
    do rc = ::poll(&p, 1, timeoutMs);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) return kFailed;
    if (rc == 0) return kNothingPending;
    return ReceiveNow(socket, buffer, size);
}

bool SendAll(SocketId socket, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(Fd(socket), data, length, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

SendProgress GetSendProgress(SocketId socket) {
    SendProgress progress;
    progress.acknowledged = AcknowledgedBytes(socket);
    pollfd p{Fd(socket), POLLOUT, 0};
    progress.writable = ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) != 0;
    return progress;
}

bool ShutdownSend(SocketId socket) { return ::shutdown(Fd(socket), SHUT_WR) == 0; }

void Interrupt(SocketId socket) { ::shutdown(Fd(socket), SHUT_RDWR); }

PeerState ProbePeer(SocketId socket, bool sendOpen) {
    char byte;
    ssize_t n;
    do n = ::recv(Fd(socket), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) return PeerState::Open;
    if (n < 0) return PeerState::Reset;
    if (!sendOpen) return PeerState::Ended;
    // The end of the stream: in order, unless a reset came after it (or its error was
    // already taken by an earlier receive), which an empty send still reports.
    do n = ::send(Fd(socket), &byte, 0, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK ? PeerState::Reset : PeerState::Ended;
}

std::string LastErrorText() { return std::strerror(errno); }

#ifdef __linux__
namespace {

// The original destination as netfilter's connection tracking has it, asked at one
// level; false with errno set when that level does not know the connection.
bool AskOriginalDestination(int fd, bool v6, IpEndpoint* out) {
    sockaddr_in6 address{};  // large enough for either
    socklen_t length = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    const int rc = v6 ? getsockopt(fd, SOL_IPV6, IP6T_SO_ORIGINAL_DST, &address, &length)
                      : getsockopt(fd, SOL_IP, SO_ORIGINAL_DST, &address, &length);
    if (rc != 0) return false;
    IpEndpoint found;
    if (address.sin6_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        found.address = IpAddress::V4(reinterpret_cast<const uint8_t*>(&v4.sin_addr));
        found.port = ntohs(v4.sin_port);
    } else if (address.sin6_family == AF_INET6) {
        found.address = IpAddress::V6(reinterpret_cast<const uint8_t*>(&address.sin6_addr));
        found.port = ntohs(address.sin6_port);
    } else {
        errno = EAFNOSUPPORT;
        return false;
    }
    *out = found;
    return true;
}

}  // namespace

bool OriginalDestination(SocketId socket, IpEndpoint* out, std::string* error) {
    IpEndpoint local;
    if (!LocalAddress(socket, &local)) {
        *error = "not a connected IP socket: " + LastErrorText();
        return false;
    }
    // An IPv4 client of a dual-stack listener is tracked as an IPv4 connection.
    const bool v6 = local.address.IsV6() && !local.address.IsV4Mapped();
    if (AskOriginalDestination(Fd(socket), v6, out)) return true;
    *error = std::string("the original destination is unknown (") +
             (v6 ? "IP6T_SO_ORIGINAL_DST" : "SO_ORIGINAL_DST") + ": " + LastErrorText() +
             "); is the connection redirected by a netfilter rule?";
    return false;
}
#else
bool OriginalDestination(SocketId, IpEndpoint*, std::string* error) {
    *error = "the original destination of a redirected connection is known on Linux only";
    return false;
}
#endif

bool WakePair::Open(std::string* error) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        *error = "socketpair: " + LastErrorText();
        return false;
    }
    m_read = Socket(fds[0]);
    m_write = Socket(fds[1]);
    SetBlocking(fds[0], false);
    SetBlocking(fds[1], false);
    return true;
}

void WakePair::Signal() {
    // send() is async-signal-safe; a full pipe is already readable, so a lost byte is fine.
    const int saved = errno;
    const char byte = 1;
    (void)!::send(Fd(m_write.Get()), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    errno = saved;
}

void WakePair::Drain() {
    char buffer[256];
    while (::recv(Fd(m_read.Get()), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace zyk::net
