// The portable half of the socket layer: endpoint texts and the socket owner.
#include "platform/net.h"

#include <cstdlib>

namespace zykproxy::net {

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_id = other.Release();
    }
    return *this;
}

bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error) {
    std::string host;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *error = "expected [address]:port in '" + text + "'";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos) {
            *error = "expected host:port in '" + text + "'";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (host.empty()) {
        *error = "no host in '" + text + "'";
        return false;
    }
    char* end = nullptr;
    const long number = port.empty() ? -1 : std::strtol(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || number < 0 || number > 65535) {
        *error = "bad port in '" + text + "'";
        return false;
    }
    out->host = host;
    out->port = static_cast<uint16_t>(number);
    return true;
}

std::string FormatEndpoint(const Endpoint& endpoint) {
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

}  // namespace zykproxy::net
