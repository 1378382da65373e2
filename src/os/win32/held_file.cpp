// Held files on Windows: CreateFileA handles, created exclusively and shared for reading
// only while the plug-in writes or reads them.
#include "os/held_file.h"
#include "os/held_file_backend.h"

#include <cstdio>
#include <cstring>

#include "os/win32/win.h"

namespace zykim::os {

namespace {
HANDLE ToHandle(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

// Readers may open it meanwhile (the host's scanner does, by name); writers may not.
HANDLE CreateExclusively(const char* pszPath) {
    return CreateFileA(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

// RtlGenRandom, the system's random source, as advapi32 exports it.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID pBuffer, ULONG nBytes);

uint32_t CurrentProcessNumber() { return static_cast<uint32_t>(GetCurrentProcessId()); }

bool FillRandom(void* pBuffer, size_t nBytes) {
    return SystemFunction036(pBuffer, static_cast<ULONG>(nBytes)) != FALSE;
}

DeleteOutcome DeleteFileByPath(const char* pszPath) {
    if (DeleteFileA(pszPath)) return DeleteOutcome::kDeleted;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? DeleteOutcome::kMissing
                                                                          : DeleteOutcome::kFailed;
}

bool HeldFile::Create(const char* pszPath) {
    Close();
    if (pszPath == nullptr) return false;
    HANDLE h = CreateExclusively(pszPath);
    DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        // A stale file of ours or one planted by someone else: whoever made it may still
        // hold it open, so it is never written through. It goes, and the file is made
        // anew, once; if either fails, there is no held file.
        if (DeleteFileA(pszPath)) {
            h = CreateExclusively(pszPath);
            error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        } else {
            error = GetLastError();
        }
    }
    if (h == INVALID_HANDLE_VALUE) {
        m_nLastError = static_cast<int32_t>(error);
        return false;
    }
    m_native = reinterpret_cast<intptr_t>(h);
    return true;
}

bool HeldFile::OpenForReading(const char* pszPath) {
    Close();
    if (pszPath == nullptr) return false;
    const HANDLE h = CreateFileA(pszPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        m_nLastError = static_cast<int32_t>(GetLastError());
        return false;
    }
    m_native = reinterpret_cast<intptr_t>(h);
    return true;
}

int32_t HeldFile::Append(const uint8_t* pData, int32_t nSize) {
    if (!IsOpen() || pData == nullptr || nSize < 0) return -1;
    DWORD written = 0;
    if (!WriteFile(ToHandle(m_native), pData, static_cast<DWORD>(nSize), &written, nullptr)) {
        m_nLastError = static_cast<int32_t>(GetLastError());
        return written > 0 ? static_cast<int32_t>(written) : -1;
    }
    return static_cast<int32_t>(written);
}

int32_t HeldFile::Read(uint8_t* pBuffer, int32_t nSize) {
    if (!IsOpen() || pBuffer == nullptr || nSize < 0) return -1;
    DWORD read = 0;
    if (!ReadFile(ToHandle(m_native), pBuffer, static_cast<DWORD>(nSize), &read, nullptr)) {
        m_nLastError = static_cast<int32_t>(GetLastError());
        return -1;
    }
    return static_cast<int32_t>(read);
}

void HeldFile::Close() {
    if (!IsOpen()) return;
    CloseHandle(ToHandle(m_native));
    m_native = kInvalid;
}

std::string GetTempDirectory() {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    if (n == 0 || n >= sizeof buffer) return std::string();
    return std::string(buffer, n);
}

bool JoinHeldFilePath(char* pszOut, size_t nCapacity, const char* pszDir, const char* pszName) {
    if (pszOut == nullptr || pszDir == nullptr || pszName == nullptr) return false;
    if (std::strlen(pszDir) + 1 + std::strlen(pszName) + 1 > nCapacity) return false;
    std::snprintf(pszOut, nCapacity, "%s\\%s", pszDir, pszName);
    return true;
}

}  // namespace zykim::os
