// The socket set on Linux: epoll, level-triggered, so that a socket that was readable
// and not drained is reported again.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "common/socket_set.h"

namespace zyk::net {

struct SocketSet::State {
    int epoll = -1;
    std::vector<epoll_event> events = std::vector<epoll_event>(256);
};

SocketSet::SocketSet() : m_state(std::make_unique<State>()) {}

SocketSet::~SocketSet() {
    if (m_state->epoll >= 0) ::close(m_state->epoll);
}

bool SocketSet::Open(std::string* error) {
    m_state->epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (m_state->epoll < 0) *error = "epoll_create1: " + LastErrorText();
    return m_state->epoll >= 0;
}

void SocketSet::Watch(SocketId socket, uint64_t key, bool watchRead) {
    // A hang-up and an error are always reported.
    epoll_event e{};
    e.events = watchRead ? static_cast<uint32_t>(EPOLLIN) : 0u;
    e.data.u64 = key;
    const int fd = static_cast<int>(socket);
    if (::epoll_ctl(m_state->epoll, EPOLL_CTL_MOD, fd, &e) != 0 && errno == ENOENT)
        ::epoll_ctl(m_state->epoll, EPOLL_CTL_ADD, fd, &e);
}

void SocketSet::Forget(SocketId socket) {
    epoll_event unused{};
    ::epoll_ctl(m_state->epoll, EPOLL_CTL_DEL, static_cast<int>(socket), &unused);
}

int SocketSet::Wait(std::vector<Ready>* ready, int timeoutMs) {
    ready->clear();
    std::vector<epoll_event>& events = m_state->events;
    const int n = ::epoll_wait(m_state->epoll, events.data(), static_cast<int>(events.size()), timeoutMs);
    if (n < 0) return errno == EINTR ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        const uint32_t r = events[static_cast<size_t>(i)].events;
        ready->push_back({events[static_cast<size_t>(i)].data.u64,
                          ((r & EPOLLIN) ? kReadable : 0u) | ((r & EPOLLHUP) ? kHangUp : 0u) |
                              ((r & EPOLLERR) ? kError : 0u)});
    }
    return n;
}

}  // namespace zyk::net
