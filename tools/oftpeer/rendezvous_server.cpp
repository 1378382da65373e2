// The rendezvous proxy server: sessions by pin, the readies, and the relay.
#include "rendezvous_server.h"

#include <chrono>
#include <random>

#include "common/ip_address.h"

namespace oftpeer {

namespace net = zyk::net;

namespace {

constexpr int kSliceMs = 200;  // how long a wait goes before it looks at a stop

bool SendFrame(const Socket& s, const RvFrame& frame, int timeoutMs) {
    const std::vector<uint8_t> bytes = SerializeRvFrame(frame);
    std::string error;
    return SendAll(s, bytes.data(), bytes.size(), timeoutMs, &error);
}

// The IPv4 address the client reached the server on, for `created`.
uint32_t LocalIpv4(const Socket& s) {
    net::IpEndpoint local;
    if (!net::LocalAddress(s.Get(), &local)) return 0;
    const net::IpAddress a = local.address.Unmapped();
    if (!a.IsV4()) return 0;
    return (uint32_t{a.bytes[0]} << 24) | (uint32_t{a.bytes[1]} << 16) | (uint32_t{a.bytes[2]} << 8) | a.bytes[3];
}

}  // namespace

void RendezvousServer::Start(Socket listener) {
    m_listener = std::move(listener);
    m_nextPin = static_cast<uint16_t>(std::random_device{}());
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

void RendezvousServer::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_acceptor.joinable()) m_acceptor.join();
    // No thread is started once the acceptor has ended.
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
}

bool RendezvousServer::WaitForRelayed(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto done = [&] { return m_relayed >= count; };
    if (timeoutMs < 0) {
        m_changed.wait(lock, done);
        return true;
    }
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool RendezvousServer::Stopping() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_stopping;
}

void RendezvousServer::Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(m_options.gapMs)); }

void RendezvousServer::AcceptLoop() {
    while (!Stopping()) {
        std::string error;
        Socket client = Accept(m_listener, kSliceMs, &error);
        if (!client.Valid()) continue;
        m_threads.emplace_back([this, s = std::move(client)]() mutable { Serve(std::move(s)); });
    }
}

bool RendezvousServer::WaitReadable(const Socket& s) {
    for (int waited = 0; waited < m_options.timeoutMs; waited += kSliceMs) {
        if (Stopping()) return false;
        const int ready = net::Wait(s.Get(), false, kSliceMs);
        if (ready != 0) return ready > 0;
    }
    return false;
}

void RendezvousServer::Serve(Socket client) {
    RvFrame frame;
    RvRequest request;
    std::string error;
    if (!WaitReadable(client)) return;
    if (!ReadRvFrame(client, m_options.timeoutMs, &frame, &error)) return;
    if (!ParseRvRequest(frame, &request)) {
        SendFrame(client, MakeRvError(kRvBadRequest), m_options.timeoutMs);
        return;
    }
    if (request.join)
        Join(std::move(client), request);
    else
        Create(std::move(client), request);
}

void RendezvousServer::Create(Socket creator, const RvRequest& request) {
    auto session = std::make_shared<Waiting>();
    session->cookie = request.cookie;
    uint16_t pin;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        do pin = ++m_nextPin;
        while (pin == 0 || m_waiting.count(pin) != 0);
        m_waiting[pin] = session;
    }
    bool joined = false;
    if (SendFrame(creator, MakeRvCreated({pin, LocalIpv4(creator)}), m_options.timeoutMs)) {
        std::unique_lock<std::mutex> lock(m_mutex);
        joined = m_changed.wait_for(lock, std::chrono::milliseconds(m_options.timeoutMs),
                                    [&] { return session->joiner.Valid() || m_stopping; }) &&
                 session->joiner.Valid();
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    m_waiting.erase(pin);
    Socket joiner = std::move(session->joiner);
    const bool stopping = m_stopping;
    lock.unlock();
    if (joined && !stopping)
        Begin(std::move(creator), std::move(joiner));
    else if (!stopping)
        SendFrame(creator, MakeRvError(kRvAcceptTimedOut), m_options.timeoutMs);
}

void RendezvousServer::Join(Socket joiner, const RvRequest& request) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const auto found = m_waiting.find(request.pin);
        if (found != m_waiting.end() && found->second->cookie == request.cookie &&
            !found->second->joiner.Valid()) {
            // The creator's thread takes the connection over from here.
            found->second->joiner = std::move(joiner);
            m_changed.notify_all();
            return;
        }
    }
    SendFrame(joiner, MakeRvError(kRvBadRequest), m_options.timeoutMs);
}

void RendezvousServer::Begin(Socket creator, Socket joiner) {
    const RvFrame ready{kRvReady, 0, {}};
    if (SendFrame(creator, ready, m_options.timeoutMs)) {
        Pause();
        if (SendFrame(joiner, ready, m_options.timeoutMs)) {
            Pause();
            Relay(creator, joiner);
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_relayed;
    }
    m_changed.notify_all();
}

void RendezvousServer::Relay(const Socket& a, const Socket& b) {
    const Socket* const ends[2] = {&a, &b};
    bool open[2] = {true, true};  // the direction from ends[i] to the other
    std::vector<char> buffer(64 * 1024);
    while ((open[0] || open[1]) && !Stopping()) {
        std::vector<net::PollEntry> entries;
        for (int i = 0; i < 2; ++i)
            if (open[i]) entries.push_back({ends[i]->Get(), true, 0});
        if (net::Poll(entries, kSliceMs) < 0) return;
        for (const net::PollEntry& e : entries) {
            if (e.events == 0) continue;
            const int i = e.socket == a.Get() ? 0 : 1;
            const Socket& to = *ends[1 - i];
            const int n = net::ReceiveNow(e.socket, buffer.data(), static_cast<int>(buffer.size()));
            if (n == net::kNothingPending) continue;
            if (n == net::kFailed) return;  // a reset: the session is over
            if (n == 0) {
                open[i] = false;
                ShutdownSend(to);
                continue;
            }
            std::string error;
            if (!SendAll(to, buffer.data(), static_cast<size_t>(n), m_options.timeoutMs, &error)) return;
        }
    }
}

}  // namespace oftpeer
