// The socket set on Windows: the registrations kept here, and each wait a WSAPoll over
// them through Poll, which leaves out the sockets watched for a reset only.
#include <unordered_map>

#include "common/socket_set.h"

namespace zyk::net {

struct SocketSet::State {
    struct Entry {
        uint64_t key;
        bool watchRead;
    };
    std::unordered_map<SocketId, Entry> watched;
    std::vector<PollEntry> entries;
    std::vector<uint64_t> keys;
};

SocketSet::SocketSet() : m_state(std::make_unique<State>()) {}

SocketSet::~SocketSet() = default;

bool SocketSet::Open(std::string*) { return true; }

void SocketSet::Watch(SocketId socket, uint64_t key, bool watchRead) {
    m_state->watched[socket] = State::Entry{key, watchRead};
}

void SocketSet::Forget(SocketId socket) { m_state->watched.erase(socket); }

int SocketSet::Wait(std::vector<Ready>* ready, int timeoutMs) {
    ready->clear();
    State& s = *m_state;
    s.entries.clear();
    s.keys.clear();
    for (const auto& [socket, entry] : s.watched) {
        s.entries.push_back({socket, entry.watchRead});
        s.keys.push_back(entry.key);
    }
    const int rc = Poll(s.entries, timeoutMs);
    if (rc <= 0) return rc;
    for (size_t i = 0; i < s.entries.size(); ++i)
        if (s.entries[i].events != 0) ready->push_back({s.keys[i], s.entries[i].events});
    return static_cast<int>(ready->size());
}

}  // namespace zyk::net
