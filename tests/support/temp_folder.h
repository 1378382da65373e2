// A scratch temporary folder that the plug-in uses for its held files while it lives
// (TMPDIR on POSIX, TMP on Windows), removed again afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include "os/win32/win.h"
#else
#include <unistd.h>
#endif

namespace zykim::test {

class TempFolder {
public:
    TempFolder() {
        static int counter = 0;
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path base = fs::temp_directory_path(ec);
        m_path = base / ("zyk_test_" + std::to_string(Pid()) + "_" + std::to_string(++counter));
        fs::remove_all(m_path, ec);
        fs::create_directories(m_path, ec);
        m_saved = Get();
        Set(m_path.string());
    }
    ~TempFolder() {
        Set(m_saved);
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The plug-in's held files ("icq_oscar_*.tmp") that are in the folder now.
    std::vector<std::string> HeldFiles() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(m_path, ec)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("icq_oscar_", 0) == 0) out.push_back(name);
        }
        return out;
    }

private:
    static long Pid() {
#ifdef _WIN32
        return static_cast<long>(GetCurrentProcessId());
#else
        return static_cast<long>(getpid());
#endif
    }
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
    std::filesystem::path m_path;
    std::string m_saved;
};

}  // namespace zykim::test
