// The captured transfer replayed through zykproxy with the real plug-in: the oftpeer
// program plays the sender (zykproxy's upstream) in its recorded segments and the
// receiver through the proxy, in the recorded order, and says what the receiver got.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"

namespace zykim::e2e {
namespace {

using zykim::test::ScratchDir;

// A port that was free a moment ago, for the replay's server side to listen on:
// zykproxy must be told its upstream before the replay starts.
uint16_t FreePort() {
    std::string error;
    znet::Socket probe = znet::Listen(znet::Endpoint{"127.0.0.1", 0}, 1, &error);
    return probe.Valid() ? znet::LocalPort(probe.Get()) : 0;
}

struct ReplayRun {
    int exitCode = -1;
    std::string output;  // oftpeer's report
    std::string log;     // zykproxy's
    std::vector<std::string> held;  // left in zykproxy's temporary folder
};

// One replay through a zykproxy whose command scanner exits with `verdict`.
ReplayRun Replay(const std::string& verdict) {
    ReplayRun run;
    ScratchDir work, held;
    const uint16_t serverPort = FreePort();
    EXPECT_NE(serverPort, 0);
    ProxyProcess proxy;
    if (!proxy.Start({"--listen", "127.0.0.1:0", "--upstream",
                      "127.0.0.1:" + std::to_string(serverPort), "--once", "--scanner",
                      "command", "--scan-command", Built(ZYK_E2E_SCANNER), "--scan-arg", verdict},
                     held.Path(), work.File("zykproxy.log")))
        return run;
    zykproxy::process::ChildProcess peer;
    zykproxy::process::StartOptions options;
    options.captureStdout = true;
    std::string error;
    const bool started = peer.Start(
        Built(ZYK_E2E_OFTPEER),
        {"replay", "--proxy", "127.0.0.1:" + std::to_string(proxy.Port()), "--listen",
         "127.0.0.1:" + std::to_string(serverPort), "--data", CaptureFolder(), "--timeout", "20"},
        options, &error);
    EXPECT_TRUE(started) << error;
    if (!started) return run;
    for (std::string line; peer.ReadStdoutLine(&line, 30000);) run.output += line + "\n";
    EXPECT_TRUE(peer.Wait(20000, &run.exitCode));
    // zykproxy served its one connection and ends by itself.
    EXPECT_EQ(proxy.WaitForExit(), 0);
    run.log = proxy.Log();
    run.held = held.Entries();
    return run;
}

TEST(CaptureReplay, ACleanVerdictDeliversTheRecordedStreamByteForByte) {
    const ReplayRun run = Replay("0");
    EXPECT_EQ(run.exitCode, 0) << run.output << run.log;
    EXPECT_NE(run.output.find("client side received 12264 of 12264 bytes: identical"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("server side received 512 of 512 bytes: identical"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.log.find("\"recipe.docx\" 12008 bytes: clean, passed"), std::string::npos)
        << run.log;
    EXPECT_EQ(run.held, std::vector<std::string>{});
}

TEST(CaptureReplay, AnInfectedVerdictDeliversTheHeaderAndZeros) {
    const ReplayRun run = Replay("1");
    EXPECT_EQ(run.exitCode, 3) << run.output << run.log;
    EXPECT_NE(run.output.find("client side received 12264 of 12264 bytes: the header and 12008 zero bytes"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("server side received 512 of 512 bytes: identical"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.log.find("\"recipe.docx\" 12008 bytes: INFECTED (scanner exit code 1), blocked"),
              std::string::npos)
        << run.log;
    EXPECT_EQ(run.held, std::vector<std::string>{});
}

}  // namespace
}  // namespace zykim::e2e
