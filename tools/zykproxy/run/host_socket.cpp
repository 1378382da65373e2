// The host's socket interface: the two functions, and the object the plug-in calls.
#include "run/host_socket.h"

#include <algorithm>

#include "run/blocking.h"

namespace zykproxy {

namespace {
// A send blocked on a full socket looks at its connection this often, where a system
// does not end the wait when another thread shuts the socket down.
constexpr int kBlockedSliceMs = 100;

bool WaitUntilWritable(net::SocketId socket) {
    for (;;) {
        if (CallInterrupted()) return false;
        const int ready = net::Wait(socket, true, kBlockedSliceMs);
        if (ready != 0) return ready == 1;
    }
}

bool SendAll(net::SocketId socket, const char* data, size_t length) {
    while (length > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(length, size_t{1} << 30));
        const int n = net::SendSome(socket, data, chunk);
        if (n > 0) {
            data += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n != net::kNothingPending) return false;
        // The peer takes no more for now: the loop goes on elsewhere while this waits.
        BeforeBlocking();
        if (!WaitUntilWritable(socket)) return false;
    }
    return true;
}

class HostSocket final : public ISocket {
public:
    void Reserved0() override {}
    int Receive(int socket, char* buffer, int size) override {
        return ReceiveWithoutWaiting(socket, buffer, size);
    }
    int Send(int socket, const char* data, int length) override {
        return length >= 0 && SendEveryByte(socket, data, static_cast<size_t>(length)) ? 1 : 0;
    }
};

HostSocket g_hostSocket;
}  // namespace

int ReceiveWithoutWaiting(net::SocketId socket, char* buffer, int size) {
    if (size <= 0 || ReadEnough()) return 0;
    const int n = net::ReceiveSome(socket, buffer, size);
    if (n <= 0) return n == net::kFailed ? -1 : 0;
    Received(n, size);
    return n;
}

bool SendEveryByte(net::SocketId socket, const char* data, size_t length) {
    if (SendAll(socket, data, length)) return true;
    SendFailed();
    return false;
}

ISocket& HostSocketInterface() { return g_hostSocket; }

}  // namespace zykproxy
