// A stand-in ICAP server on loopback, for the answers a real one never gives: it
// answers OPTIONS as a scanning service does (RESPMOD, a 1024-byte preview, 204),
// and each RESPMOD, once the request (or its preview) has come, with a scripted reply.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "zykproxy/helpers.h"

namespace zykproxy::test {

class FakeIcapServer {
public:
    // Answers one RESPMOD on the socket; true keeps the connection for the next request.
    using Reply = std::function<bool(net::SocketId)>;

    // The replies in turn, one per RESPMOD; the last one answers every later request.
    // OPTIONS answers hold for optionsTtl seconds, and allow maxConnections (0: say
    // nothing of it).
    explicit FakeIcapServer(std::vector<Reply> replies, int optionsTtl = 3600, int maxConnections = 0)
        : m_replies(std::move(replies)),
          m_optionsTtl(optionsTtl),
          m_maxConnections(maxConnections),
          m_upstream([this](net::Socket s) { Serve(std::move(s)); }) {}

    std::string Url() const { return "icap://127.0.0.1:" + std::to_string(m_upstream.Port()) + "/avscan"; }
    int Connections() const { return m_upstream.Accepted(); }
    int Respmods() const { return m_respmods.load(); }
    int Options() const { return m_options.load(); }
    // Connections that the client has closed (not counting those the server ended).
    int ClosedByClient() const { return m_closedByClient.load(); }

    // Sends the answer as it is and keeps the connection.
    static Reply Sends(std::string answer) {
        return [answer](net::SocketId s) { return net::SendAll(s, answer.data(), answer.size()); };
    }
    static bool NoContent(net::SocketId s) {
        static const std::string k = "ICAP/1.0 204 No Content\r\nISTag: \"fake-1\"\r\n\r\n";
        return net::SendAll(s, k.data(), k.size());
    }
    // A 200 that carries a file back, cut off in the middle of its first chunk.
    static bool CutShort(net::SocketId s) {
        const std::string k = "ICAP/1.0 200 OK\r\nISTag: \"fake-1\"\r\nEncapsulated: res-hdr=0, res-body=19\r\n\r\n"
                              "HTTP/1.1 200 OK\r\n\r\n400\r\n" + std::string(100, 'x');
        net::SendAll(s, k.data(), k.size());
        return false;
    }
    // One folded X-Violations-Found field whose continuation lines never end: sent
    // until the client closes (at most 1 GiB).
    static bool EndlessHeader(net::SocketId s) {
        const std::string head = "ICAP/1.0 200 OK\r\nX-Violations-Found: 1\r\n";
        std::string lines;
        for (int i = 0; i < 1024; ++i) lines += "\tno end to this header\r\n";
        size_t sent = 0;
        if (!net::SendAll(s, head.data(), head.size())) return false;
        while (sent < (size_t{1} << 30) && net::SendAll(s, lines.data(), lines.size())) sent += lines.size();
        return false;
    }
    // No answer: waits until the client closes.
    static bool Silent(net::SocketId s) {
        std::string ignored;
        ReadToEnd(s, &ignored, 30000);
        return false;
    }

private:
    void Serve(net::Socket s) {
        std::string request;
        while (ReadRequest(s.Get(), &request)) {
            if (request.rfind("OPTIONS ", 0) == 0) {
                ++m_options;
                const std::string k =
                    "ICAP/1.0 200 OK\r\nMethods: RESPMOD\r\nService: fake scanner\r\nISTag: \"fake-1\"\r\n"
                    "Preview: 1024\r\nAllow: 204\r\nOptions-TTL: " + std::to_string(m_optionsTtl) +
                    (m_maxConnections > 0 ? "\r\nMax-Connections: " + std::to_string(m_maxConnections) : "") +
                    "\r\nEncapsulated: null-body=0\r\n\r\n";
                if (!net::SendAll(s.Get(), k.data(), k.size())) return;
                continue;
            }
            const size_t turn = static_cast<size_t>(m_respmods++);
            if (!m_replies[std::min(turn, m_replies.size() - 1)](s.Get())) return;
        }
    }

    // The next request: OPTIONS up to its empty line, RESPMOD up to the end of its
    // preview (or whole body). False when the client closes first.
    bool ReadRequest(net::SocketId s, std::string* request) {
        request->clear();
        std::vector<char> buffer(65536);
        for (;;) {
            const bool options = request->rfind("OPTIONS ", 0) == 0;
            const auto ends = [&](const std::string& tail) {
                return request->size() >= tail.size() &&
                       request->compare(request->size() - tail.size(), tail.size(), tail) == 0;
            };
            if (options ? ends("\r\n\r\n") : (ends("\r\n0\r\n\r\n") || ends("\r\n0; ieof\r\n\r\n"))) return true;
            const int n = net::ReceiveWait(s, buffer.data(), static_cast<int>(buffer.size()), 30000);
            if (n <= 0) {
                if (n == 0) ++m_closedByClient;
                return false;
            }
            request->append(buffer.data(), static_cast<size_t>(n));
        }
    }

    std::vector<Reply> m_replies;
    int m_optionsTtl;
    int m_maxConnections;
    std::atomic<int> m_options{0};
    std::atomic<int> m_respmods{0};
    std::atomic<int> m_closedByClient{0};
    Upstream m_upstream;  // last: its threads use the members above
};

}  // namespace zykproxy::test
