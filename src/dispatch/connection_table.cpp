// The connection table.
#include "dispatch/connection_table.h"

#include "proxy/im_proxy.h"

namespace zykim {

std::shared_ptr<CIMProxy> CConnectionTable::Find(const ZykConnection* app) const {
    const auto it = m_entries.find(Key(app));
    return it == m_entries.end() ? nullptr : it->second;
}

std::shared_ptr<CIMProxy> CConnectionTable::Remove(const ZykConnection* app) {
    const auto it = m_entries.find(Key(app));
    if (it == m_entries.end()) return nullptr;
    std::shared_ptr<CIMProxy> proxy = std::move(it->second);
    m_entries.erase(it);
    return proxy;
}

std::shared_ptr<CIMProxy> CConnectionTable::Set(const ZykConnection* app, std::shared_ptr<CIMProxy> proxy) {
    std::shared_ptr<CIMProxy>& entry = m_entries[Key(app)];
    std::swap(entry, proxy);
    return proxy;
}

void CConnectionTable::DetachAll() {
    for (auto& entry : m_entries)
        if (entry.second) entry.second->vDetachFromHost();
    m_entries.clear();
}

CConnectionTable* g_pConnectionTable = nullptr;

}  // namespace zykim
