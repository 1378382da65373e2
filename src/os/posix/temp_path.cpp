// The parts of the POSIX held-file service that are not file work: the temporary folder,
// path joining, the random source and the process number. Kept apart from the file work
// so that a build may put another file backend beside them.
#include "os/held_file.h"
#include "os/held_file_backend.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zykim::os {

uint32_t CurrentProcessNumber() { return static_cast<uint32_t>(::getpid()); }

bool FillRandom(void* pBuffer, size_t nBytes) {
    auto* p = static_cast<uint8_t*>(pBuffer);
    while (nBytes > 0) {
        const ssize_t n = ::getrandom(p, nBytes, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        nBytes -= static_cast<size_t>(n);
    }
    return true;
}

std::string GetTempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    std::string result = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    if (result.back() != '/') result += '/';
    return result;
}

bool JoinHeldFilePath(char* pszOut, size_t nCapacity, const char* pszDir, const char* pszName) {
    if (pszOut == nullptr || pszDir == nullptr || pszName == nullptr) return false;
    if (std::strlen(pszDir) + 1 + std::strlen(pszName) + 1 > nCapacity) return false;
    std::snprintf(pszOut, nCapacity, "%s/%s", pszDir, pszName);
    return true;
}

}  // namespace zykim::os
