// Windows has no service-manager socket of this kind: there is nothing to notify.
#include <chrono>

#include "platform/notify.h"

namespace zykproxy::platform {

ServiceManager TakeServiceManager() { return ServiceManager(); }

bool NotifyServiceManager(const ServiceManager&, const std::string&) { return false; }

long long MonotonicMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace zykproxy::platform
