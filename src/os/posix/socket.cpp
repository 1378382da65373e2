// POSIX backend of the socket transfers: the transfer first, and poll (no limit on
// descriptor numbers, unlike select) only when it would block; non-blocking calls where
// a time-out must also bound the transfer itself, MSG_NOSIGNAL so a peer that has gone
// never raises SIGPIPE, and EINTR retried.
#include "os/socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>

namespace zykim::os {

namespace {

using Clock = std::chrono::steady_clock;

// Native errno -> Windows Sockets code of the same meaning.
struct ErrnoCode {
    int nErrno;
    int32_t nCode;
};
constexpr ErrnoCode kErrnoCodes[] = {
    {EINTR, 10004},           {EBADF, 10009},         {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},        {EMFILE, 10024},
    {EWOULDBLOCK, 10035},     {EAGAIN, 10035},        {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},      {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {ENOTSUP, 10045},         {EPFNOSUPPORT, 10046},  {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
    {ENETUNREACH, 10051},     {ENETRESET, 10052},     {ECONNABORTED, 10053},
    {ECONNRESET, 10054},      {ENOBUFS, 10055},       {ENOMEM, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},      {EPIPE, 10058},
    {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {ELOOP, 10062},         {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},
    {EUSERS, 10068},          {EDQUOT, 10069},        {ESTALE, 10070},
    {EREMOTE, 10071},
};

// Milliseconds left until the deadline, as a poll time-out (-1: no limit).
int PollTimeout(bool unlimited, Clock::time_point deadline) {
    if (unlimited) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// 1 ready, 0 time-out, -1 failure (errno set).
int WaitReady(int fd, short events, bool unlimited, Clock::time_point deadline) {
    if (fd < 0) {
        // poll skips negative descriptors; select on an invalid socket reports this.
        errno = ENOTSOCK;
        return -1;
    }
    for (;;) {
        pollfd p{fd, events, 0};
        const int timeout = PollTimeout(unlimited, deadline);
        const int r = ::poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) {
            // A poll time-out is capped at INT_MAX ms; wait again until the deadline.
            if (timeout == 0 || PollTimeout(unlimited, deadline) == 0) return 0;
            continue;
        }
        if (p.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        // Readable, writable, hung up or failed: the transfer itself tells which.
        return 1;
    }
}

// One transfer, waiting only when it would block: a socket that is ready costs one
// system call, not a poll and then the call. `transfer` returns the recv/send result
// with errno set.
template <typename Transfer>
SocketTransfer Within(int32_t socket, short events, uint32_t timeoutMs, Transfer transfer) {
    if (socket < 0) return {-1, SocketErrorCode(ENOTSOCK)};
    const bool unlimited = timeoutMs == kWaitInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const ssize_t n = transfer();
        if (n >= 0) return {static_cast<int32_t>(n), 0};
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) return {-1, SocketErrorCode(error)};
        // Nothing to take yet (a time-out of 0 only polls, and this was the poll).
        if (timeoutMs == 0) return {0, 0};
        const int ready = WaitReady(socket, events, unlimited, deadline);
        if (ready < 0) return {-1, SocketErrorCode(errno)};
        if (ready == 0) return {0, 0};
    }
}

}  // namespace

SocketTransfer ReceiveWithin(int32_t socket, char* buffer, int32_t size, uint32_t timeoutMs,
                             bool peek) {
    const int flags = MSG_DONTWAIT | (peek ? MSG_PEEK : 0);
    return Within(socket, POLLIN, timeoutMs, [&] {
        return ::recv(socket, buffer, static_cast<size_t>(size), flags);
    });
}

SocketTransfer SendWithin(int32_t socket, const char* data, int32_t length, uint32_t timeoutMs) {
    // Without a time limit a blocking socket may block in send itself until every byte
    // is queued: one call instead of a poll and a partial send each time the peer reads.
    const int flags = MSG_NOSIGNAL | (timeoutMs == kWaitInfinite ? 0 : MSG_DONTWAIT);
    return Within(socket, POLLOUT, timeoutMs, [&] {
        return ::send(socket, data, static_cast<size_t>(length), flags);
    });
}

int32_t SocketErrorCode(int nativeError) {
    for (const ErrnoCode& e : kErrnoCodes)
        if (e.nErrno == nativeError) return e.nCode;
    return nativeError;
}

}  // namespace zykim::os
