// A small rendezvous proxy server: a client creates a session and gets `created` with its
// pin, the peer joins by pin and cookie, both get `ready`, and the server relays the two
// connections until both directions have ended. Its frames go out as separate writes
// some milliseconds apart, as they come on a real network.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net.h"
#include "rendezvous.h"

namespace oftpeer {

struct RvServerOptions {
    int gapMs = 20;         // between the two readies, and before the relay begins
    int timeoutMs = 30000;  // for a request to come, and for a session to be joined
};

class RendezvousServer {
public:
    explicit RendezvousServer(RvServerOptions options = {}) : m_options(options) {}
    ~RendezvousServer() { Stop(); }
    RendezvousServer(const RendezvousServer&) = delete;
    RendezvousServer& operator=(const RendezvousServer&) = delete;

    // Serves on the listening socket, in threads of its own, until Stop.
    void Start(Socket listener);
    // Ends the sessions (within a fifth of a second) and waits for the threads.
    void Stop();
    // Waits until `count` sessions have been relayed to their end; false after timeoutMs
    // (-1: no limit).
    bool WaitForRelayed(int count, int timeoutMs);

private:
    struct Waiting {
        std::array<uint8_t, 8> cookie{};
        Socket joiner;  // set by the peer's join
    };

    void AcceptLoop();
    void Serve(Socket client);
    void Create(Socket creator, const RvRequest& request);
    void Join(Socket joiner, const RvRequest& request);
    // The creator's side once a peer has joined: ready to both, then the relay.
    void Begin(Socket creator, Socket joiner);
    void Relay(const Socket& a, const Socket& b);
    // Waits until the socket is readable; false on stopping or after the time-out.
    bool WaitReadable(const Socket& s);
    bool Stopping();
    void Pause();

    const RvServerOptions m_options;
    Socket m_listener;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    std::map<uint16_t, std::shared_ptr<Waiting>> m_waiting;  // sessions by pin
    uint16_t m_nextPin = 0;
    int m_relayed = 0;
    std::vector<std::thread> m_threads;  // one per connection
    std::thread m_acceptor;
};

}  // namespace oftpeer
