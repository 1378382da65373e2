// Sockets on POSIX: descriptors made with close-on-exec, poll for waiting, MSG_NOSIGNAL
// so that a vanished peer never raises SIGPIPE.
#include "platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zykproxy::net {

namespace {

int Fd(SocketId id) { return static_cast<int>(id); }

struct AddressList {
    addrinfo* list = nullptr;
    ~AddressList() {
        if (list != nullptr) freeaddrinfo(list);
    }
};

bool Resolve(const Endpoint& where, bool passive, AddressList* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const std::string port = std::to_string(where.port);
    const int rc = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &out->list);
    if (rc != 0) {
        *error = "cannot resolve " + where.host + ": " + gai_strerror(rc);
        return false;
    }
    return true;
}

bool SetBlocking(int fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

void SetNoDelay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

void Socket::Close() {
    if (m_id != kNoSocket) ::close(Fd(m_id));
    m_id = kNoSocket;
}

NetworkSession::NetworkSession() : m_ok(true) {}
NetworkSession::~NetworkSession() = default;

Socket Listen(const Endpoint& where, int backlog, std::string* error) {
    AddressList addresses;
    if (!Resolve(where, true, &addresses, error)) return Socket();
    for (addrinfo* a = addresses.list; a != nullptr; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!s.Valid()) {
            *error = "socket: " + LastErrorText();
            continue;
        }
        const int on = 1;
        setsockopt(Fd(s.Get()), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(Fd(s.Get()), a->ai_addr, a->ai_addrlen) != 0) {
            *error = "bind " + FormatEndpoint(where) + ": " + LastErrorText();
            continue;
        }
        if (::listen(Fd(s.Get()), backlog) != 0) {
            *error = "listen: " + LastErrorText();
            continue;
        }
        return s;
    }
    return Socket();
}

uint16_t LocalPort(SocketId socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(Fd(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

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

Socket Connect(const Endpoint& where, int timeoutMs, std::string* error) {
    AddressList addresses;
    if (!Resolve(where, false, &addresses, error)) return Socket();
    for (addrinfo* a = addresses.list; a != nullptr; a = a->ai_next) {
        Socket s(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!s.Valid()) {
            *error = "socket: " + LastErrorText();
            continue;
        }
        const int fd = Fd(s.Get());
        // A non-blocking connect bounds the wait; the socket is blocking again afterwards.
        SetBlocking(fd, false);
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            do rc = ::poll(&p, 1, timeoutMs);
            while (rc < 0 && errno == EINTR);
            if (rc == 0) {
                *error = "connect " + FormatEndpoint(where) + ": timed out";
                continue;
            }
            int soError = 0;
            socklen_t length = sizeof soError;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length);
            errno = soError;
            rc = soError == 0 ? 0 : -1;
        }
        if (rc != 0) {
            *error = "connect " + FormatEndpoint(where) + ": " + LastErrorText();
            continue;
        }
        SetBlocking(fd, true);
        SetNoDelay(fd);
        return s;
    }
    return Socket();
}

// poll reports POLLHUP only once both directions have ended or the connection was
// reset, so a socket whose receiving direction has ended can stay in the wait.
const bool kPollReportsResets = true;

bool Resolves(const Endpoint& where, std::string* error) {
    AddressList addresses;
    return Resolve(where, false, &addresses, error);
}

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

void ShutdownSend(SocketId socket) { ::shutdown(Fd(socket), SHUT_WR); }

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

void ResetOnClose(SocketId socket) {
    const linger abort{1, 0};
    setsockopt(Fd(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

std::string LastErrorText() { return std::strerror(errno); }

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

}  // namespace zykproxy::net
