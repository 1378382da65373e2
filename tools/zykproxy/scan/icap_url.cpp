// Parsing of icap:// URLs for --icap-url.
#include "scan/icap_url.h"

#include <cctype>

namespace zykproxy::icap {

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

// What a request line can carry as it is: printable ASCII without spaces.
bool Printable(const std::string& text) {
    for (const char c : text)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

std::string BracketedHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

bool ParsePort(const std::string& text, uint16_t* port, std::string* error) {
    unsigned long value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || value > 65535) break;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (text.empty() || text.size() > 5 || value == 0 || value > 65535 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        *error = "a bad port '" + text + "' (1 to 65535)";
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

// Splits "HOST[:PORT]", HOST maybe "[v6-address]"; false and a reason.
bool ParseAuthority(const std::string& text, Url* out, std::string* error) {
    size_t hostEnd = text.find(':');
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || text.find(':') > close) {
            *error = "a bad IPv6 address in brackets";
            return false;
        }
        out->host = text.substr(1, close - 1);
        hostEnd = close + 1;
        if (hostEnd < text.size() && text[hostEnd] != ':') {
            *error = "unexpected text after ']'";
            return false;
        }
    } else {
        out->host = text.substr(0, hostEnd);
        if (out->host.find_first_of("[]") != std::string::npos) {
            *error = "a bad host '" + out->host + "'";
            return false;
        }
    }
    if (out->host.empty()) {
        *error = "no host";
        return false;
    }
    if (hostEnd >= text.size()) return true;
    return ParsePort(text.substr(hostEnd + 1), &out->port, error);
}

}  // namespace

std::string Url::Uri() const {
    return "icap://" + BracketedHost(host) + ":" + std::to_string(port) + "/" + service +
           (args.empty() ? "" : "?" + args);
}

std::string Url::HostHeader() const {
    return BracketedHost(host) + (port == kDefaultPort ? "" : ":" + std::to_string(port));
}

bool ParseUrl(const std::string& text, Url* out, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "'" + text + "' is no icap://HOST[:PORT]/SERVICE[?ARGS] URL: " + why;
        return false;
    };
    if (StartsWithNoCase(text, "icaps://")) return fail("ICAP over TLS (icaps) is not supported");
    if (!StartsWithNoCase(text, "icap://")) return fail("it does not start with icap://");
    if (!Printable(text)) return fail("it holds spaces or control characters");
    const std::string rest = text.substr(7);
    const size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    if (authority.find('@') != std::string::npos) return fail("user information is not supported");
    Url url;
    std::string why;
    if (!ParseAuthority(authority, &url, &why)) return fail(why);
    if (slash == std::string::npos) return fail("no service (the path after the host)");
    const std::string path = rest.substr(slash + 1);
    if (path.find('#') != std::string::npos) return fail("a fragment ('#') is not allowed");
    const size_t question = path.find('?');
    url.service = path.substr(0, question);
    if (question != std::string::npos) url.args = path.substr(question + 1);
    if (url.service.empty()) return fail("no service (the path after the host)");
    *out = url;
    return true;
}

}  // namespace zykproxy::icap
