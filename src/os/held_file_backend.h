// What each backend supplies to the portable half of the held-file service.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zykim::os {

enum class DeleteOutcome { kDeleted, kMissing, kFailed };
// Deletes a file; kMissing when there was none to delete.
DeleteOutcome DeleteFileByPath(const char* pszPath);
// Fills the buffer from the system's random source; false when it cannot.
bool FillRandom(void* pBuffer, size_t nBytes);
uint32_t CurrentProcessNumber();

}  // namespace zykim::os
