// The messenger-plug-in exports' view of the clients on Windows: a fresh CIMConfig per
// call, and the scanner path from the DLL's own path.
#include "imconfig/im_plugin.h"
#include "imconfig/imconfig.h"
#include "os/module_path.h"

namespace zykim::imconfig {

ClientReport QueryClient(int32_t id) {
    CIMConfig config;
    ClientReport report;
    switch (id) {
        case 1:
            report.installed = config.fIsAIMPossible();
            report.on = report.installed && config.fIsAIMEnabled();
            break;
        case 2:
            report.installed = config.fIsMSNPossible();
            report.on = report.installed && config.fIsMSNEnabled();
            break;
        case 3:
            report.installed = config.fIsTrillianPossible();
            report.on = report.installed && config.fIsTrillianEnabled();
            break;
        default: break;
    }
    return report;
}

bool ConfigureClient(int32_t id, int32_t on, const std::string& scannerPath) {
    CIMConfig config;
    switch (id) {
        case 1:
            if (!config.fIsAIMPossible()) return false;
            config.bConfigAIM(on, scannerPath.c_str());
            return true;
        case 2:
            if (!config.fIsMSNPossible()) return false;
            config.bConfigMSN(on, scannerPath.c_str());
            return true;
        case 3:
            if (!config.fIsTrillianPossible()) return false;
            config.bConfigTrillian(on, scannerPath.c_str());
            return true;
        default: return false;
    }
}

std::string BuildScannerPath() {
    return ReplaceLibraryName(LowerCaseInCodePage(os::ModuleFilePath(), CP_ACP));
}

}  // namespace zykim::imconfig
