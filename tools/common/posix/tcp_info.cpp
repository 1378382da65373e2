// The acknowledged-bytes count of a TCP connection. Linux's own header for TCP_INFO has
// the count; the C library's <netinet/tcp.h> has an older record without it, and the two
// cannot be included together, so this file stands apart.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "common/net.h"

namespace zyk::net {

uint64_t AcknowledgedBytes(SocketId socket) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    // An older kernel fills less of the record: without the count, report none.
    if (length < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked) return 0;
    return info.tcpi_bytes_acked;
}

}  // namespace zyk::net
