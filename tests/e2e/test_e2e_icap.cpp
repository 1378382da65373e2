// End to end with the ICAP scanner: zykproxy with the real plug-in sends each held
// file to an ICAP service. Natively, that is a real c-icap with its virus_scan
// service (a scratch configuration of the test's own) and a clamd of the test's own
// behind it; everywhere, under Wine too, a stand-in server for the answers c-icap
// never gives, and no server at all.
#include <gtest/gtest.h>

#include <future>

#include "e2e/clamd_process.h"
#include "e2e/e2e_support.h"
#include "zykproxy/fake_icap_server.h"

namespace zykim::e2e {
namespace {

using zykim::test::ScratchDir;
using zykproxy::test::FakeIcapServer;

std::vector<std::string> IcapArgs(const std::string& url, uint16_t upstreamPort) {
    return {"--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(upstreamPort),
            "--scanner", "icap", "--icap-url", url, "--scan-timeout", "60"};
}

void ExpectFile(const ReceiverResult& r, const std::string& name, const std::string& content) {
    const auto* f = r.Find(name);
    ASSERT_NE(f, nullptr) << name << ": " << r.error;
    EXPECT_TRUE(ReadWholeFile(f->path) == content) << name << " is not what was expected";
}

// A port that nothing listens on (a listener's, closed again).
uint16_t UnusedPort() {
    std::string error;
    const znet::Socket listener = znet::Listen(znet::Endpoint{"127.0.0.1", 0}, 1, &error);
    return znet::LocalPort(listener.Get());
}

#ifndef _WIN32

// c-icap in the foreground with a scratch configuration: its own port, pid file,
// command socket, temporary folder and logs; its virus_scan service asks the clamd
// at the given socket. Stopped with "stop" written to its command socket.
class CIcapProcess {
public:
    ~CIcapProcess() { Stop(); }

    static std::string Program() {
        std::string program;
        if (zykproxy::process::FindProgram("c-icap", &program)) return program;
        return "";
    }
    // The folder of c-icap's modules and services (Debian: /usr/lib/<triplet>/c_icap).
    static std::string ModulesFolder() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/usr/lib", ec))
            if (std::filesystem::exists(entry.path() / "c_icap" / "virus_scan.so", ec))
                return (entry.path() / "c_icap").string();
        return "";
    }

    // The service with the arguments that make virus_scan scan every file (README).
    std::string Url() const {
        return "icap://127.0.0.1:" + std::to_string(m_port) +
               "/virus_scan?allow204=on&force=on&sizelimit=off&mode=simple";
    }

    bool Start(const std::string& clamdSocket, std::string* why) {
        m_port = UnusedPort();
        std::filesystem::create_directories(m_dir.File("tmp"));
        const std::string modules = ModulesFolder();
        std::ofstream(m_dir.File("c-icap.conf"))
            << "Port 127.0.0.1:" << m_port << "\nPidFile " << m_dir.File("c-icap.pid")
            << "\nCommandsSocket " << m_dir.File("c-icap.ctl") << "\nTmpDir " << m_dir.File("tmp")
            << "\nServerLog " << m_dir.File("server.log") << "\nAccessLog " << m_dir.File("access.log")
            << "\nStartServers 1\nMaxServers 1\nThreadsPerChild 4\nMinSpareThreads 1\nMaxSpareThreads 4"
            << "\nModulesDir " << modules << "\nServicesDir " << modules
            << "\nTemplateDir /usr/share/c_icap/templates/\nLoadMagicFile /etc/c-icap/c-icap.magic"
            << "\nModule common clamd_mod.so\nclamd_mod.ClamdSocket " << clamdSocket
            << "\nService antivirus_module virus_scan.so"
            << "\nvirus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE\n";
        zykproxy::process::StartOptions options;
        options.stderrPath = m_dir.File("c-icap.out");
        if (!m_process.Start("/bin/sh", {"-c", "exec '" + Program() + "' -N -D -f '" + m_dir.File("c-icap.conf") +
                                                   "' >'" + m_dir.File("c-icap.out") + "' 2>&1"},
                             options, why))
            return false;
        if (!WaitUntil([&] { return Answers() || !m_process.Running(); }, 30000) || !Answers()) {
            *why = "c-icap did not answer: " + ReadWholeFile(m_dir.File("c-icap.out")) +
                   ReadWholeFile(m_dir.File("server.log"));
            Stop();
            return false;
        }
        return true;
    }

