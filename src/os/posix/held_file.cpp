// Held files on POSIX: descriptors, mode 0600, O_EXCL|O_NOFOLLOW creation after removing
// a stale file, so that a link planted in a shared /tmp is never followed.
#include "os/held_file.h"
#include "os/held_file_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zykim::os {

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

}  // namespace zykim::os
