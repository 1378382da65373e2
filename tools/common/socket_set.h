// A set of sockets that stays registered from one wait to the next, so that a wait costs
// what is ready rather than everything watched: epoll on Linux. Windows has no such set
// for sockets: there each wait polls the whole set (WSAPoll), as Poll does.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/net.h"

namespace zyk::net {

class SocketSet {
public:
    SocketSet();
    ~SocketSet();
    SocketSet(const SocketSet&) = delete;
    SocketSet& operator=(const SocketSet&) = delete;

    bool Open(std::string* error);
    // Watches the socket, or changes how: `key` comes back with its events; watchRead
    // has the meaning it has in PollEntry (false: only a hang-up or an error, where the
    // system can tell them apart; see kPollReportsResets).
    void Watch(SocketId socket, uint64_t key, bool watchRead);
    // Stops watching the socket (nothing happens when it is not watched). A socket must
    // be forgotten before it is closed.
    void Forget(SocketId socket);

    struct Ready {
        uint64_t key;
        unsigned events;  // kReadable, kHangUp, kError, kInvalid
    };
    // Waits up to timeoutMs (-1: no limit) until a watched socket has events, and puts
    // them in *ready: the number of them, 0 on time-out or interruption, -1 on failure.
    int Wait(std::vector<Ready>* ready, int timeoutMs);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace zyk::net
