// The metrics port: a request head of at most 8 KiB within 2 s, one answer, and the
// connection closed. Only GET and HEAD of /metrics get the figures.
#include "service/metrics_server.h"

#include <chrono>
#include <vector>

#include "common/deadline.h"
#include "common/ip_address.h"

namespace zykproxy::service {

namespace {
constexpr size_t kMaxHead = 8192;
constexpr int kClientMs = 2000;  // for the request, and again for the answer to be taken
const char* const kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

std::string Response(const std::string& status, const std::string& type, const std::string& body,
                     bool withBody, const std::string& extra = "") {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + extra + "Connection: close\r\n\r\n" +
           (withBody ? body : "");
}

std::string Plain(const std::string& status, const std::string& text, bool withBody,
                  const std::string& extra = "") {
    return Response(status, "text/plain; charset=utf-8", text + "\n", withBody, extra);
}
}  // namespace

MetricsServer::MetricsServer(net::Endpoint where, std::shared_ptr<const accept::ClientRules> clients,
                             Render render, Log log)
    : m_where(std::move(where)), m_clients(std::move(clients)), m_render(std::move(render)),
      m_log(std::move(log)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Open(std::string* error) {
    if (!m_stop.Open(error)) return false;
    m_listener = net::Listen(m_where, 16, error);
    return m_listener.Valid();
}

net::Endpoint MetricsServer::Bound() const {
    net::Endpoint e = m_where;
    if (m_listener.Valid()) e.port = net::LocalPort(m_listener.Get());
    return e;
}

void MetricsServer::Start() { m_thread = std::thread([this] { Run(); }); }

void MetricsServer::Stop() {
    if (!m_thread.joinable()) return;
    m_stop.Signal();
    m_thread.join();
}

std::string MetricsServer::Answer(const std::string& head, const Render& render) {
    const std::string line = head.substr(0, head.find_first_of("\r\n"));
    const size_t space = line.find(' ');
    const size_t second = space == std::string::npos ? space : line.find(' ', space + 1);
    if (second == std::string::npos || line.compare(second + 1, 7, "HTTP/1.") != 0)
        return Plain("400 Bad Request", "not an HTTP/1 request", true);
    const std::string method = line.substr(0, space);
    const std::string target = line.substr(space + 1, second - space - 1);
    const bool withBody = method != "HEAD";
    if (method != "GET" && method != "HEAD")
        return Plain("405 Method Not Allowed", "only GET", true, "Allow: GET, HEAD\r\n");
    if (target.substr(0, target.find('?')) != "/metrics")
        return Plain("404 Not Found", "not found: the metrics are at /metrics", withBody);
    return Response("200 OK", kMetricsType, render(), withBody);
}

bool MetricsServer::Allowed(const net::Socket& client) const {
    if (!m_clients || m_clients->Empty()) return true;
    net::IpEndpoint peer;
    if (net::PeerAddress(client.Get(), &peer) && m_clients->Allows(peer.address)) return true;
    m_log("metrics: the client " +
          (peer.address.Valid() ? net::FormatIpAddress(peer.address) : std::string("(no address)")) +
          " is not allowed (--allow-clients); closed without a reply");
    return false;
}

// False when no complete head came in time (or the proxy stops).
bool MetricsServer::ReadHead(net::SocketId client, int timeoutMs, std::string* head) const {
    const zyk::Deadline deadline(timeoutMs);
    char buffer[2048];
    while (head->find("\r\n\r\n") == std::string::npos && head->find("\n\n") == std::string::npos) {
        if (head->size() > kMaxHead) return false;
        std::vector<net::PollEntry> wait{{client}, {m_stop.ReadSide()}};
        const int ready = net::Poll(wait, deadline.LeftMs());
        if (wait[1].events != 0 || deadline.Passed() || ready < 0) return false;
        if (ready == 0) continue;
        const int n = net::ReceiveNow(client, buffer, sizeof buffer);
        if (n == net::kNothingPending) continue;
        if (n <= 0) return false;
        head->append(buffer, static_cast<size_t>(n));
    }
    return true;
}

void MetricsServer::Serve(net::Socket client) {
    if (!Allowed(client)) return;
    std::string head;
    if (!ReadHead(client.Get(), kClientMs, &head)) return;
    const std::string answer = Answer(head, m_render);
    // A client that does not take the answer is given up on after the same time.
    net::SetSendTimeout(client.Get(), kClientMs);
    if (!net::SendAll(client.Get(), answer.data(), answer.size())) return;
    // Read what the client still sends until it closes (briefly), so that the close does
    // not reset the connection before the client has read the answer.
    net::ShutdownSend(client.Get());
    char sink[2048];
    const zyk::Deadline deadline(200);
    for (size_t drained = 0; drained < 65536;) {
        const int n = net::ReceiveWait(client.Get(), sink, sizeof sink, deadline.LeftMs());
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
}

void MetricsServer::Run() {
    auto errorLoggedAt = std::chrono::steady_clock::time_point();
    for (;;) {
        std::vector<net::PollEntry> wait{{m_listener.Get()}, {m_stop.ReadSide()}};
        if (net::Poll(wait, -1) < 0 || wait[1].events != 0) return;
        if (wait[0].events == 0) continue;
        std::string error;
        net::Socket client = net::Accept(m_listener.Get(), &error);
        if (client.Valid()) {
            Serve(std::move(client));
            continue;
        }
        // Out of descriptors, typically: said once a second.
        const auto now = std::chrono::steady_clock::now();
        if (now - errorLoggedAt >= std::chrono::seconds(1)) {
            m_log("metrics: " + error);
            errorLoggedAt = now;
        }
        std::vector<net::PollEntry> pause{{m_stop.ReadSide()}};
        if (net::Poll(pause, 100) != 0) return;
    }
}

}  // namespace zykproxy::service
