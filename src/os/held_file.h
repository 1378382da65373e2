// Held files: the temporary files in which a file body waits for its scan. One owner per
// open file (HeldFile closes it once); creation never follows a planted link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zykim::os {

class HeldFile {
public:
    HeldFile() = default;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    HeldFile(HeldFile&& other) noexcept;
    HeldFile& operator=(HeldFile&& other) noexcept;
    ~HeldFile() { Close(); }

    // Creates the file anew, empty, for reading and writing; others may only read it
    // meanwhile (Windows), and only its owner may open it at all (POSIX: mode 0600,
    // any stale file of that name removed first, never through a link).
    bool Create(const char* pszPath);
    // Opens an existing held file for reading (Windows: created empty when missing).
    bool OpenForReading(const char* pszPath);
    // Writes all bytes at the end of the file; the count written, or -1 on failure.
    int32_t Append(const uint8_t* pData, int32_t nSize);
    // Reads up to nSize bytes; the count read (0 at the end), or -1 on failure.
    int32_t Read(uint8_t* pBuffer, int32_t nSize);
    void Close();

    bool IsOpen() const { return m_native != kInvalid; }
    // The native error code of the last failure (GetLastError or errno).
    int32_t LastError() const { return m_nLastError; }

private:
    // A Windows HANDLE or a POSIX descriptor; both use -1 for "none".
    static constexpr intptr_t kInvalid = -1;
    intptr_t m_native = kInvalid;
    int32_t m_nLastError = 0;
};

// Deletes a held file by its path; false when it could not be deleted.
bool DeleteHeldFile(const char* pszPath);

// The system's directory for temporary files, ending in a separator (Windows:
// GetTempPathA; POSIX: $TMPDIR, else /tmp). Empty when the system reports none.
std::string GetTempDirectory();

// Writes directory, separator and name ("%s\\%s" on Windows, "%s/%s" on POSIX) into
// pszOut; false, with nothing written, when that and its terminating zero would not fit
// nCapacity characters.
bool JoinHeldFilePath(char* pszOut, size_t nCapacity, const char* pszDir, const char* pszName);

// A number for a transfer object's held-file names, distinct among the live objects of
// the process: the object's address on 32-bit builds; otherwise a process-wide
// sequence, mixed with the process id so that processes sharing a directory differ.
int32_t NewHeldFileIdentity(const void* pObject);

}  // namespace zykim::os
