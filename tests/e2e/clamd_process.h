// A clamd of the test's own for the end-to-end tests of the clamd and ICAP scanners:
// a scratch configuration, its local socket in a scratch folder, the shipped test
// signature, no freshclam. Native only: clamd does not run under Wine.
#pragma once

#ifndef _WIN32

#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/e2e_support.h"

namespace zykim::e2e {

// A clamd in the foreground with a scratch configuration; stopped with the object.
class ClamdProcess {
public:
    ~ClamdProcess() { Stop(); }
    std::string SocketPath() const { return m_dir.File("clamd.sock"); }

    // The clamd program, or empty where there is none.
    static std::string Program() {
        std::string clamd;
        if (zykproxy::process::FindProgram("clamd", &clamd) ||
            zykproxy::process::FindProgram("/usr/sbin/clamd", &clamd))
            return clamd;
        return "";
    }

    // Starts clamd and waits until it answers PING; false and why when it does not.
    bool Start(std::string* why) {
        const std::string clamd = Program();
        const std::string db = m_dir.File("db");
        std::filesystem::create_directories(db);
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(Built("zykproxy-signatures"), ec))
            std::filesystem::copy_file(entry.path(), db + "/" + entry.path().filename().string(),
                                       std::filesystem::copy_options::overwrite_existing, ec);
        std::ofstream(m_dir.File("clamd.conf"))
            << "LocalSocket " << SocketPath() << "\n"
            << "DatabaseDirectory " << db << "\n"
            << "TemporaryDirectory " << m_dir.Path() << "\n"
            << "Foreground yes\n"
            << "LogFile " << m_dir.File("clamd.log") << "\n"
            << "StreamMaxLength 1M\n"
            << "MaxThreads 3\n";
        // clamd writes its log to standard output too: into a file, not the test's.
        std::string error;
        zykproxy::process::StartOptions options;
        options.stderrPath = m_dir.File("clamd.out");
        if (!m_process.Start("/bin/sh",
                             {"-c", "exec '" + clamd + "' -c '" + m_dir.File("clamd.conf") + "' >'" +
                                        m_dir.File("clamd.out") + "' 2>&1"},
                             options, &error)) {
            *why = error;
            return false;
        }
        if (!WaitUntil([&] { return Ping() || !m_process.Running(); }, 60000) || !Ping()) {
            *why = "clamd did not answer: " + ReadWholeFile(m_dir.File("clamd.out"));
            Stop();
            return false;
        }
        return true;
    }

    void Stop() {
        if (!m_process.Running()) return;
        m_process.RequestStop();
        int code = 0;
        if (!m_process.Wait(20000, &code)) m_process.Kill();
    }

private:
    bool Ping() const {
        std::string error;
        znet::Socket s = znet::ConnectLocal(SocketPath(), &error);
        if (!s.Valid() || !znet::SendAll(s.Get(), "zPING", 6)) return false;
        return zykproxy::test::ReadUpTo(s.Get(), 5, 2000) == std::string("PONG", 5);
    }

    zykim::test::ScratchDir m_dir;
    zykproxy::process::ChildProcess m_process;
};

}  // namespace zykim::e2e

#endif
