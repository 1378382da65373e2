// The one time-out that means "wait without limit", for locks and sockets alike.
#pragma once

#include <cstdint>

namespace zykim::os {

constexpr uint32_t kWaitInfinite = 0xFFFFFFFFu;

}  // namespace zykim::os
