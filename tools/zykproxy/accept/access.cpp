// The users table, the users file, and the client and port lists.
#include "accept/access.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace zykproxy::accept {

namespace {

namespace fs = std::filesystem;
using zyk::net::IpAddress;

// Equal or not in a time that depends on given's length only.
bool SameBytes(const std::string& given, const std::string& stored) {
    unsigned diff = given.size() == stored.size() ? 0u : 1u;
    const size_t n = stored.size();
    for (size_t i = 0; i < given.size(); ++i) {
        const unsigned char s = n == 0 ? 0 : static_cast<unsigned char>(stored[i % n]);
        diff |= static_cast<unsigned char>(given[i]) ^ s;
    }
    return diff == 0;
}

bool FieldOk(const std::string& field, const char* what, std::string* error) {
    if (field.empty() || field.size() > 255 || field.find('\0') != std::string::npos) {
        *error = std::string(what) + " must be 1 to 255 bytes without NUL";
        return false;
    }
    return true;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

// Decimal digits only, at most `high`.
bool ParseNumber(const std::string& text, unsigned long high, unsigned long* value) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoul(text);
    return *value <= high;
}

// Whether the first `prefix` bits of both addresses agree.
bool SamePrefix(const IpAddress& a, const IpAddress& b, int prefix) {
    int i = 0;
    for (; prefix >= 8; prefix -= 8, ++i)
        if (a.bytes[i] != b.bytes[i]) return false;
    if (prefix == 0) return true;
    const unsigned mask = (0xFF00u >> prefix) & 0xFFu;
    return ((a.bytes[i] ^ b.bytes[i]) & mask) == 0;
}

}  // namespace

bool Users::Add(const std::string& name, const std::string& password, std::string* error) {
    if (!FieldOk(name, "a user name", error) || !FieldOk(password, "a password", error)) return false;
    if (name.find(':') != std::string::npos) {
        *error = "a user name cannot hold a colon";
        return false;
    }
    for (const auto& user : m_users) {
        if (user.first == name) {
            *error = "user '" + name + "' is given twice";
            return false;
        }
    }
    m_users.emplace_back(name, password);
    return true;
}

bool Users::Check(const std::string& name, const std::string& password) const {
    bool found = false;
    for (const auto& user : m_users) {
        const bool nameOk = SameBytes(name, user.first);
        const bool passwordOk = SameBytes(password, user.second);
        found |= nameOk & passwordOk;
    }
    return found;
}

std::shared_ptr<const Users> UsersHolder::Get() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_users;
}

void UsersHolder::Set(Users users) {
    auto fresh = std::make_shared<const Users>(std::move(users));
    std::lock_guard<std::mutex> guard(m_mutex);
    m_users.swap(fresh);
}

bool ParseUsers(const std::string& text, Users* out, std::string* error) {
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') continue;
        const size_t colon = line.find(':');
        std::string reason = "expected name:password";
        if (colon != std::string::npos &&
            out->Add(line.substr(0, colon), line.substr(colon + 1), &reason))
            continue;
        *error = "line " + std::to_string(number) + ": " + reason;
        return false;
    }
    return true;
}

bool LoadUsersFile(const std::string& path, Users* out, std::string* error) {
#ifndef _WIN32
    // Windows keeps access rights in lists that these permission bits do not show, so
    // the check is made on POSIX only; there the file's folder should be private.
    std::error_code ec;
    const fs::perms perms = fs::status(fs::u8path(path), ec).permissions();
    const fs::perms shared = fs::perms::group_read | fs::perms::group_write |
                             fs::perms::others_read | fs::perms::others_write;
    if (!ec && (perms & shared) != fs::perms::none) {
        *error = "users file " + path + " can be read or changed by other users than its owner; " +
                 "make it private (chmod 600 " + path + ")";
        return false;
    }
#endif
    std::ifstream in(fs::u8path(path), std::ios::binary);
    if (!in) {
        *error = "cannot read users file " + path;
        return false;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Users users;
    if (!ParseUsers(text, &users, error)) {
        *error = "users file " + path + ", " + *error;
        return false;
    }
    if (users.Empty()) {
        *error = "users file " + path + " names no user";
        return false;
    }
    *out = std::move(users);
    return true;
}

bool ClientRules::Parse(const std::string& text, std::string* error) {
    std::vector<Network> networks;
    for (const std::string& item : SplitList(text)) {
        const size_t slash = item.find('/');
        IpAddress address;
        unsigned long prefix = 0;
        if (!zyk::net::ParseIpAddress(item.substr(0, slash), &address)) {
            *error = "not an address or network: '" + item + "'";
            return false;
        }
        const unsigned long bits = address.Size() * 8;
        if (slash == std::string::npos) prefix = bits;
        else if (!ParseNumber(item.substr(slash + 1), bits, &prefix)) {
            *error = "bad prefix length in '" + item + "' (0 to " + std::to_string(bits) + ")";
            return false;
        }
        networks.push_back({address.Mapped(), static_cast<int>(prefix + 128 - bits)});
    }
    m_networks = std::move(networks);
    return true;
}

bool ClientRules::Allows(const IpAddress& client) const {
    const IpAddress address = client.Mapped();
    for (const Network& network : m_networks)
        if (SamePrefix(address, network.base, network.prefix)) return true;
    return false;
}

bool PortRules::Parse(const std::string& text, std::string* error) {
    std::vector<std::pair<uint16_t, uint16_t>> ranges;
    for (const std::string& item : SplitList(text)) {
        const size_t dash = item.find('-');
        unsigned long low = 0, high = 0;
        const bool ok = ParseNumber(item.substr(0, dash), 65535, &low) &&
                        (dash == std::string::npos ? (high = low, true)
                                                   : ParseNumber(item.substr(dash + 1), 65535, &high));
        if (!ok || low == 0 || high < low) {
            *error = "not a port or port range (1-65535): '" + item + "'";
            return false;
        }
        ranges.emplace_back(static_cast<uint16_t>(low), static_cast<uint16_t>(high));
    }
    m_ranges = std::move(ranges);
    return true;
}

bool PortRules::Allows(uint16_t port) const {
    for (const auto& range : m_ranges)
        if (port >= range.first && port <= range.second) return true;
    return false;
}

}  // namespace zykproxy::accept
