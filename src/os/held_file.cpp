// The portable half of the held-file service: ownership transfer, the identity used in
// held-file names and the held files still to be deleted. The backend does the file work.
#include "os/held_file.h"
#include "os/held_file_backend.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zykim::os {

namespace {

// Held files still to be deleted, and the identities of the live transfer objects. The
// lists exist only while they hold something: nothing is left allocated when the library
// unloads with both empty, and nothing needs destroying in any order at unload.
std::mutex g_rememberedMutex;
std::vector<std::string>* g_pRemembered = nullptr;
std::atomic<size_t> g_nRemembered{0};

std::mutex g_liveMutex;
std::set<int32_t>* g_pLive = nullptr;

// 31 bits from the system's random source; should it fail, a sequence mixed with the
// process id and a stack address, which still keeps the numbers of one process apart.
uint32_t Random31() {
    uint32_t value = 0;
    if (!FillRandom(&value, sizeof value)) {
        static std::atomic<uint32_t> s_sequence{0};
        value = (s_sequence.fetch_add(1) + 1) * 2654435761u ^ CurrentProcessNumber() * 40503u ^
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&value));
    }
    return value & 0x7FFFFFFFu;
}

}  // namespace

bool DeleteHeldFile(const char* pszPath) {
    if (pszPath == nullptr) return true;
    if (DeleteFileByPath(pszPath) != DeleteOutcome::kFailed) return true;
    std::lock_guard<std::mutex> guard(g_rememberedMutex);
    if (g_pRemembered == nullptr) g_pRemembered = new std::vector<std::string>;
    g_pRemembered->emplace_back(pszPath);
    g_nRemembered = g_pRemembered->size();
    return false;
}

size_t DeleteRememberedHeldFiles() {
    if (g_nRemembered.load() == 0) return 0;
    std::lock_guard<std::mutex> guard(g_rememberedMutex);
    if (g_pRemembered == nullptr) return 0;
    std::vector<std::string> left;
    for (const std::string& path : *g_pRemembered)
        if (DeleteFileByPath(path.c_str()) == DeleteOutcome::kFailed) left.push_back(path);
    g_pRemembered->swap(left);
    const size_t nLeft = g_pRemembered->size();
    if (nLeft == 0) {
        delete g_pRemembered;
        g_pRemembered = nullptr;
    }
    g_nRemembered = nLeft;
    return nLeft;
}

HeldFile::HeldFile(HeldFile&& other) noexcept
    : m_native(other.m_native), m_nLastError(other.m_nLastError) {
    other.m_native = kInvalid;
}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_native = other.m_native;
        m_nLastError = other.m_nLastError;
        other.m_native = kInvalid;
    }
    return *this;
}

int32_t NewHeldFileIdentity(const void* pObject) {
    if (sizeof(void*) == 4) return static_cast<int32_t>(reinterpret_cast<intptr_t>(pObject));
    std::lock_guard<std::mutex> guard(g_liveMutex);
    if (g_pLive == nullptr) g_pLive = new std::set<int32_t>;
    for (;;) {
        const int32_t n = static_cast<int32_t>(Random31());
        if (g_pLive->insert(n).second) return n;
    }
}

void ReleaseHeldFileIdentity(int32_t nIdentity) {
    if (sizeof(void*) == 4) return;
    std::lock_guard<std::mutex> guard(g_liveMutex);
    if (g_pLive == nullptr) return;
    g_pLive->erase(nIdentity);
    if (g_pLive->empty()) {
        delete g_pLive;
        g_pLive = nullptr;
    }
}

}  // namespace zykim::os
