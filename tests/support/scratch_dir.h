// Fresh, empty directories for tests, removed with everything in them afterwards; one
// of them can stand in as the temporary folder where the plug-in keeps its held files.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include "os/win32/win.h"
#endif

namespace zykim::test {

class ScratchDir {
public:
    ScratchDir() {
        static std::atomic<unsigned> s_count{0};
        const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
        m_path = std::filesystem::temp_directory_path() /
                 ("zykim-test-" + std::to_string(tick) + "-" + std::to_string(s_count++));
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The directory as the transfer object is given it, without a separator at the end.
    std::string Path() const { return m_path.string(); }
    std::string File(const std::string& name) const { return (m_path / name).string(); }
    // Names of the entries in the directory.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(m_path, ec))
            names.push_back(e.path().filename().string());
        return names;
    }
    // The plug-in's held files ("icq_oscar_*.tmp") that are in the directory now.
    std::vector<std::string> HeldFiles() const {
        std::vector<std::string> out;
        for (const std::string& name : Entries())
            if (name.rfind("icq_oscar_", 0) == 0) out.push_back(name);
        return out;
    }

private:
    std::filesystem::path m_path;
};

// Makes `folder` the temporary folder of this process, and so of the programs it starts,
// while the object lives (TMPDIR on POSIX, TMP on Windows); the old value comes back after.
class TempDirOverride {
public:
    explicit TempDirOverride(const std::string& folder) : m_saved(Get()) { Set(folder); }
    ~TempDirOverride() { Set(m_saved); }
    TempDirOverride(const TempDirOverride&) = delete;
    TempDirOverride& operator=(const TempDirOverride&) = delete;

private:
    static std::string Get() {
#ifdef _WIN32
        char buffer[MAX_PATH + 1] = {};
        const DWORD n = GetEnvironmentVariableA("TMP", buffer, sizeof buffer);
        return n > 0 && n < sizeof buffer ? std::string(buffer) : std::string();
#else
        const char* v = std::getenv("TMPDIR");
        return v ? v : "";
#endif
    }
    static void Set(const std::string& value) {
#ifdef _WIN32
        SetEnvironmentVariableA("TMP", value.empty() ? nullptr : value.c_str());
#else
        if (value.empty()) unsetenv("TMPDIR");
        else setenv("TMPDIR", value.c_str(), 1);
#endif
    }
    std::string m_saved;
};

// A scratch directory that is the temporary folder while it lives: the plug-in, which
// asks the system for that folder at every connection, keeps its held files in it.
class TempFolder : public ScratchDir {
public:
    TempFolder() : m_override(Path()) {}

private:
    TempDirOverride m_override;
};

}  // namespace zykim::test
