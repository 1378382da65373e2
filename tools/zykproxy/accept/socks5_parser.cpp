// The SOCKS5 side of the handshake: the greeting with its methods, username/password
// authentication (RFC 1929) when there are users, and the request. Each message is
// collected in full before it is judged, taking from the input only the bytes its own
// length fields ask for, so that nothing past the request is ever taken.
#include <algorithm>

#include "accept/access.h"
#include "accept/parsers.h"

namespace zykproxy::accept {

namespace {

using State = Handshake::State;
using Progress = Handshake::Progress;

constexpr uint8_t kVersion = 5;
constexpr uint8_t kNoAuthentication = 0x00;
constexpr uint8_t kUsernamePassword = 0x02;
constexpr uint8_t kNoAcceptableMethod = 0xFF;
constexpr uint8_t kAuthVersion = 1;
constexpr uint8_t kConnect = 1;
constexpr uint8_t kIpv4 = 1, kName = 3, kIpv6 = 4;

class Socks5Parser : public Handshake::Parser {
public:
    explicit Socks5Parser(const Users* users) : m_users(users) {}

    Progress Feed(const uint8_t* data, size_t size) override {
        Progress progress;
        while (progress.state == State::kNeedMore) {
            const size_t missing = Missing();
            if (missing == 0) {
                Judge(&progress);
                continue;
            }
            const size_t take = std::min(missing, size - progress.consumed);
            if (take == 0) break;
            m_message.append(reinterpret_cast<const char*>(data) + progress.consumed, take);
            progress.consumed += take;
        }
        return progress;
    }
    Protocol GetProtocol() const override { return Protocol::kSocks5; }
    size_t Held() const override { return m_message.size(); }

private:
    enum class Phase { kGreeting, kAuthentication, kRequest };

    uint8_t At(size_t i) const { return static_cast<uint8_t>(m_message[i]); }

    // How many more bytes the current message needs before it can be judged: 0 once
    // it is complete, or once what came decides a refusal. The version byte is judged
    // on its own, so that a refusal takes the same bytes however the input is split.
    size_t Missing() const {
        const size_t have = m_message.size();
        size_t need = 2;
        switch (m_phase) {
            case Phase::kGreeting:  // VER NMETHODS METHODS
                if (have >= 2) need = 2 + At(1);
                break;
            case Phase::kAuthentication:  // VER ULEN UNAME PLEN PASSWD
                if (have == 0) return 1;
                if (At(0) != kAuthVersion) return 0;
                if (have >= 2) need = 3 + At(1);
                if (have >= need) need += At(need - 1);
                break;
            case Phase::kRequest:  // VER CMD RSV ATYP DST.ADDR DST.PORT
                if (have == 0) return 1;
                if (At(0) != kVersion) return 0;
                need = have >= 4 ? RequestLength() : 4;
                break;
        }
        return have >= need ? 0 : need - have;
    }

    // The request's length from its address type (4 when the type is unknown).
    size_t RequestLength() const {
        switch (At(3)) {
            case kIpv4: return 4 + 4 + 2;
            case kIpv6: return 4 + 16 + 2;
            case kName: return m_message.size() >= 5 ? 5 + At(4) + 2 : 5;
            default: return 4;
        }
    }

    void Judge(Progress* progress) {
        switch (m_phase) {
            case Phase::kGreeting: return JudgeGreeting(progress);
            case Phase::kAuthentication: return JudgeAuthentication(progress);
            case Phase::kRequest: return JudgeRequest(progress);
        }
    }

    void JudgeGreeting(Progress* progress) {
        const uint8_t wanted = m_users != nullptr ? kUsernamePassword : kNoAuthentication;
        const bool offered = m_message.find(static_cast<char>(wanted), 2) != std::string::npos;
        progress->reply.push_back(static_cast<char>(kVersion));
        if (!offered) {
            progress->reply.push_back(static_cast<char>(kNoAcceptableMethod));
            Refuse(progress, m_users != nullptr ? "SOCKS5 client offers no username/password"
                                                : "SOCKS5 client offers no method without authentication");
            return;
        }
        progress->reply.push_back(static_cast<char>(wanted));
        Next(m_users != nullptr ? Phase::kAuthentication : Phase::kRequest);
    }

    void JudgeAuthentication(Progress* progress) {
        if (At(0) != kAuthVersion) {
            progress->reply += std::string("\x01\x01", 2);
            Refuse(progress, "SOCKS5 authentication of an unknown version");
            return;
        }
        const size_t nameLength = At(1);
        const std::string name = m_message.substr(2, nameLength);
        const std::string password = m_message.substr(3 + nameLength);
        if (!m_users->Check(name, password)) {
            progress->reply += std::string("\x01\x01", 2);
            Refuse(progress, "SOCKS5 user name or password wrong");
            return;
        }
        progress->reply += std::string("\x01\x00", 2);
        m_request.user = name;
        Next(Phase::kRequest);
    }

    void JudgeRequest(Progress* progress) {
        Failure failure = Failure::kGeneral;
        const char* reason = nullptr;
        if (At(0) != kVersion) reason = "SOCKS5 request of another version";
        else if (RequestLength() == 4)
            failure = Failure::kAddressTypeNotSupported, reason = "SOCKS5 address type not supported";
        else if (At(1) != kConnect)
            failure = Failure::kCommandNotSupported, reason = "SOCKS5 command other than CONNECT";
        else if (!TakeDestination())
            reason = "SOCKS5 destination name empty or with NUL";
        if (reason != nullptr) {
            progress->reply += FailureReply(Protocol::kSocks5, failure);
            Refuse(progress, reason);
            return;
        }
        m_request.protocol = Protocol::kSocks5;
        progress->state = State::kRequest;
        m_message.clear();
    }

    bool TakeDestination() {
        const size_t end = m_message.size() - 2;
        const uint16_t port = static_cast<uint16_t>(At(end) << 8 | At(end + 1));
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(m_message.data());
        Destination& d = m_request.destination;
        switch (At(3)) {
            case kIpv4: d.address = zyk::net::IpAddress::V4(bytes + 4); break;
            case kIpv6: d.address = zyk::net::IpAddress::V6(bytes + 4); break;
            default: return DestinationFromHost(m_message.substr(5, At(4)), port, &d);
        }
        d.port = port;
        return true;
    }

    void Refuse(Progress* progress, const char* reason) {
        progress->state = State::kRefused;
        progress->reason = reason;
        m_message.clear();
    }

    void Next(Phase phase) {
        m_phase = phase;
        m_message.clear();
    }

    const Users* m_users;
    Phase m_phase = Phase::kGreeting;
    std::string m_message;  // the current message so far (at most 513 bytes)
};

}  // namespace

std::unique_ptr<Handshake::Parser> NewSocks5Parser(const Users* users) {
    return std::make_unique<Socks5Parser>(users);
}

}  // namespace zykproxy::accept
