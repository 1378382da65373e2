// The HTTP side of the handshake: "CONNECT host:port HTTP/1.1", header lines, an empty
// line. The header is taken line by line up to its end and no further, at most 8 KiB of
// it. Bytes that cannot be in a request line or a header refuse the request at once;
// the request line's method and target, and the credentials, are judged at the end of
// the header, so that a client that sent a whole request reads the answer before the
// connection closes.
#include <cstring>

#include "accept/access.h"
#include "accept/parsers.h"

namespace zykproxy::accept {

namespace {

using State = Handshake::State;
using Progress = Handshake::Progress;

constexpr size_t kMostHeaderBytes = 8192;

// The characters of an HTTP token (a method, a header name).
bool IsTokenChar(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool IsToken(const std::string& text) {
    for (const char c : text)
        if (!IsTokenChar(static_cast<unsigned char>(c))) return false;
    return !text.empty();
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Standard base64, the padding optional; false for anything else.
bool DecodeBase64(const std::string& text, std::string* out) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string body = text;
    while (!body.empty() && body.back() == '=' && text.size() - body.size() < 2) body.pop_back();
    if (body.size() % 4 == 1 || (text.size() != body.size() && text.size() % 4 != 0)) return false;
    unsigned bits = 0, count = 0;
    for (const char c : body) {
        const char* at = c != 0 ? std::strchr(kAlphabet, c) : nullptr;
        if (at == nullptr) return false;
        bits = (bits << 6) | static_cast<unsigned>(at - kAlphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out->push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return true;
}

// "host:port" with a name or IPv4 address, or "[IPv6]:port".
bool ParseTarget(const std::string& target, Destination* out) {
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    const std::string portText = target.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 ||
        portText.find_first_not_of("0123456789") != std::string::npos || std::stoul(portText) > 65535)
        return false;
    const uint16_t port = static_cast<uint16_t>(std::stoul(portText));
    std::string host = target.substr(0, colon);
    if (host.front() == '[') {
        zyk::net::IpAddress address;
        if (host.back() != ']' || !zyk::net::ParseIpAddress(host.substr(1, host.size() - 2), &address) ||
            !address.IsV6())
            return false;
        out->address = address;
        out->port = port;
        return true;
    }
    const char* nameChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";
    if (host.size() > 255 || host.find_first_not_of(nameChars) != std::string::npos) return false;
    return DestinationFromHost(host, port, out);
}

class HttpConnectParser : public Handshake::Parser {
public:
    explicit HttpConnectParser(const Users* users) : m_users(users) {}

    Progress Feed(const uint8_t* data, size_t size) override {
        Progress progress;
        while (progress.state == State::kNeedMore && progress.consumed < size) {
            const unsigned char c = data[progress.consumed++];
            if (++m_headerBytes > kMostHeaderBytes) {
                Refuse(&progress, "HTTP request header longer than 8192 bytes", std::string());
            } else if (c == '\n') {
                EndLine(&progress);
            } else if (!Allowed(c)) {
                Refuse(&progress, "HTTP request with a control byte", HttpErrorReply(400));
            } else {
                m_line.push_back(static_cast<char>(c));
            }
        }
        return progress;
    }
    Protocol GetProtocol() const override { return Protocol::kHttpConnect; }
    size_t Held() const override { return m_line.size() + m_method.size() + m_target.size() + m_credentials.size(); }

private:
    // The request line is printable ASCII; header values may also hold tabs and bytes
    // past ASCII. A CR is judged at the end of its line.
    bool Allowed(unsigned char c) const {
        if (c == '\r') return true;
        if (!m_haveRequestLine) return c >= 0x20 && c < 0x7F;
        return c == '\t' || (c >= 0x20 && c != 0x7F);
    }

    void EndLine(Progress* progress) {
        if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
        const bool bareCr = m_line.find('\r') != std::string::npos;
        if (bareCr || (m_line.empty() && !m_haveRequestLine)) {
            Refuse(progress, "malformed HTTP request", HttpErrorReply(400));
        } else if (!m_haveRequestLine) {
            TakeRequestLine(progress);
        } else if (m_line.empty()) {
            Judge(progress);
        } else {
            TakeHeaderLine(progress);
        }
        m_line.clear();
    }

    // METHOD SP TARGET SP HTTP/1.x
    void TakeRequestLine(Progress* progress) {
        const size_t space = m_line.find(' ');
        const size_t space2 = space == std::string::npos ? space : m_line.find(' ', space + 1);
        const std::string version = space2 == std::string::npos ? "" : m_line.substr(space2 + 1);
        const bool versionOk = version.size() == 8 && version.compare(0, 7, "HTTP/1.") == 0 &&
                               version[7] >= '0' && version[7] <= '9';
        m_method = m_line.substr(0, space);
        m_target = versionOk ? m_line.substr(space + 1, space2 - space - 1) : std::string();
        if (!versionOk || !IsToken(m_method) || m_target.empty()) {
            Refuse(progress, "malformed HTTP request line", HttpErrorReply(400));
            return;
        }
        m_haveRequestLine = true;
    }

    void TakeHeaderLine(Progress* progress) {
        const size_t colon = m_line.find(':');
        const std::string name = m_line.substr(0, colon);
        if (colon == std::string::npos || !IsToken(name)) {
            Refuse(progress, "malformed HTTP header line", HttpErrorReply(400));
            return;
        }
        if (!EqualsIgnoringCase(name, "Proxy-Authorization")) return;
        if (m_haveCredentials) {
            Refuse(progress, "HTTP request with two Proxy-Authorization headers", HttpErrorReply(400));
            return;
        }
        m_haveCredentials = true;
        m_credentials = Trim(m_line.substr(colon + 1));
    }

    void Judge(Progress* progress) {
        if (m_method != "CONNECT") {
            Refuse(progress, "HTTP method other than CONNECT", HttpErrorReply(405, "Allow: CONNECT\r\n"));
        } else if (!ParseTarget(m_target, &m_request.destination)) {
            Refuse(progress, "HTTP CONNECT to a malformed host:port", HttpErrorReply(400));
        } else if (m_users != nullptr && !Authenticated()) {
            const char* reason = m_haveCredentials ? "HTTP proxy credentials wrong"
                                                   : "HTTP request without proxy credentials";
            Refuse(progress, reason,
                   HttpErrorReply(407, "Proxy-Authenticate: Basic realm=\"zykproxy\"\r\n"));
        } else {
            m_request.protocol = Protocol::kHttpConnect;
            progress->state = State::kRequest;
            Release();
        }
    }

    // Proxy-Authorization: Basic base64(name:password)
    bool Authenticated() {
        const size_t space = m_credentials.find(' ');
        if (space == std::string::npos || !EqualsIgnoringCase(m_credentials.substr(0, space), "Basic"))
            return false;
        std::string pair;
        if (!DecodeBase64(Trim(m_credentials.substr(space + 1)), &pair)) return false;
        const size_t colon = pair.find(':');
        if (colon == std::string::npos) return false;
        const std::string name = pair.substr(0, colon);
        if (!m_users->Check(name, pair.substr(colon + 1))) return false;
        m_request.user = name;
        return true;
    }

    void Refuse(Progress* progress, const char* reason, const std::string& reply) {
        progress->state = State::kRefused;
        progress->reason = reason;
        progress->reply += reply;
        Release();
    }

    void Release() {
        m_line = std::string();
        m_method = std::string();
        m_target = std::string();
        m_credentials = std::string();
    }

    const Users* m_users;
    size_t m_headerBytes = 0;
    bool m_haveRequestLine = false;
    bool m_haveCredentials = false;
    std::string m_line;  // the line being read, without its LF
    std::string m_method, m_target, m_credentials;
};

}  // namespace

std::unique_ptr<Handshake::Parser> NewHttpConnectParser(const Users* users) {
    return std::make_unique<HttpConnectParser>(users);
}

}  // namespace zykproxy::accept
