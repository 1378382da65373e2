// The plug-in as a host sees it: a library loaded by path at run time, driven only
// through the functions it exports by their plain names.
#pragma once

#include <string>

#include "common/library.h"
#include "zykim/zykim.h"

namespace zykproxy {

// The exports the host calls, typed from the host-facing header.
struct PluginExports {
    decltype(&::RegisterCallback) RegisterCallback = nullptr;
    decltype(&::SetISocket) SetISocket = nullptr;
    decltype(&::OnNewConnectionEx) OnNewConnectionEx = nullptr;
    decltype(&::OnRequestFromApplication) OnRequestFromApplication = nullptr;
    decltype(&::OnRequestFromServer) OnRequestFromServer = nullptr;
    decltype(&::OnEndConnection) OnEndConnection = nullptr;
    // Null for a plug-in that predates it: that one checks one file at a time.
    decltype(&::SetParallelChecks) SetParallelChecks = nullptr;
};

// Not copyable: it owns the loaded library.
class PluginLibrary {
public:
    ~PluginLibrary() { Unload(); }

    // Loads the library and finds every export the host needs. False and a reason
    // (the system's, or the names that are missing) otherwise; nothing stays loaded.
    bool Load(const std::string& path, std::string* error);
    // Clears the scan callback and the socket interface, then unloads. Call only when no
    // connection is open.
    void Unload();
    const PluginExports& Exports() const { return m_exports; }
    bool Loaded() const { return m_library.IsOpen(); }

private:
    zyk::DynamicLibrary m_library;
    PluginExports m_exports;
};

}  // namespace zykproxy
