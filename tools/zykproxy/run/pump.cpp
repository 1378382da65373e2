// The two pumps. The forwarder mirrors the plug-in's loop: one buffer per call, a
// receive that does not wait, every block sent on before the next is read, both through
// the host's socket functions that the plug-in is given.
#include "run/pump.h"

#include <memory>
#include <new>

#include "run/host_socket.h"

namespace zykproxy {

HostConnection::HostConnection(int connectionId, net::Socket client, net::Socket upstream)
    : id(connectionId), appSocket(std::move(client)), serverSocket(std::move(upstream)) {
    app.socket = static_cast<int32_t>(appSocket.Get());
    server.socket = static_cast<int32_t>(serverSocket.Get());
}

PluginPump::PluginPump(const PluginExports& exports) : m_exports(exports) {
    m_exports.SetISocket(&HostSocketInterface());
}

void PluginPump::Begin(HostConnection& c) { m_exports.OnNewConnectionEx(c.id, 0, &c.app); }

int PluginPump::FromApplication(HostConnection& c) {
    return m_exports.OnRequestFromApplication(&c.app, &c.server);
}

int PluginPump::FromServer(HostConnection& c) {
    return m_exports.OnRequestFromServer(&c.app, &c.server);
}

void PluginPump::End(HostConnection& c) { m_exports.OnEndConnection(&c.app); }

namespace {
int Drain(net::SocketId from, net::SocketId to, int bufferSize) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(bufferSize)]);
    if (!buffer) return 0;
    int total = 0;
    for (;;) {
        const int n = ReceiveWithoutWaiting(from, buffer.get(), bufferSize);
        if (n <= 0) break;
        total += n;
        if (!SendEveryByte(to, buffer.get(), static_cast<size_t>(n))) break;
    }
    return total;
}
}  // namespace

int ForwardPump::FromApplication(HostConnection& c) {
    return Drain(c.appSocket.Get(), c.serverSocket.Get(), kApplicationBuffer);
}

int ForwardPump::FromServer(HostConnection& c) {
    return Drain(c.serverSocket.Get(), c.appSocket.Get(), kServerBuffer);
}

}  // namespace zykproxy
