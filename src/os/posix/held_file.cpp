// Held files on POSIX: descriptors, mode 0600, O_EXCL|O_NOFOLLOW creation after removing
// a stale file, so that a link planted in a shared /tmp is never followed.
#include "os/held_file.h"
#include "os/held_file_backend.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
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

DeleteOutcome DeleteFileByPath(const char* pszPath) {
    if (::unlink(pszPath) == 0) return DeleteOutcome::kDeleted;
    return errno == ENOENT ? DeleteOutcome::kMissing : DeleteOutcome::kFailed;
}

bool HeldFile::Create(const char* pszPath) {
    Close();
    if (pszPath == nullptr) return false;
    ::unlink(pszPath);  // a stale file of ours, or a planted link: either way it goes
    const int fd = ::open(pszPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_nLastError = errno;
        return false;
    }
    m_native = fd;
    return true;
}

bool HeldFile::OpenForReading(const char* pszPath) {
    Close();
    if (pszPath == nullptr) return false;
    const int fd = ::open(pszPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        m_nLastError = errno;
        return false;
    }
    m_native = fd;
    return true;
}

int32_t HeldFile::Append(const uint8_t* pData, int32_t nSize) {
    if (!IsOpen() || pData == nullptr || nSize < 0) return -1;
    int32_t done = 0;
    while (done < nSize) {
        const ssize_t n = ::write(static_cast<int>(m_native), pData + done, static_cast<size_t>(nSize - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            m_nLastError = errno;
            return done > 0 ? done : -1;
        }
        done += static_cast<int32_t>(n);
    }
    return done;
}

int32_t HeldFile::Read(uint8_t* pBuffer, int32_t nSize) {
    if (!IsOpen() || pBuffer == nullptr || nSize < 0) return -1;
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(m_native), pBuffer, static_cast<size_t>(nSize));
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno != EINTR) {
            m_nLastError = errno;
            return -1;
        }
    }
}

void HeldFile::Close() {
    if (!IsOpen()) return;
    ::close(static_cast<int>(m_native));
    m_native = kInvalid;
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
