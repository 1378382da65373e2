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
    void Set(const ZykConnection* app, std::shared_ptr<CIMProxy> proxy);
    size_t Size() const { return m_entries.size(); }
    // Forgets every entry without destroying the proxies: at unload their destructors
    // would call into the host, which may already be gone.
    void Abandon();

private:
    static uintptr_t Key(const ZykConnection* app) { return reinterpret_cast<uintptr_t>(app); }
    std::map<uintptr_t, std::shared_ptr<CIMProxy>> m_entries;
};

}  // namespace zykim
