// The texts of the Windows Sockets error codes.
#include "plugin/sock_error.h"

#include <algorithm>
#include <cstddef>
#include <iterator>

namespace zykim {

namespace {

struct WinSockErrorText {
    int32_t nCode;
    const char* pszText;
};

// Sorted by code.
constexpr WinSockErrorText kWinSockErrorTexts[] = {
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},  // WSAEINTR
    {10009, "The file handle supplied is not valid."},  // WSAEBADF
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions."},  // WSAEACCES
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},  // WSAEFAULT
    {10022, "An invalid argument was supplied."},  // WSAEINVAL
    {10024, "Too many open sockets."},  // WSAEMFILE
    {10035, "A non-blocking socket operation could not be completed immediately."},  // WSAEWOULDBLOCK
    {10036, "A blocking operation is currently executing."},  // WSAEINPROGRESS
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress."},  // WSAEALREADY
    {10038, "An operation was attempted on something that is not a socket."},  // WSAENOTSOCK
    {10039, "A required address was omitted from an operation on a socket."},  // WSAEDESTADDRREQ
    {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network limit, or the buffer used to receive a datagram into was smaller than the datagram itself."},  // WSAEMSGSIZE
    {10041, "A protocol was specified in the socket function call that does not support the semantics of the socket type requested."},  // WSAEPROTOTYPE
    {10042, "An unknown, invalid, or unsupported option or level was specified in a getsockopt or setsockopt call."},  // WSAENOPROTOOPT
    {10043, "The requested protocol has not been configured into the system, or no implementation for it exists."},  // WSAEPROTONOSUPPORT
    {10044, "The support for the specified socket type does not exist in this address family."},  // WSAESOCKTNOSUPPORT
    {10045, "The attempted operation is not supported for the type of object referenced."},  // WSAEOPNOTSUPP
    {10046, "The protocol family has not been configured into the system or no implementation for it exists."},  // WSAEPFNOSUPPORT
    {10047, "An address incompatible with the requested protocol was used."},  // WSAEAFNOSUPPORT
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted."},  // WSAEADDRINUSE
    {10049, "The requested address is not valid in its context."},  // WSAEADDRNOTAVAIL
    {10050, "A socket operation encountered a dead network."},  // WSAENETDOWN
    {10051, "A socket operation was attempted to an unreachable network."},  // WSAENETUNREACH
    {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation was in progress."},  // WSAENETRESET
    {10053, "An established connection was aborted by the software in your host machine."},  // WSAECONNABORTED
    {10054, "An existing connection was forcibly closed by the remote host."},  // WSAECONNRESET
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or because a queue was full."},  // WSAENOBUFS
    {10056, "A connect request was made on an already connected socket."},  // WSAEISCONN
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied."},  // WSAENOTCONN
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down in that direction with a previous shutdown call."},  // WSAESHUTDOWN
    {10059, "Too many references to some kernel object."},  // WSAETOOMANYREFS
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond."},  // WSAETIMEDOUT
    {10061, "No connection could be made because the target machine actively refused it."},  // WSAECONNREFUSED
    {10062, "Cannot translate name."},  // WSAELOOP
    {10063, "Name component or name was too long."},  // WSAENAMETOOLONG
    {10064, "A socket operation failed because the destination host was down."},  // WSAEHOSTDOWN
    {10065, "A socket operation was attempted to an unreachable host."},  // WSAEHOSTUNREACH
    {10066, "Cannot remove a directory that is not empty."},  // WSAENOTEMPTY
    {10067, "A Windows Sockets implementation may have a limit on the number of applications that may use it simultaneously."},  // WSAEPROCLIM
    {10068, "Ran out of quota."},  // WSAEUSERS
    {10069, "Ran out of disk quota."},  // WSAEDQUOT
    {10070, "File handle reference is no longer available."},  // WSAESTALE
    {10071, "Item is not available locally."},  // WSAEREMOTE
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to provide network services is currently unavailable."},  // WSASYSNOTREADY
    {10092, "The Windows Sockets version requested is not supported."},  // WSAVERNOTSUPPORTED
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed."},  // WSANOTINITIALISED
    {10101, "Returned by WSARecv or WSARecvFrom to indicate the remote party has initiated a graceful shutdown sequence."},  // WSAEDISCON
    {10102, "No more results can be returned by WSALookupServiceNext."},  // WSAENOMORE
    {10103, "A call to WSALookupServiceEnd was made while this call was still processing. The call has been canceled."},  // WSAECANCELLED
    {10104, "The procedure call table is invalid."},  // WSAEINVALIDPROCTABLE
    {10105, "The requested service provider is invalid."},  // WSAEINVALIDPROVIDER
    {10106, "The requested service provider could not be loaded or initialized."},  // WSAEPROVIDERFAILEDINIT
    {10107, "A system call that should never fail has failed."},  // WSASYSCALLFAILURE
    {10108, "No such service is known. The service cannot be found in the specified name space."},  // WSASERVICE_NOT_FOUND
    {10109, "The specified class was not found."},  // WSATYPE_NOT_FOUND
    {10110, "No more results can be returned by WSALookupServiceNext."},  // WSA_E_NO_MORE
    {10111, "A call to WSALookupServiceEnd was made while this call was still processing. The call has been canceled."},  // WSA_E_CANCELLED
    {10112, "A database query failed because it was actively refused."},  // WSAEREFUSED
    {11001, "No such host is known."},  // WSAHOST_NOT_FOUND
    {11002, "This is usually a temporary error during hostname resolution and means that the local server did not receive a response from an authoritative server."},  // WSATRY_AGAIN
    {11003, "A non-recoverable error occurred during a database lookup."},  // WSANO_RECOVERY
    {11004, "The requested name is valid and was found in the database, but it does not have the correct associated data being resolved for."},  // WSANO_DATA
};

constexpr bool IsSortedByCode() {
    for (size_t i = 1; i < std::size(kWinSockErrorTexts); ++i)
        if (kWinSockErrorTexts[i - 1].nCode >= kWinSockErrorTexts[i].nCode) return false;
    return true;
}
static_assert(IsSortedByCode(), "the lookup needs the table sorted by code");

constexpr const char kUnknownSocketError[] = "Unknown socket error.";

}  // namespace

const char* GetWinSockErrorText(int32_t nError) {
    const auto* const pEnd = std::end(kWinSockErrorTexts);
    const auto* const p = std::lower_bound(
        std::begin(kWinSockErrorTexts), pEnd, nError,
        [](const WinSockErrorText& e, int32_t code) { return e.nCode < code; });
    return p != pEnd && p->nCode == nError ? p->pszText : kUnknownSocketError;
}

}  // namespace zykim
