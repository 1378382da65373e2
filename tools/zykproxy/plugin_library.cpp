// Loading the plug-in and finding its exports.
#include "plugin_library.h"

namespace zykproxy {

namespace {
template <typename Fn>
void Bind(const zyk::DynamicLibrary& library, const char* name, Fn* slot,
          std::string* missing) {
    *slot = reinterpret_cast<Fn>(library.Find(name));
    if (*slot == nullptr) *missing += std::string(missing->empty() ? "" : ", ") + name;
}
}  // namespace

bool PluginLibrary::Load(const std::string& path, std::string* error) {
    Unload();
    if (!m_library.Open(path, error)) return false;
    std::string missing;
    Bind(m_library, "RegisterCallback", &m_exports.RegisterCallback, &missing);
    Bind(m_library, "SetISocket", &m_exports.SetISocket, &missing);
    Bind(m_library, "OnNewConnectionEx", &m_exports.OnNewConnectionEx, &missing);
    Bind(m_library, "OnRequestFromApplication", &m_exports.OnRequestFromApplication, &missing);
    Bind(m_library, "OnRequestFromServer", &m_exports.OnRequestFromServer, &missing);
    Bind(m_library, "OnEndConnection", &m_exports.OnEndConnection, &missing);
    m_exports.SetParallelChecks = reinterpret_cast<decltype(m_exports.SetParallelChecks)>(
        m_library.Find("SetParallelChecks"));
    if (!missing.empty()) {
        *error = path + " does not export " + missing;
        m_exports = PluginExports();
        m_library.Close();
        return false;
    }
    return true;
}

void PluginLibrary::Unload() {
    if (!m_library.IsOpen()) return;
    m_exports.RegisterCallback(nullptr);
    m_exports.SetISocket(nullptr);
    m_exports = PluginExports();
    m_library.Close();
}

}  // namespace zykproxy
