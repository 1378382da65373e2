// Name lookups bounded in time, and connects whose failures say what a SOCKS5 or HTTP
// proxy tells its client.
#include "accept/reach.h"

#include "common/deadline.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zykproxy::accept {

namespace {

// One lookup, shared with the thread that runs it: the thread may outlive the wait.
struct Lookup {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::vector<net::IpAddress> addresses;
    std::string error;
};

// The addresses of a name, or false with *why and *failure when there are none by the
// deadline.
bool Resolve(const std::string& name, const zyk::Deadline& deadline, net::SocketId cancel,
             std::vector<net::IpAddress>* out, std::string* why, Failure* failure) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name] {
        std::vector<net::IpAddress> addresses;
        std::string error;
        net::ResolveAddresses(name, &addresses, &error);
        std::lock_guard<std::mutex> guard(lookup->mutex);
        lookup->addresses = std::move(addresses);
        lookup->error = error;
        lookup->done = true;
        lookup->finished.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    // A stop is noticed within a tenth of a second.
    while (!lookup->finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return lookup->done; })) {
        if (deadline.Passed()) {
            *why = "no address for " + name + " within the connect time-out";
            *failure = Failure::kTimedOut;
            return false;
        }
        if (net::Wait(cancel, false, 0) == 1) {
            *why = "stopping";
            return false;
        }
    }
    if (lookup->addresses.empty()) {
        *why = lookup->error;
        *failure = Failure::kHostUnreachable;
        return false;
    }
    *out = std::move(lookup->addresses);
    return true;
}

Failure FailureOf(net::ConnectError error) {
    switch (error) {
        case net::ConnectError::NoSuchName:
        case net::ConnectError::HostUnreachable: return Failure::kHostUnreachable;
        case net::ConnectError::NetworkUnreachable: return Failure::kNetworkUnreachable;
        case net::ConnectError::Refused: return Failure::kConnectionRefused;
        case net::ConnectError::TimedOut: return Failure::kTimedOut;
        default: return Failure::kGeneral;
    }
}

}  // namespace

Reached Reach(const Destination& destination, int timeoutMs, net::SocketId cancel) {
    Reached r;
    const zyk::Deadline deadline(timeoutMs);
    std::vector<net::IpAddress> addresses{destination.address};
    if (destination.IsName() &&
        !Resolve(destination.name, deadline, cancel, &addresses, &r.why, &r.failure))
        return r;
    for (const net::IpAddress& address : addresses) {
        net::ConnectAttempt attempt;
        attempt.timeoutMs = deadline.LeftMs();
        attempt.cancel = cancel;
        r.server = net::Connect(net::Endpoint{net::FormatIpAddress(address), destination.port},
                                &attempt, &r.why);
        if (r.server.Valid()) return r;
        r.failure = FailureOf(attempt.error);
        if (attempt.error == net::ConnectError::Cancelled) break;
    }
    return r;
}

}  // namespace zykproxy::accept
