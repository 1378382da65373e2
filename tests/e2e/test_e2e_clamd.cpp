// End to end with the clamd scanner: zykproxy with the real plug-in streams each held
// file to a clamd of the test's own (scratch configuration, local socket in a scratch
// folder, the shipped test signature, no freshclam), which is stopped and started
// again in the middle of the run.
#include <gtest/gtest.h>

#include "e2e/clamd_process.h"
#include "e2e/e2e_support.h"

namespace zykim::e2e {
namespace {

using zykim::test::ScratchDir;

TEST(ClamdEndToEnd, ClamdChecksEachFileAndMayGoAndComeBack) {
#ifdef _WIN32
    GTEST_SKIP() << "clamd cannot run under Wine: the clamd tests run with the native build";
#else
    if (ClamdProcess::Program().empty())
        GTEST_SKIP() << "clamd cannot run here: no clamd program (Debian package clamav-daemon)";
    ClamdProcess clamd;
    std::string why;
    ASSERT_TRUE(clamd.Start(&why)) << why;
    ScratchDir work, held, files;
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    ASSERT_TRUE(proxy.Start({"--listen", "127.0.0.1:0", "--upstream",
                             "127.0.0.1:" + std::to_string(upstream.Port()), "--scanner", "clamd",
                             "--clamd-socket", clamd.SocketPath(), "--scan-timeout", "30"},
                            held.Path(), work.File("zykproxy.log")));
    const std::string clean = zykproxy::test::RandomBytes(200000, 71);
    const std::string big = zykproxy::test::RandomBytes(1536 * 1024, 72);  // above 1 MiB
    auto expect = [](const ReceiverResult& r, const std::string& name, const std::string& content) {
        const auto* f = r.Find(name);
        ASSERT_NE(f, nullptr) << name << ": " << r.error;
        EXPECT_TRUE(ReadWholeFile(f->path) == content) << name << " is not what was expected";
    };

    // Clean, infected, and beyond clamd's StreamMaxLength (blocked: not checked whole).
    const ReceiverResult first = Session(upstream, proxy, work.File("first"), {
        WriteFile(files, "clean.bin", clean),
        WriteFile(files, "eicar.com", zykproxy::test::EicarTestFile()),
        WriteFile(files, "big.bin", big)});
    EXPECT_TRUE(first.ok) << first.error;
    expect(first, "clean.bin", clean);
    expect(first, "eicar.com", std::string(68, '\0'));
    expect(first, "big.bin", std::string(big.size(), '\0'));

    // clamd gone: the file is blocked, and zykproxy goes on serving.
    clamd.Stop();
    const ReceiverResult second = Session(upstream, proxy, work.File("second"), {WriteFile(files, "during.bin", clean)});
    EXPECT_TRUE(second.ok) << second.error;
    expect(second, "during.bin", std::string(clean.size(), '\0'));

    // clamd back: the next check uses it again.
    ASSERT_TRUE(clamd.Start(&why)) << why;
    const ReceiverResult third = Session(upstream, proxy, work.File("third"), {WriteFile(files, "after.bin", clean)});
    EXPECT_TRUE(third.ok) << third.error;
    expect(third, "after.bin", clean);

    ASSERT_TRUE(proxy.WaitForEnded(3));
    proxy.Stop();
    const std::string log = proxy.Log();
    EXPECT_NE(log.find("scanner clamd "), std::string::npos) << log;
    // As many checks at once as clamd has threads (its STATS answer).
    EXPECT_NE(log.find("3 scanning threads)"), std::string::npos) << log;
    EXPECT_NE(log.find("up to 3 files checked at once"), std::string::npos) << log;
    EXPECT_NE(log.find("check 1 \"clean.bin\" 200000 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("check 2 \"eicar.com\" 68 bytes: INFECTED (Zykproxy.Test.EICAR"), std::string::npos) << log;
    EXPECT_NE(log.find("check 3 \"big.bin\" 1572864 bytes: SCAN FAILED (clamd: the file is larger than its StreamMaxLength"),
              std::string::npos) << log;
    EXPECT_NE(log.find("check 4 \"during.bin\" 200000 bytes: SCAN FAILED (clamd unreachable: connect "),
              std::string::npos) << log;
    EXPECT_NE(log.find("check 5 \"after.bin\" 200000 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("5 check(s): 2 clean, 1 infected, 2 failed, 0 unscanned; scan time median "),
              std::string::npos) << log;
    EXPECT_EQ(held.HeldFiles(), std::vector<std::string>{});
#endif
}

}  // namespace
}  // namespace zykim::e2e
