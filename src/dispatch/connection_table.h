// The connection table: application-side connection handle -> connection object.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "zykim/zykim.h"

namespace zykim {

class CIMProxy;

// Guarded by the table lock (callers take it). Entries are shared: a data call keeps
// its proxy alive after the table lock is released, even if the connection is ended
// meanwhile, and the last holder destroys it.
class CConnectionTable {
public:
    std::shared_ptr<CIMProxy> Find(const ZykConnection* app) const;
    // Removes the entry and hands its proxy to the caller (null when there was none).
    std::shared_ptr<CIMProxy> Remove(const ZykConnection* app);
    // Enters the proxy; hands back the one it replaced (null when there was none), for
    // the caller to let go of once the table lock is released.
    std::shared_ptr<CIMProxy> Set(const ZykConnection* app, std::shared_ptr<CIMProxy> proxy);
    size_t Size() const { return m_entries.size(); }
    // At unload: cuts every connection object off from the host (no scan callback, no
    // send), then lets go of them, so that each closes its lock and deletes its held
    // file without calling into a host that is unloading the plug-in.
    void DetachAll();

private:
    static uintptr_t Key(const ZykConnection* app) { return reinterpret_cast<uintptr_t>(app); }
    std::map<uintptr_t, std::shared_ptr<CIMProxy>> m_entries;
};

// The table of the loaded module: made by ModuleStartup after the two shared locks,
// destroyed by ModuleShutdown (dispatch/module_state.h); guarded by g_tableLock.
extern CConnectionTable* g_pConnectionTable;

}  // namespace zykim
