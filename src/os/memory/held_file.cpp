// The held-file backend of the fuzz builds: files are byte vectors in a table keyed by
// path, handles are slots of an open-file table. It keeps the contract of the POSIX
// backend (exclusive creation after removing a stale file, reading from the start,
// deletion while open allowed) and adds the faults the fuzzers switch on. Never part of
// the shipped library.
#include "os/memory/held_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "os/held_file.h"
#include "os/held_file_backend.h"

namespace zykim::os {

namespace {

struct File {
    std::vector<uint8_t> data;
    uint64_t nCapacity = UINT64_MAX;
    uint64_t nReadLimit = UINT64_MAX;
};

struct Handle {
    std::shared_ptr<File> file;  // null: the slot is free
    size_t nPosition = 0;
    bool bWritable = false;
};

// One lock for the whole table: the exports fuzzer's host threads may reach it at once.
std::mutex g_mutex;
std::map<std::string, std::shared_ptr<File>>* g_pFiles = nullptr;
std::vector<Handle>* g_pHandles = nullptr;
std::set<std::string>* g_pFolders = nullptr;
int64_t g_nCapacity = -1;

std::map<std::string, std::shared_ptr<File>>& Files() {
    if (g_pFiles == nullptr) g_pFiles = new std::map<std::string, std::shared_ptr<File>>;
    return *g_pFiles;
}
std::vector<Handle>& Handles() {
    if (g_pHandles == nullptr) g_pHandles = new std::vector<Handle>;
    return *g_pHandles;
}
std::set<std::string>& Folders() {
    if (g_pFolders == nullptr) g_pFolders = new std::set<std::string>;
    return *g_pFolders;
}

// A path with each run of separators as one and no separator at the end, so that
// "dir//name" (a temporary folder given with its separator) names "dir/name".
std::string Normal(const std::string& path) {
    std::string out;
    for (const char c : path)
        if (c != '/' || out.empty() || out.back() != '/') out += c;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::shared_ptr<File> Find(const std::string& path) {
    auto& files = Files();
    const auto it = files.find(Normal(path));
    return it == files.end() ? nullptr : it->second;
}

intptr_t Open(std::shared_ptr<File> file, bool bWritable) {
    auto& handles = Handles();
    for (size_t i = 0; i < handles.size(); ++i) {
        if (!handles[i].file) {
            handles[i] = Handle{std::move(file), 0, bWritable};
            return static_cast<intptr_t>(i);
        }
    }
    handles.push_back(Handle{std::move(file), 0, bWritable});
    return static_cast<intptr_t>(handles.size() - 1);
}

Handle* HandleOf(intptr_t native) {
    auto& handles = Handles();
    if (native < 0 || static_cast<size_t>(native) >= handles.size()) return nullptr;
    Handle& h = handles[static_cast<size_t>(native)];
    return h.file ? &h : nullptr;
}

}  // namespace

DeleteOutcome DeleteFileByPath(const char* pszPath) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return Files().erase(Normal(pszPath)) > 0 ? DeleteOutcome::kDeleted : DeleteOutcome::kMissing;
}

bool HeldFile::Create(const char* pszPath) {
    Close();
    if (pszPath == nullptr) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    const std::string path = Normal(pszPath);
    if (Folders().count(FolderOf(path)) == 0) {
        m_nLastError = ENOENT;
        return false;
    }
    auto file = std::make_shared<File>();
    if (g_nCapacity >= 0) file->nCapacity = static_cast<uint64_t>(g_nCapacity);
    Files()[path] = file;  // a stale file of that name goes
    m_native = Open(std::move(file), true);
    return true;
}

bool HeldFile::OpenForReading(const char* pszPath) {
    Close();
    if (pszPath == nullptr) return false;
    std::lock_guard<std::mutex> guard(g_mutex);
    std::shared_ptr<File> file = Find(pszPath);
    if (!file) {
        m_nLastError = ENOENT;
        return false;
    }
    m_native = Open(std::move(file), false);
    return true;
}

int32_t HeldFile::Append(const uint8_t* pData, int32_t nSize) {
    if (pData == nullptr || nSize < 0) return -1;
    std::lock_guard<std::mutex> guard(g_mutex);
    Handle* h = HandleOf(m_native);
    if (h == nullptr || !h->bWritable) return -1;
    File& f = *h->file;
    const uint64_t nRoom = f.data.size() < f.nCapacity ? f.nCapacity - f.data.size() : 0;
    const size_t n = nRoom < static_cast<uint64_t>(nSize) ? static_cast<size_t>(nRoom) : static_cast<size_t>(nSize);
    if (n == 0 && nSize > 0) {
        m_nLastError = ENOSPC;
        return -1;
    }
    f.data.insert(f.data.end(), pData, pData + n);
    return static_cast<int32_t>(n);
}

int32_t HeldFile::Read(uint8_t* pBuffer, int32_t nSize) {
    if (pBuffer == nullptr || nSize < 0) return -1;
    std::lock_guard<std::mutex> guard(g_mutex);
    Handle* h = HandleOf(m_native);
    if (h == nullptr) return -1;
    const File& f = *h->file;
    if (h->nPosition >= f.nReadLimit && h->nPosition < f.data.size()) {
        m_nLastError = EIO;
        return -1;
    }
    size_t n = h->nPosition < f.data.size() ? f.data.size() - h->nPosition : 0;
    if (n > static_cast<size_t>(nSize)) n = static_cast<size_t>(nSize);
    if (h->nPosition + n > f.nReadLimit) n = static_cast<size_t>(f.nReadLimit - h->nPosition);
    if (n > 0) std::memcpy(pBuffer, f.data.data() + h->nPosition, n);
    h->nPosition += n;
    return static_cast<int32_t>(n);
}

void HeldFile::Close() {
    if (!IsOpen()) return;
    std::lock_guard<std::mutex> guard(g_mutex);
    if (Handle* h = HandleOf(m_native)) *h = Handle{};
    m_native = kInvalid;
}

namespace memory {

void AddFolder(const std::string& folder) {
    std::lock_guard<std::mutex> guard(g_mutex);
    Folders().insert(Normal(folder));
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const std::shared_ptr<File> file = Find(path);
    if (!file) return false;
    out = file->data;
    return true;
}

bool ResizeFile(const std::string& path, uint64_t nSize) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const std::shared_ptr<File> file = Find(path);
    if (!file) return false;
    file->data.resize(static_cast<size_t>(nSize));
    return true;
}

bool RemoveFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(g_mutex);
    return Files().erase(Normal(path)) > 0;
}

bool FailReadsAfter(const std::string& path, uint64_t nBytes) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const std::shared_ptr<File> file = Find(path);
    if (!file) return false;
    file->nReadLimit = nBytes;
    return true;
}

void SetFileCapacity(int64_t nBytes) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_nCapacity = nBytes;
}

std::string AnyFileIn(const std::string& folder) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const std::string f = Normal(folder);
    for (const auto& entry : Files())
        if (FolderOf(entry.first) == f) return entry.first.substr(f.size() + 1);
    return {};
}

size_t FileCount() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return Files().size();
}

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> guard(g_mutex);
    size_t n = 0;
    for (const Handle& h : Handles()) n += h.file ? 1 : 0;
    return n;
}

}  // namespace memory

}  // namespace zykim::os
