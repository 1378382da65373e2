// Endpoint texts.
#include "common/endpoint.h"

namespace zyk::net {

namespace {

// One to five decimal digits, at most 65535.
bool ParsePort(const std::string& text, uint16_t* port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(text);
    if (value > 65535) return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

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
    uint16_t number = 0;
    if (!ParsePort(port, &number)) {
        *error = "bad port in '" + text + "'";
        return false;
    }
    out->host = host;
    out->port = number;
    return true;
}

std::string FormatEndpoint(const Endpoint& endpoint) {
    const bool v6 = endpoint.host.find(':') != std::string::npos;
    return (v6 ? "[" + endpoint.host + "]" : endpoint.host) + ":" + std::to_string(endpoint.port);
}

}  // namespace zyk::net
