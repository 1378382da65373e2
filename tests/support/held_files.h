// What a scanner does to a held file, for the test support shared by the tests (real
// files) and the fuzzers (held files in memory: built with ZYKIM_HELD_FILES_IN_MEMORY).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#ifdef ZYKIM_HELD_FILES_IN_MEMORY
#include "os/memory/held_files.h"
#else
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#endif

namespace zykim::test {

#ifdef ZYKIM_HELD_FILES_IN_MEMORY

inline void PrepareHeldFileFolder(const std::string& folder) { os::memory::AddFolder(folder); }
inline bool ReadHeldFile(const std::string& path, std::vector<uint8_t>& out) { return os::memory::ReadFile(path, out); }
inline void CutHeldFile(const std::string& path, uint64_t nSize) { os::memory::ResizeFile(path, nSize); }
inline void RemoveHeldFile(const std::string& path) { os::memory::RemoveFile(path); }
inline std::string HeldFileLeftIn(const std::string& folder) { return os::memory::AnyFileIn(folder); }
// Faults only the in-memory held files can have.
inline bool HeldFileFaultsAvailable() { return true; }
inline void FailHeldFileReadsAfter(const std::string& path, uint64_t nBytes) { os::memory::FailReadsAfter(path, nBytes); }
inline void SetHeldFileCapacity(int64_t nBytes) { os::memory::SetFileCapacity(nBytes); }
inline size_t OpenHeldFileHandles() { return os::memory::OpenHandleCount(); }

#else

inline void PrepareHeldFileFolder(const std::string&) {}
inline bool ReadHeldFile(const std::string& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}
inline void CutHeldFile(const std::string& path, uint64_t nSize) {
    std::error_code ec;
    std::filesystem::resize_file(path, nSize, ec);
}
inline void RemoveHeldFile(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
}
inline bool HeldFileFaultsAvailable() { return false; }
inline void FailHeldFileReadsAfter(const std::string&, uint64_t) {}
inline void SetHeldFileCapacity(int64_t) {}
inline size_t OpenHeldFileHandles() { return 0; }  // not counted for real files
// The name of anything in the folder, or empty when it is empty.
inline std::string HeldFileLeftIn(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        return entry.path().filename().string();
    return {};
}

#endif

}  // namespace zykim::test