    void Stop() {
        if (!m_process.Running()) return;
        zykproxy::process::Run("/bin/sh", {"-c", "printf stop >'" + m_dir.File("c-icap.ctl") + "'"}, 5000);
        int code = 0;
        if (!m_process.Wait(20000, &code)) m_process.Kill();
    }

private:
    bool Answers() const {
        const std::string request = "OPTIONS icap://127.0.0.1/virus_scan ICAP/1.0\r\nHost: 127.0.0.1\r\n"
                                    "Encapsulated: null-body=0\r\n\r\n";
        znet::Socket s = zykproxy::test::ConnectTo(m_port);
        return s.Valid() && znet::SendAll(s.Get(), request.data(), request.size()) &&
               zykproxy::test::ReadUpTo(s.Get(), 15, 2000) == "ICAP/1.0 200 OK";
    }

    ScratchDir m_dir;
    uint16_t m_port = 0;
    zykproxy::process::ChildProcess m_process;
};

#endif

TEST(IcapEndToEnd, CIcapPassesCleanFilesBlocksEicarAndFailsClosedWithoutItsClamd) {
#ifdef _WIN32
    GTEST_SKIP() << "c-icap and clamd cannot run under Wine: the c-icap test runs with the native build";
#else
    ASSERT_FALSE(ClamdProcess::Program().empty()) << "no clamd (Debian package clamav-daemon; ./zyk installs it)";
    ASSERT_FALSE(CIcapProcess::Program().empty() || CIcapProcess::ModulesFolder().empty())
        << "no c-icap with virus_scan (Debian packages c-icap, libc-icap-mod-virus-scan; ./zyk installs them)";
    ClamdProcess clamd;
    CIcapProcess icap;
    std::string why;
    ASSERT_TRUE(clamd.Start(&why)) << why;
    ASSERT_TRUE(icap.Start(clamd.SocketPath(), &why)) << why;
    ScratchDir work, held, files;
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    ASSERT_TRUE(proxy.Start(IcapArgs(icap.Url(), upstream.Port()), held.Path(), work.File("zykproxy.log")));
    const std::string clean = zykproxy::test::RandomBytes(200000, 81);
    const std::string big = zykproxy::test::RandomBytes(20 * 1024 * 1024, 82);

    const ReceiverResult first = Session(upstream, proxy, work.File("first"), {
        WriteFile(files, "clean.bin", clean), WriteFile(files, "eicar.com", zykproxy::test::EicarTestFile()),
        WriteFile(files, "big.bin", big)});
    EXPECT_TRUE(first.ok) << first.error;
    ExpectFile(first, "clean.bin", clean);
    ExpectFile(first, "eicar.com", std::string(68, '\0'));
    ExpectFile(first, "big.bin", big);

    // The service's clamd gone: c-icap answers 500, and the file is blocked.
    clamd.Stop();
    const ReceiverResult second = Session(upstream, proxy, work.File("second"), {WriteFile(files, "during.bin", clean)});
    EXPECT_TRUE(second.ok) << second.error;
    ExpectFile(second, "during.bin", std::string(clean.size(), '\0'));

    ASSERT_TRUE(proxy.WaitForEnded(2));
    proxy.Stop();
    const std::string log = proxy.Log();
    EXPECT_NE(log.find("scanner icap " + icap.Url()), std::string::npos) << log;
    EXPECT_NE(log.find("check 1 \"clean.bin\" 200000 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("check 2 \"eicar.com\" 68 bytes: INFECTED (Zykproxy.Test.EICAR"), std::string::npos) << log;
    EXPECT_NE(log.find("check 3 \"big.bin\" 20971520 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("check 4 \"during.bin\" 200000 bytes: SCAN FAILED (the ICAP server answered 500 "),
              std::string::npos) << log;
    EXPECT_EQ(held.HeldFiles(), std::vector<std::string>{});
#endif
}

// The answers c-icap never gives: one cut off in the middle, a header without end (a
// folded field that goes on), and a 204 that names a threat. Each blocks the file, at
// once, and the log says why.
TEST(IcapEndToEnd, AnAnswerCutShortOrWithoutEndOrA204WithAFindingBlocksTheFile) {
    const struct {
        FakeIcapServer::Reply reply;
        const char* verdict;
        const char* reason;
    } cases[] = {
        {&FakeIcapServer::CutShort, "SCAN FAILED (", "in the middle of its answer"},
        {&FakeIcapServer::EndlessHeader, "SCAN FAILED (",
         "malformed ICAP answer: header sections longer than 65536 bytes"},
        {FakeIcapServer::Sends("ICAP/1.0 204 No Content\r\nISTag: \"fake-1\"\r\n"
                               "X-Infection-Found: Type=0; Resolution=2; Threat=Zykproxy.Test.Threat;\r\n\r\n"),
         "INFECTED (", "INFECTED (Zykproxy.Test.Threat), blocked"},
    };
    for (const auto& c : cases) {
        FakeIcapServer server({c.reply});
        ScratchDir work, held, files;
        ScriptedUpstream upstream;
        ProxyProcess proxy;
        ASSERT_TRUE(proxy.Start(IcapArgs(server.Url(), upstream.Port()), held.Path(), work.File("zykproxy.log")));
        const std::string content = zykproxy::test::RandomBytes(5000, 83);
        const ReceiverResult r = Session(upstream, proxy, work.File("out"), {WriteFile(files, "f.bin", content)});
        EXPECT_TRUE(r.ok) << r.error;
        ExpectFile(r, "f.bin", std::string(content.size(), '\0'));
        ASSERT_TRUE(proxy.WaitForEnded(1));
        proxy.Stop();
        const std::string log = proxy.Log();
        EXPECT_NE(log.find("\"f.bin\" 5000 bytes: " + std::string(c.verdict)), std::string::npos) << log;
        EXPECT_NE(log.find(c.reason), std::string::npos) << log;
        EXPECT_EQ(server.Respmods(), 1);
    }
}

// Files that complete at once are checked at once, on as many connections as the
// service allows (Max-Connections: 4, each answer after 1 s): four transfers take about
// one check's time, not four, and a fifth connection is never opened.
TEST(IcapEndToEnd, FilesThatCompleteTogetherAreCheckedTogetherUpToMaxConnections) {
    const FakeIcapServer::Reply slowNoContent = [](znet::SocketId s) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        return FakeIcapServer::NoContent(s);
    };
    FakeIcapServer server({slowNoContent}, 3600, 4);
    ScratchDir work, held, files;
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    ASSERT_TRUE(proxy.Start(IcapArgs(server.Url(), upstream.Port()), held.Path(), work.File("zykproxy.log")));
    const std::string content = zykproxy::test::RandomBytes(5000, 84);
    const std::string file = WriteFile(files, "f.bin", content);
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::future<ReceiverResult>> sessions;
    for (int i = 0; i < 4; ++i)
        sessions.push_back(std::async(std::launch::async, [&, i] {
            return Session(upstream, proxy, work.File("out" + std::to_string(i)), {file});
        }));
    for (auto& session : sessions) {
        const ReceiverResult r = session.get();
        EXPECT_TRUE(r.ok) << r.error;
        ExpectFile(r, "f.bin", content);
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(ms.count(), 2000) << proxy.Log();
    EXPECT_EQ(server.Respmods(), 4);
    EXPECT_LE(server.Connections(), 4);
    ASSERT_TRUE(proxy.WaitForEnded(4));
    proxy.Stop();
    const std::string log = proxy.Log();
    EXPECT_NE(log.find("up to 4 files checked at once"), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, "\"f.bin\" 5000 bytes: clean, passed"), 4u) << log;
}

TEST(IcapEndToEnd, NoIcapServiceAtStartStopsZykproxyWithStatusTwo) {
    ScratchDir work;
    std::vector<std::string> args = IcapArgs("icap://127.0.0.1:" + std::to_string(UnusedPort()) + "/avscan", 5190);
    args.insert(args.end(), {"--plugin", Built(ZYK_E2E_PLUGIN)});
    zykproxy::process::ChildProcess proxy;
    zykproxy::process::StartOptions options;
    options.stderrPath = work.File("zykproxy.log");
    std::string error;
    ASSERT_TRUE(proxy.Start(Built(ZYK_E2E_ZYKPROXY), args, options, &error)) << error;
    int code = -1;
    ASSERT_TRUE(proxy.Wait(60000, &code));
    EXPECT_EQ(code, 2);
    const std::string log = ReadWholeFile(work.File("zykproxy.log"));
    EXPECT_NE(log.find("ICAP server unreachable"), std::string::npos) << log;
}

}  // namespace
}  // namespace zykim::e2e
