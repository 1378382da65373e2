// Threads with a stack of a chosen size, for the proxy's workers: many may exist at
// once (one per blocked call), and each needs only the stack of what it runs.
#pragma once

#include <cstddef>
#include <functional>

namespace zykproxy::platform {

// Runs body on a new detached thread with a stack of stackBytes. False when the system
// refuses the thread (out of memory or of threads); body is then not run.
bool StartDetachedThread(size_t stackBytes, std::function<void()> body);

}  // namespace zykproxy::platform
