// The handshake: the protocol chosen by the first byte, the state once it has ended,
// and the replies after the caller's connect attempt.
#include "accept/handshake.h"

#include <cstdio>

#include "accept/access.h"
#include "accept/parsers.h"

namespace zykproxy::accept {

using State = Handshake::State;
using Progress = Handshake::Progress;

Handshake::Handshake(const Users* users)
    : m_users(users != nullptr && !users->Empty() ? users : nullptr) {}

Handshake::~Handshake() = default;

Progress Handshake::Feed(const uint8_t* data, size_t size) {
    if (m_final.state != State::kNeedMore) {
        Progress again;
        again.state = m_final.state;
        again.reason = m_final.reason;
        return again;
    }
    if (size == 0) return Progress();
    if (!m_parser) m_parser = data[0] == 0x05 ? NewSocks5Parser(m_users) : NewHttpConnectParser(m_users);
    Progress progress = m_parser->Feed(data, size);
    if (progress.state != State::kNeedMore) {
        m_final.state = progress.state;
        m_final.reason = progress.reason;
    }
    return progress;
}

State Handshake::GetState() const { return m_final.state; }

Protocol Handshake::GetProtocol() const {
    return m_parser ? m_parser->GetProtocol() : Protocol::kSocks5;
}

const Request& Handshake::GetRequest() const {
    static const Request kNone;
    return m_parser && m_final.state == State::kRequest ? m_parser->GetRequest() : kNone;
}

size_t Handshake::Held() const { return m_parser ? m_parser->Held() : 0; }

std::string Destination::Text() const {
    if (!IsName()) return zyk::net::FormatIpEndpoint({address, port});
    std::string text;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7F && byte != '\\') {
            text.push_back(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text + ":" + std::to_string(port);
}

bool DestinationFromHost(const std::string& host, uint16_t port, Destination* out) {
    if (host.empty() || host.find('\0') != std::string::npos) return false;
    out->port = port;
    if (zyk::net::ParseIpAddress(host, &out->address)) return true;
    out->address = zyk::net::IpAddress();
    out->name = host;
    return true;
}

}  // namespace zykproxy::accept
