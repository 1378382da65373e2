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

// Never destroyed: the library's unload may run after the static destructors.
struct Remembered {
    std::mutex mutex;
    std::vector<std::string> paths;
    std::atomic<size_t> count{0};
};
Remembered& RememberedFiles() {
    static Remembered* s_remembered = new Remembered;
    return *s_remembered;
}

struct LiveIdentities {
    std::mutex mutex;
    std::set<int32_t> numbers;
};
LiveIdentities& Live() {
    static LiveIdentities* s_live = new LiveIdentities;
    return *s_live;
}

// 31 bits from the system's random source; should it fail, a sequence mixed with the
// time and the process, which at least keeps the numbers of one process apart.
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
    Remembered& r = RememberedFiles();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.paths.emplace_back(pszPath);
    r.count = r.paths.size();
    return false;
}

size_t DeleteRememberedHeldFiles() {
    Remembered& r = RememberedFiles();
    if (r.count.load() == 0) return 0;
    std::lock_guard<std::mutex> guard(r.mutex);
    std::vector<std::string> left;
    for (const std::string& path : r.paths)
        if (DeleteFileByPath(path.c_str()) == DeleteOutcome::kFailed) left.push_back(path);
    r.paths.swap(left);
    r.count = r.paths.size();
    return r.paths.size();
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
    LiveIdentities& live = Live();
    std::lock_guard<std::mutex> guard(live.mutex);
    for (;;) {
        const int32_t n = static_cast<int32_t>(Random31());
        if (live.numbers.insert(n).second) return n;
    }
}

void ReleaseHeldFileIdentity(int32_t nIdentity) {
    if (sizeof(void*) == 4) return;
    LiveIdentities& live = Live();
    std::lock_guard<std::mutex> guard(live.mutex);
    live.numbers.erase(nIdentity);
}

}  // namespace zykim::os
