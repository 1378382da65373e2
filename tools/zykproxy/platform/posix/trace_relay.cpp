// The plug-in's trace on POSIX: two environment variables read by the plug-in at load.
#include <string>

#include "platform/system.h"
#include "platform/trace_relay.h"

namespace zykproxy::platform {

struct TraceRelay::State {};

TraceRelay::TraceRelay() : m_state(std::make_unique<State>()) {}
TraceRelay::~TraceRelay() = default;

bool TraceRelay::Start(int level, LineSink, std::string* error) {
    const std::string text = std::to_string(level);
    if (!SetEnvironment("ZYKIM_DEBUG_LEVEL", text.c_str()) ||
        !SetEnvironment("ZYKIM_DEBUG_OUTPUT", "stderr")) {
        *error = "cannot set the plug-in's trace variables";
        return false;
    }
    return true;
}

void TraceRelay::Stop() {}

}  // namespace zykproxy::platform
