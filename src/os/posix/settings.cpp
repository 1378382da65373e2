// The trace level on POSIX: the environment variable ZYKIM_DEBUG_LEVEL.
#include "os/settings.h"

#include <cstdlib>

namespace zykim::os {

int32_t ReadDebugLevel() { return ParseDebugLevel(std::getenv("ZYKIM_DEBUG_LEVEL")); }

}  // namespace zykim::os
