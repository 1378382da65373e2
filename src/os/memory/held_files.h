// Held files kept in memory, for the fuzz builds only: the fuzzers link this backend in
// place of the one that writes real files, so that an input that reaches a body costs no
// file system calls. The functions below are what a scanner (the fuzzers' scan callback)
// does to a held file, and the faults the fuzzers can give the file work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zykim::os::memory {

// Folders in which held files can be created; creating one anywhere else fails as in a
// folder that does not exist.
void AddFolder(const std::string& folder);

// A copy of the file's bytes; false when there is no such file.
bool ReadFile(const std::string& path, std::vector<uint8_t>& out);
// Cuts the file to nSize bytes (or lengthens it with zeros); false when there is none.
bool ResizeFile(const std::string& path, uint64_t nSize);
// Removes the file, as a scanner that deletes what it finds would.
bool RemoveFile(const std::string& path);
// Reading the file back fails once nBytes of it have been read through one open handle.
bool FailReadsAfter(const std::string& path, uint64_t nBytes);

// Every held file created from now on takes at most nBytes (a full disk); negative: no
// limit. A write that finds no room fails; one that finds some room writes what fits.
void SetFileCapacity(int64_t nBytes);

// The path of a file in the folder (its name only), or empty when it holds none.
std::string AnyFileIn(const std::string& folder);
// Files that exist, and handles that are open.
size_t FileCount();
size_t OpenHandleCount();

}  // namespace zykim::os::memory
