// Who may use zykproxy's proxy port and where to: the users of a users file (SOCKS5
// username/password and HTTP Basic credentials), the client networks of
// --allow-clients, and the destination ports of --allow-ports.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ip_address.h"

namespace zykproxy::accept {

// Names and passwords of 1 to 255 bytes (the limit of SOCKS5 username/password).
class Users {
public:
    // False with a reason for a name or password that is empty, longer than 255 bytes
    // or holds a NUL, a name with a colon, or a name already there.
    bool Add(const std::string& name, const std::string& password, std::string* error);
    bool Empty() const { return m_users.empty(); }
    size_t Size() const { return m_users.size(); }
    // Whether the pair is one of the table's. The time taken depends only on the lengths
    // of the given name and password and on the number of users, not on which bytes
    // match, so that it tells nothing about the stored names and passwords.
    bool Check(const std::string& name, const std::string& password) const;

private:
    std::vector<std::pair<std::string, std::string>> m_users;
};

// The users in force, replaced whole when the users file is read again. A handshake
// keeps the table it began with. From any thread.
class UsersHolder {
public:
    explicit UsersHolder(Users users) : m_users(std::make_shared<const Users>(std::move(users))) {}
    std::shared_ptr<const Users> Get() const;
    void Set(Users users);

private:
    mutable std::mutex m_mutex;
    std::shared_ptr<const Users> m_users;  // guarded by m_mutex
};

// One "name:password" a line (the password is everything after the first colon, kept
// as it is; a CR before the line break is dropped); blank lines and lines starting with
// '#' are skipped. False with the line number and a reason.
bool ParseUsers(const std::string& text, Users* out, std::string* error);
// Reads a users file. On POSIX it is refused when its group or others may read or write
// it, since the passwords are in clear.
bool LoadUsersFile(const std::string& path, Users* out, std::string* error);

// A list of networks, "192.168.0.0/16,10.1.2.3,::1/128,fd00::/8" (an address alone is
// one host). An IPv4-mapped IPv6 address (::ffff:10.0.0.1, as a dual-stack listener
// sees an IPv4 client) counts as the IPv4 address it carries, and an IPv4 network as
// the mapped IPv6 one: everything is compared as IPv6, so 10.0.0.0/8 and
// ::ffff:10.0.0.0/104 are the same rule, and ::/0 takes IPv4 clients too.
class ClientRules {
public:
    // False with a reason for an empty list, an empty item, a bad address or a prefix
    // out of range (0-32 for IPv4, 0-128 for IPv6). Bits past the prefix are ignored.
    bool Parse(const std::string& text, std::string* error);
    bool Empty() const { return m_networks.empty(); }
    bool Allows(const zyk::net::IpAddress& client) const;

private:
    struct Network {
        zyk::net::IpAddress base;  // IPv6 (IPv4 as mapped)
        int prefix = 0;            // 0-128
    };
    std::vector<Network> m_networks;
};

// Destination ports, "5190,443,1024-65535"; all of them until Parse.
class PortRules {
public:
    // False with a reason for an empty list or item, a port outside 1-65535, or a range
    // whose end is below its start.
    bool Parse(const std::string& text, std::string* error);
    bool Allows(uint16_t port) const;

private:
    std::vector<std::pair<uint16_t, uint16_t>> m_ranges{{1, 65535}};
};

}  // namespace zykproxy::accept
