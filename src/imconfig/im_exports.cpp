// The exports GetIMPlugin and SetIMPlugin: whether a messenger client is installed and
// hooked, and switching its hook on (to zykims.exe beside the plug-in) or off.
#include <string>

#include "imconfig/im_plugin.h"
#include "plugin/guard.h"
#include "plugin/trace.h"
#include "zykim/zykim.h"

using namespace zykim;

namespace {
const char* ClientTraceName(int32_t id) {
    static const char* const kNames[] = {"AIM", "MSN", "TRILLIAN"};
    return kNames[id - imconfig::kFirstPluginId];
}
}  // namespace

ZYKIM_API void ZYKIM_CALL GetIMPlugin(int id, int* installed, int* on) {
    CallGuarded([&] {
        // A null cell is not written; the trace then shows 0 for it.
        if (on != nullptr) *on = 0;
        if (imconfig::IsPluginId(id)) {
            const imconfig::ClientReport report = imconfig::QueryClient(id);
            if (installed != nullptr) *installed = report.installed ? 1 : 0;
            if (report.installed) {
                if (on != nullptr) *on = report.on ? 1 : 0;
            } else {
                TraceInfo("GetIMPlugin (No %s)!\n", ClientTraceName(id));
            }
        } else {
            // The installed cell keeps the caller's value.
            TraceWarning("GetIMPlugin (unknow plugin ID).\n");
        }
        TraceInfo("ZYKProxy-> GetIMPlugin (ID= %d;Install = %d; ON = %d)\n", id,
                  installed != nullptr ? *installed : 0, on != nullptr ? *on : 0);
    });
}

namespace zykim::imconfig {

void SwitchClient(int32_t id, int32_t on, const std::string& scannerPath) {
    TraceInfo("ZYKProxy-> SetIMPlugin (ID= %d ; ON=%d)\n", id, on);
    TraceInfo("ZYKProxy-> SetIMPlugin (ZYKIMS = %s", scannerPath.c_str());
    if (!IsPluginId(id)) {
        TraceWarning("SetIMPlugin (unknow plugin ID).\n");
        return;
    }
    // The module path could not be read: a hook switched on to run nothing would tell
    // the client that files are checked. Its settings stay as they are.
    if (on != 0 && scannerPath.empty()) {
        TraceError("SetIMPlugin (ID= %d): no scanner path, the hook is left as it is.\n", id);
        return;
    }
    if (!ConfigureClient(id, on, scannerPath))
        TraceInfo("SetIMPlugin (No %s)!\n", ClientTraceName(id));
}

}  // namespace zykim::imconfig

ZYKIM_API void ZYKIM_CALL SetIMPlugin(int id, int on) {
    CallGuarded([&] {
        // Built and traced before the id is looked at.
        imconfig::SwitchClient(id, on, imconfig::BuildScannerPath());
    });
}
