// The one exception type of the plug-in: a failed socket call, carrying its Windows
// Sockets code. The socket transfer throws it; the data exports and a connection's own
// handling catch it and trace the code's text.
#pragma once

#include <cstdint>
#include <type_traits>

namespace zykim {

// A failed socket call. Plain value, thrown and caught by value.
class CWinSockException {
public:
    CWinSockException(int32_t nError, int32_t nReserved) : m_nError(nError), m_nReserved(nReserved) {}
    int32_t m_nError;     // Windows Sockets code
    int32_t m_nReserved;  // always 0
};
static_assert(std::is_trivially_copyable_v<CWinSockException> && sizeof(CWinSockException) == 8,
              "CWinSockException is two plain words");

// The text of a Windows Sockets code; "Unknown socket error." for any other value.
const char* GetWinSockErrorText(int32_t nError);

}  // namespace zykim
