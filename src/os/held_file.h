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

    // Creates the file anew, empty, for reading and writing, and never opens a file that
    // was there before: any file of that name is removed first and the creation is
    // exclusive, so whoever planted it keeps no way into the held file. Others may only
    // read it meanwhile (Windows); only its owner may open it at all (POSIX: mode 0600,
    // never through a link).
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

// Deletes a held file by its path. True when it is gone (also when someone else removed
// it first); false when it is still there, for instance because a scanner still has it
// open: the path is then remembered, and DeleteRememberedHeldFiles tries again.
bool DeleteHeldFile(const char* pszPath);

// Tries again to delete every remembered held file; returns how many are still there.
// Called at each reset of a transfer object and when the library unloads.
size_t DeleteRememberedHeldFiles();

// The system's directory for temporary files, ending in a separator (Windows:
// GetTempPathA; POSIX: $TMPDIR, else /tmp). Empty when the system reports none.
std::string GetTempDirectory();

// Writes directory, separator and name ("%s\\%s" on Windows, "%s/%s" on POSIX) into
// pszOut; false, with nothing written, when that and its terminating zero would not fit
// nCapacity characters.
bool JoinHeldFilePath(char* pszOut, size_t nCapacity, const char* pszDir, const char* pszName);

// A number for a transfer object's held-file names, distinct among the live objects of
// the process: the object's address on 32-bit builds; otherwise 31 bits from the
// system's random source, drawn again while a live object has them, so that processes
// sharing a temporary folder do not meet on the same names.
int32_t NewHeldFileIdentity(const void* pObject);
// Gives the number back when its object goes.
void ReleaseHeldFileIdentity(int32_t nIdentity);

}  // namespace zykim::os
