// The proxy host's parts that need no connection: the command line, the scanner
// back-ends and what a failed check means, the scan callback, the terminal output.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <sstream>
#include <thread>

#include "console.h"
#include "options.h"
#include "platform/system.h"
#include "scan/scan_service.h"
#include "scan/scanner.h"
#include "zykproxy/fake_icap_server.h"
#include "zykproxy/helpers.h"

using namespace zykproxy;
using zykproxy::test::ScratchFile;
using Verdict = ScanOutcome::Verdict;

namespace {

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

bool Parse(const std::string& line, Options* o, std::string* error) {
    return ParseOptions(Split(line), o, error);
}

const std::string kBase = "--listen 127.0.0.1:0 --upstream 127.0.0.1:5190 ";

TEST(Options, AcceptsTheDocumentedCommandLine) {
    Options o;
    std::string error;
    ASSERT_TRUE(Parse(kBase + "--plugin p.so --scanner command --scan-command prog --scan-arg -q "
                              "--scan-arg x --threads 4 --trace 4 --max-connections 7 --once "
                              "--parallel-checks 256",
                      &o, &error))
        << error;
    EXPECT_EQ(o.listen.host, "127.0.0.1");
    EXPECT_EQ(o.listen.port, 0);
    EXPECT_EQ(o.upstream.port, 5190);
    EXPECT_EQ(o.pluginPath, "p.so");
    EXPECT_EQ(o.scanner, ScannerKind::Command);
    EXPECT_EQ(o.scanArgs, (std::vector<std::string>{"-q", "x"}));
    EXPECT_EQ(o.threads, 4);
    EXPECT_TRUE(o.traceGiven);
    EXPECT_EQ(o.traceLevel, 4);
    EXPECT_EQ(o.maxConnections, 7);
    EXPECT_TRUE(o.once);
    EXPECT_EQ(o.parallelChecks, 256);

    ASSERT_TRUE(Parse(kBase + "--scanner icap --icap-url icap://[::1]:1345/av/scan?allow204=on&force=on",
                      &o, &error)) << error;
    EXPECT_EQ(o.scanner, ScannerKind::Icap);
    EXPECT_EQ(o.icapUrl.host, "::1");
    EXPECT_EQ(o.icapUrl.service, "av/scan");
    EXPECT_EQ(o.icapUrl.Uri(), "icap://[::1]:1345/av/scan?allow204=on&force=on");
    ASSERT_TRUE(Parse(kBase + "--scanner icap --icap-url ICAP://scan.example/virus_scan", &o, &error)) << error;
    EXPECT_EQ(o.icapUrl.Uri(), "icap://scan.example:1344/virus_scan");
    EXPECT_EQ(o.icapUrl.HostHeader(), "scan.example");

    // The metrics port: loopback as it is, any other address with a list of clients.
    ASSERT_TRUE(Parse(kBase + "--scanner none --metrics [::1]:9100", &o, &error)) << error;
    EXPECT_TRUE(o.metricsGiven);
    EXPECT_EQ(o.metrics.host, "::1");
    EXPECT_EQ(o.metrics.port, 9100);
    ASSERT_TRUE(Parse(kBase + "--scanner none --metrics 0.0.0.0:9100 --allow-clients 10.0.0.0/8", &o, &error))
        << error;
    if (ClamavBuiltIn()) {
        ASSERT_TRUE(Parse(kBase + "--db-check 0", &o, &error)) << error;
        EXPECT_EQ(o.dbCheckSeconds, 0);
    }

    ASSERT_TRUE(Parse("--listen [::1]:8080 --upstream localhost:1 --no-plugin", &o, &error)) << error;
    EXPECT_EQ(o.listen.host, "::1");
    EXPECT_EQ(o.listen.port, 8080);
    EXPECT_TRUE(o.noPlugin);
}

TEST(Options, RejectsWhatCannotWork) {
    const char* bad[] = {
        "--listen 127.0.0.1 --upstream 127.0.0.1:1 --scanner none",      // no port
        "--listen 127.0.0.1:65536 --upstream 127.0.0.1:1 --scanner none",
        "--upstream 127.0.0.1:1 --scanner none",                          // no --listen
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --threads 0",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --threads x",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner magic",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner command",  // no program
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --scan-command x",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --no-plugin --scanner none",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --no-plugin --trace 4",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --bogus",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --parallel-checks 0",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --parallel-checks 257",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --no-plugin --parallel-checks 2",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --threads",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap",     // no URL
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --icap-url icap://h/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url http://h/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url icaps://h/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url icap://h",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url icap://h:0/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url icap://h:65536/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url icap://[::1/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner icap --icap-url icap://u@h/s",
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --db-check 5",  // not clamav
        "--listen 127.0.0.1:0 --upstream 127.0.0.1:1 --scanner none --metrics 127.0.0.1",
        // Figures for every machine: only with --allow-clients (--socks-users does not do).
        "--listen 127.0.0.1:0 --socks5 --socks-users u --scanner none --metrics 0.0.0.0:9100",
    };
    for (const char* line : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(Parse(line, &o, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(Options, ScannerDefaultsToClamavOnlyWhereItIsBuilt) {
    Options o;
    std::string error;
    const bool ok = Parse(kBase, &o, &error);
    EXPECT_EQ(ok, ClamavBuiltIn()) << error;
    if (ok) {
        EXPECT_EQ(o.scanner, ScannerKind::Clamav);
    } else {
        EXPECT_FALSE(Parse(kBase + "--scanner clamav", &o, &error));
    }
}

// --- the command back-end ---------------------------------------------------------

const std::string kHelper = platform::ExecutableFolder() + ZYKPROXY_SCAN_HELPER_NAME;

ScanOutcome ScanWith(const std::vector<std::string>& args, const std::string& path,
                     int timeoutMs = 20000) {
    std::string error;
    auto scanner = MakeCommandScanner(kHelper, args, timeoutMs, &error);
    if (!scanner) return {Verdict::Failed, "not made: " + error};
    return scanner->Scan(path);
}

TEST(CommandScanner, ExitCodesZeroAndOneAreTheVerdicts) {
    ScratchFile clean("clean.txt", "nothing to see");
    ScratchFile dirty("dirty.txt", "xx INFECTED-MARKER xx");
    EXPECT_EQ(ScanWith({"marker"}, clean.Path()).verdict, Verdict::Clean);
    const ScanOutcome found = ScanWith({"marker"}, dirty.Path());
    EXPECT_EQ(found.verdict, Verdict::Infected);
    EXPECT_EQ(ResultFor(found.verdict), 1);
    EXPECT_EQ(ResultFor(Verdict::Clean), 0);
}

// Any other outcome is a failure, and a failure blocks the file: the client must never
// get a file that nothing has checked because the scanner broke.
TEST(CommandScanner, EveryOtherOutcomeIsAFailureThatBlocks) {
    ScratchFile file("f.bin", "data");
    for (const char* code : {"2", "3", "255"}) {
        const ScanOutcome r = ScanWith({code}, file.Path());
        EXPECT_EQ(r.verdict, Verdict::Failed) << code;
        EXPECT_NE(r.detail.find(std::string("code ") + code), std::string::npos) << r.detail;
        EXPECT_GT(ResultFor(r.verdict), 0) << code;
    }
    // The helper cannot read a file that is not there: exit code 3.
    EXPECT_EQ(ScanWith({"marker"}, file.Path() + ".missing").verdict, Verdict::Failed);
}

TEST(CommandScanner, AScannerThatHangsIsStoppedAndBlocks) {
    ScratchFile file("f.bin", "data");
    const auto start = std::chrono::steady_clock::now();
    const ScanOutcome r = ScanWith({"sleep"}, file.Path(), 1000);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.verdict, Verdict::Failed);
    EXPECT_NE(r.detail.find("longer than"), std::string::npos) << r.detail;
    EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(CommandScanner, AMissingProgramIsRefusedAtStartAndFailsLater) {
    std::string error;
    EXPECT_EQ(MakeCommandScanner("zykproxy-no-such-scanner", {}, 1000, &error), nullptr);
    EXPECT_NE(error.find("not found"), std::string::npos) << error;

    // Found at start, gone by the time a file comes.
    const std::string copy = (std::filesystem::temp_directory_path() /
                              ("zykproxy_gone_" + std::string(ZYKPROXY_SCAN_HELPER_NAME)))
                                 .string();
    std::filesystem::copy_file(kHelper, copy, std::filesystem::copy_options::overwrite_existing);
    auto scanner = MakeCommandScanner(copy, {"0"}, 5000, &error);
    ASSERT_NE(scanner, nullptr) << error;
    ScratchFile file("f.bin", "data");
    EXPECT_EQ(scanner->Scan(file.Path()).verdict, Verdict::Clean);
    std::filesystem::remove(copy);
    const ScanOutcome r = scanner->Scan(file.Path());
    EXPECT_EQ(r.verdict, Verdict::Failed);
    EXPECT_NE(r.detail.find("cannot run"), std::string::npos) << r.detail;
}

// --- the ICAP back-end (its answers: tests/e2e/test_e2e_icap.cpp, fuzz/) -----------

std::unique_ptr<Scanner> IcapScannerFor(const test::FakeIcapServer& server, int timeoutMs) {
    icap::Url url;
    std::string error;
    EXPECT_TRUE(icap::ParseUrl(server.Url(), &url, &error)) << error;
    auto scanner = MakeIcapScanner(url, timeoutMs, &error);
    EXPECT_NE(scanner, nullptr) << error;
    return scanner;
}

bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

TEST(IcapScanner, AbandonEndsTheCheckUnderWayAndClosesTheIdleConnections) {
    ScratchFile file("f.bin", std::string(3000, 'a'));
    const std::string abandoned = "check abandoned: zykproxy is stopping";
    {
        // OPTIONS and the check on one kept-alive connection, which Abandon closes;
        // a later check fails without connecting again.
        test::FakeIcapServer server({&test::FakeIcapServer::NoContent});
        auto scanner = IcapScannerFor(server, 20000);
        ASSERT_NE(scanner, nullptr);
        EXPECT_EQ(scanner->Scan(file.Path()).verdict, Verdict::Clean);
        EXPECT_EQ(server.Connections(), 1);
        scanner->Abandon();
        EXPECT_TRUE(WaitFor([&] { return server.ClosedByClient() == 1; }));
        EXPECT_EQ(scanner->Scan(file.Path()).detail, abandoned);
        EXPECT_EQ(server.Connections(), 1);
    }
    // A check waiting for an answer that does not come ends at once.
    test::FakeIcapServer server({&test::FakeIcapServer::Silent});
    auto scanner = IcapScannerFor(server, 60000);
    ASSERT_NE(scanner, nullptr);
    ScanOutcome outcome;
    std::thread check([&] { outcome = scanner->Scan(file.Path()); });
    EXPECT_TRUE(WaitFor([&] { return server.Respmods() == 1; }));
    const auto start = std::chrono::steady_clock::now();
    scanner->Abandon();
    check.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(outcome.verdict, Verdict::Failed);
    EXPECT_EQ(outcome.detail, abandoned);
}

TEST(IcapScanner, OptionsAreAskedAgainOnceTheirTtlHasRunOutOnTheSameConnection) {
    ScratchFile file("f.bin", std::string(3000, 'a'));
    test::FakeIcapServer server({&test::FakeIcapServer::NoContent}, 0);
    auto scanner = IcapScannerFor(server, 20000);
    ASSERT_NE(scanner, nullptr);
    EXPECT_EQ(scanner->Scan(file.Path()).verdict, Verdict::Clean);
    EXPECT_EQ(scanner->Scan(file.Path()).verdict, Verdict::Clean);
    EXPECT_EQ(server.Options(), 3);
    EXPECT_EQ(server.Respmods(), 2);
    EXPECT_EQ(server.Connections(), 1);
}

// An ICAP answer: status line and fields, then the encapsulated HTTP response header
// (when not empty) and the body as one chunk (when there is one).
std::string IcapAnswer(const std::string& status, const std::string& fields, const std::string& http,
                       const std::string* body) {
    std::string encapsulated = http.empty() ? "" : "res-hdr=0, ";
    encapsulated += (body != nullptr ? "res-body=" : "null-body=") + std::to_string(http.size());
    std::string answer = "ICAP/1.0 " + status + "\r\nISTag: \"fake-1\"\r\n" + fields;
    if (!http.empty() || body != nullptr) answer += "Encapsulated: " + encapsulated + "\r\n";
    answer += "\r\n" + http;
    if (body == nullptr) return answer;
    std::ostringstream chunk;
    if (!body->empty()) chunk << std::hex << body->size() << "\r\n" << *body << "\r\n";
    return answer + chunk.str() + "0\r\n\r\n";
}

// The answer with its res-body offset moved by `by` bytes.
std::string MoveBodyOffset(std::string answer, int by) {
    const size_t at = answer.find("res-body=") + 9;
    const size_t end = answer.find("\r\n", at);
    answer.replace(at, end - at, std::to_string(std::stoi(answer.substr(at, end - at)) + by));
    return answer;
}

// What each answer to a check comes to. Only a 204 that names nothing, or the file sent
// back exactly, lets the file pass; a finding blocks it under any status and is named;
// an answer beyond the parser's limits or at odds with its own offsets is a failure.
TEST(IcapScanner, EveryAnswerHasItsVerdict) {
    const std::string file = zykproxy::test::RandomBytes(1000, 61);  // within the 1024-byte preview
    const std::string shorter = file.substr(0, 500), longer = file + "x", empty, page = "<html>blocked</html>";
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html\r\n\r\n";
    const std::string redirect = "HTTP/1.1 302 Found\r\nLocation: http://x/\r\n\r\n";
    const std::string infection = "X-Infection-Found: Type=0; Resolution=2; Threat=Eicar-Test-Signature;\r\n";
    const std::string named = forbidden.substr(0, forbidden.size() - 2) + infection + "\r\n";  // a block page's header
    const std::string violations = "X-Violations-Found: 1\r\n\t-\r\n\tWin.Test.Violation\r\n\t0\r\n\t0\r\n";
    // A field line of exactly `bytes`, its line end included.
    const auto line = [](size_t bytes) { return "X-Pad: " + std::string(bytes - 9, 'p') + "\r\n"; };
    const std::string other = "the ICAP server sent something else in place of the 1000-byte file (HTTP ";
    const std::string offsets = "malformed ICAP answer: the Encapsulated offsets do not match the header sections "
                                "(res-body at ";
    const std::string at = std::to_string(ok.size());
    const struct {
        const char* what;
        std::string answer;
        Verdict verdict;
        std::string detail;
    } cases[] = {
        {"204", IcapAnswer("204 No Content", "", "", nullptr), Verdict::Clean, ""},
        {"the file sent back", IcapAnswer("200 OK", "", ok, &file), Verdict::Clean, ""},
        {"a block page", IcapAnswer("200 OK", "", forbidden, &page), Verdict::Infected, other + "403, 20 bytes)"},
        {"a block page as HTTP 200", IcapAnswer("200 OK", "", ok, &page), Verdict::Infected, other + "200, 20 bytes)"},
        {"the file sent back under a redirect", IcapAnswer("200 OK", "", redirect, &file), Verdict::Infected,
         other + "302, 1000 bytes)"},
        {"a shorter echo", IcapAnswer("200 OK", "", ok, &shorter), Verdict::Infected, other + "200, 500 bytes)"},
        {"a longer echo", IcapAnswer("200 OK", "", ok, &longer), Verdict::Infected, other + "200, 1001 bytes)"},
        {"an empty body", IcapAnswer("200 OK", "", ok, &empty), Verdict::Infected, other + "200, 0 bytes)"},
        {"no body", IcapAnswer("200 OK", "", ok, nullptr), Verdict::Infected, other + "200, no body)"},
        {"403 with a finding", IcapAnswer("403 Forbidden", infection, "", nullptr), Verdict::Infected,
         "Eicar-Test-Signature"},
        {"a block page naming the threat", IcapAnswer("200 OK", "", named, &page), Verdict::Infected,
         "Eicar-Test-Signature"},
        {"a 403 naming the threat in its HTTP header", IcapAnswer("403 Forbidden", "", named, &page),
         Verdict::Infected, "Eicar-Test-Signature"},
        {"204 with X-Infection-Found", IcapAnswer("204 No Content", infection, "", nullptr), Verdict::Infected,
         "Eicar-Test-Signature"},
        {"204 with X-Violations-Found", IcapAnswer("204 No Content", violations, "", nullptr), Verdict::Infected,
         "Win.Test.Violation"},
        {"204 with X-Virus-ID", IcapAnswer("204 No Content", "X-Virus-ID: Win.Test.Id\r\n", "", nullptr),
         Verdict::Infected, "Win.Test.Id"},
        {"a line of 8192 bytes", IcapAnswer("204 No Content", line(8192), "", nullptr), Verdict::Clean, ""},
        {"a line of 8193 bytes", IcapAnswer("204 No Content", line(8193), "", nullptr), Verdict::Failed,
         "malformed ICAP answer: a line longer than 8192 bytes"},
        {"an offset past the header", MoveBodyOffset(IcapAnswer("200 OK", "", ok, &file), 10), Verdict::Failed,
         offsets + std::to_string(ok.size() + 10) + ", found at " + at + ")"},
        {"an offset inside the header", MoveBodyOffset(IcapAnswer("200 OK", "", ok, &file), -10), Verdict::Failed,
         offsets + std::to_string(ok.size() - 10) + ", found at " + at + ")"},
        {"500", IcapAnswer("500 Server Error", "", "", nullptr), Verdict::Failed,
         "the ICAP server answered 500 Server Error"},
    };
    ScratchFile held("held.bin", file);
    for (const auto& c : cases) {
        test::FakeIcapServer server({test::FakeIcapServer::Sends(c.answer)});
        auto scanner = IcapScannerFor(server, 20000);
        ASSERT_NE(scanner, nullptr);
        const ScanOutcome outcome = scanner->Scan(held.Path());
        EXPECT_EQ(outcome.verdict, c.verdict) << c.what;
        EXPECT_EQ(outcome.detail, c.detail) << c.what;
    }
}

// With Max-Connections: 1, two checks at once take turns on the one connection.
TEST(IcapScanner, ChecksAtOnceNeverOpenMoreConnectionsThanTheServiceAllows) {
    ScratchFile file("f.bin", std::string(3000, 'a'));
    test::FakeIcapServer server({[](net::SocketId s) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return test::FakeIcapServer::NoContent(s);
    }}, 3600, 1);
    auto scanner = IcapScannerFor(server, 20000);
    ASSERT_NE(scanner, nullptr);
    EXPECT_NE(scanner->Describe().find("at most 1 connections"), std::string::npos) << scanner->Describe();
    ScanOutcome first, second;
    std::thread other([&] { second = scanner->Scan(file.Path()); });
    first = scanner->Scan(file.Path());
    other.join();
    EXPECT_EQ(first.verdict, Verdict::Clean) << first.detail;
    EXPECT_EQ(second.verdict, Verdict::Clean) << second.detail;
    EXPECT_EQ(server.Respmods(), 2);
    EXPECT_EQ(server.Connections(), 1);
}

TEST(IcapScanner, NoAnswerWithinTheScanTimeoutIsAFailure) {
    ScratchFile file("f.bin", std::string(3000, 'a'));
    test::FakeIcapServer server({&test::FakeIcapServer::Silent});
    auto scanner = IcapScannerFor(server, 1000);
    ASSERT_NE(scanner, nullptr);
    const auto start = std::chrono::steady_clock::now();
    const ScanOutcome outcome = scanner->Scan(file.Path());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(outcome.verdict, Verdict::Failed);
    EXPECT_EQ(outcome.detail, "no answer from the ICAP server within 1 s");
}

}  // namespace

namespace {

// --- the scan callback -------------------------------------------------------------

struct Captured {
    std::vector<std::string> texts;
    Console::Writer Writer() {
        return [this](const std::string& t) { texts.push_back(t); };
    }
    std::string All() const {
        std::string out;
        for (const auto& t : texts) out += t;
        return out;
    }
};

class FixedScanner final : public Scanner {
public:
    explicit FixedScanner(ScanOutcome outcome) : m_outcome(std::move(outcome)) {}
    std::string Describe() const override { return "fixed"; }
    ScanOutcome Scan(const std::string& path, const CheckDetails& details) override {
        scanned.push_back(path);
        seen = details;
        return m_outcome;
    }
    std::vector<std::string> scanned;
    CheckDetails seen;

private:
    ScanOutcome m_outcome;
};

ScanCallbackInfo CheckRecord(const char* path, const char* announced, int hostValue) {
    ScanCallbackInfo info{};
    info.cbSize = sizeof info;
    info.szFileName = path;
    info.szWebContentInfo = announced;
    info.dwHostValue = static_cast<uint32_t>(hostValue);
    return info;
}

TEST(ScanService, ACheckWritesTheVerdictAndLogsOneLine) {
    ScratchFile held("icq_oscar_1_1.tmp", std::string(12008, 'a'));
    struct Case {
        ScanOutcome outcome;
        int result;
        std::string expected;
    } cases[] = {
        {{Verdict::Clean, ""}, 0, "conn 7 check 1 \"photo.jpg\" 12008 bytes: clean, passed, "},
        {{Verdict::Infected, "Eicar-Sig"}, 1,
         "conn 7 check 1 \"photo.jpg\" 12008 bytes: INFECTED (Eicar-Sig), blocked, "},
        {{Verdict::Failed, "scanner exited with code 2"}, 2,
         "conn 7 check 1 \"photo.jpg\" 12008 bytes: SCAN FAILED (scanner exited with code 2), blocked, "},
        {{Verdict::NotScanned, "--scanner none"}, 0,
         "conn 7 check 1 \"photo.jpg\" 12008 bytes: not scanned (--scanner none), passed, "},
    };
    for (const Case& c : cases) {
        FixedScanner scanner(c.outcome);
        Captured out;
        Console console(false, out.Writer());
        ScanService service(scanner, console);
        service.Activate();
        ScanCallbackInfo info = CheckRecord(held.Path().c_str(), "photo.jpg", 7);
        info.nResult = -1;
        EXPECT_EQ(ScanService::Callback(ZYKIM_SCAN_CHECK_FILE, &info), 0);
        EXPECT_EQ(info.nResult, c.result) << c.expected;
        ASSERT_EQ(scanner.scanned, std::vector<std::string>{held.Path()});
        EXPECT_EQ(scanner.seen.announcedName, "photo.jpg");
        EXPECT_EQ(scanner.seen.connection, 7);
        ASSERT_EQ(out.texts.size(), 1u);
        EXPECT_EQ(out.texts[0].rfind("zykproxy: " + c.expected, 0), 0u) << out.texts[0];
        EXPECT_NE(out.texts[0].find(" ms\n"), std::string::npos) << out.texts[0];
    }
}

TEST(ScanService, ABrokenScannerOrRecordBlocksTheFile) {
    class Throwing final : public Scanner {
    public:
        std::string Describe() const override { return "throws"; }
        ScanOutcome Scan(const std::string&, const CheckDetails&) override { throw std::runtime_error("boom"); }
    } throwing;
    Captured out;
    Console console(false, out.Writer());
    {
        ScanService service(throwing, console);
        service.Activate();
        ScratchFile held("h.tmp", "x");
        ScanCallbackInfo info = CheckRecord(held.Path().c_str(), "a.txt", 1);
        ScanService::Callback(ZYKIM_SCAN_CHECK_FILE, &info);
        EXPECT_GT(info.nResult, 0);
        EXPECT_NE(out.All().find("SCAN FAILED (scanner error: boom)"), std::string::npos);

        ScanCallbackInfo noPath = CheckRecord(nullptr, "a.txt", 1);
        ScanService::Callback(ZYKIM_SCAN_CHECK_FILE, &noPath);
        EXPECT_GT(noPath.nResult, 0);
        EXPECT_NE(out.All().find("size unknown: SCAN FAILED (no held file named)"), std::string::npos);
    }
    // A callback left registered after its service has gone still blocks.
    ScanCallbackInfo late = CheckRecord("x", "a.txt", 1);
    ScanService::Callback(ZYKIM_SCAN_CHECK_FILE, &late);
    EXPECT_GT(late.nResult, 0);
}

TEST(ScanService, NamesFromTheNetworkCannotSteerTheTerminal) {
    EXPECT_EQ(ScanService::PrintableName("a\x1b[2Jb\r\n.txt"), "a?[2Jb??.txt");
    EXPECT_EQ(ScanService::PrintableName(nullptr), "(no name)");
    const std::string longName(500, 'n');
    EXPECT_EQ(ScanService::PrintableName(longName.c_str()), std::string(200, 'n') + "...");
}

TEST(ScanService, ProgressDrawsABarOnATerminalOnlyAndReadsNothingBack) {
    FixedScanner scanner({Verdict::Clean, ""});
    for (const bool terminal : {true, false}) {
        Captured out;
        Console console(terminal, out.Writer());
        ScanService service(scanner, console);
        service.Activate();
        ScanCallbackInfo info{};
        info.szFileName = "szFileName";
        info.szWebContentInfo = "szWebContentInfo";
        info.dwHostValue = 3;
        info.dwDoneKB = 1536;
        info.dwTotalKB = 3072;
        info.nResult = 42;
        ScanService::Callback(ZYKIM_SCAN_PROGRESS, &info);
        ScanService::Callback(ZYKIM_SCAN_PROGRESS, &info);  // unchanged: not redrawn
        EXPECT_EQ(info.nResult, 42);
        EXPECT_TRUE(scanner.scanned.empty());
        EXPECT_EQ(service.GetCounts().progress, 2u);
        if (terminal) {
            ASSERT_EQ(out.texts.size(), 1u);
            EXPECT_EQ(out.texts[0], "\r" + Console::BarText(3, 1536, 3072));
        } else {
            EXPECT_TRUE(out.texts.empty());
        }
    }
}

TEST(Console, LinesClearTheBarAndRedrawIt) {
    EXPECT_EQ(Console::BarText(3, 1536, 3072),
              "conn 3 receiving [###############...............]  50% 1536/3072 KiB");
    // More than announced (a sender that lies) is shown as complete, not beyond.
    EXPECT_EQ(Console::BarText(1, 5000, 3072),
              "conn 1 receiving [" + std::string(30, '#') + "] 100% 3072/3072 KiB");
    Captured out;
    Console console(true, out.Writer());
    console.Progress(3, 1536, 3072);
    const std::string bar = Console::BarText(3, 1536, 3072);
    console.Log("hello");
    ASSERT_EQ(out.texts.size(), 4u);
    EXPECT_EQ(out.texts[1], "\r" + std::string(bar.size(), ' ') + "\r");
    EXPECT_EQ(out.texts[2], "zykproxy: hello\n");
    EXPECT_EQ(out.texts[3], bar);
    console.EndProgress();
    console.Log("after");
    EXPECT_EQ(out.texts.back(), "zykproxy: after\n");
}

// --- the clamav back-end -------------------------------------------------------------

#ifdef ZYKPROXY_WITH_CLAMAV
TEST(ClamavScanner, FindsTheEicarFileWithTheShippedSignaturesAndPassesCleanFiles) {
    // The defaults: the shipped signatures beside the program (and the system's, if any).
    const std::vector<std::string> databases = DefaultClamavDatabases();
    ASSERT_FALSE(databases.empty());
    std::vector<std::string> logged;
    std::string error;
    auto scanner = MakeClamavScanner(databases, [&](const std::string& l) { logged.push_back(l); },
                                     &error);
    ASSERT_NE(scanner, nullptr) << error;
    EXPECT_NE(scanner->Describe().find("signatures"), std::string::npos);

    ScratchFile eicar("eicar.com", zykproxy::test::EicarTestFile());
    const ScanOutcome found = scanner->Scan(eicar.Path());
    EXPECT_EQ(found.verdict, Verdict::Infected);
    EXPECT_NE(found.detail.find("EICAR"), std::string::npos) << found.detail;

    ScratchFile withNewline("eicar.txt", zykproxy::test::EicarTestFile() + "\n");
    EXPECT_EQ(scanner->Scan(withNewline.Path()).verdict, Verdict::Infected);

    ScratchFile clean("clean.bin", zykproxy::test::RandomBytes(200000, 5));
    EXPECT_EQ(scanner->Scan(clean.Path()).verdict, Verdict::Clean);

    const ScanOutcome missing = scanner->Scan(clean.Path() + ".gone");
    EXPECT_EQ(missing.verdict, Verdict::Failed);
    EXPECT_GT(ResultFor(missing.verdict), 0);
}

TEST(ClamavScanner, RefusesToStartWithoutSignatures) {
    std::string error;
    EXPECT_EQ(MakeClamavScanner({}, nullptr, &error), nullptr);
    EXPECT_NE(error.find("no signature database"), std::string::npos) << error;

    const auto empty = std::filesystem::temp_directory_path() / "zykproxy_test_empty_db";
    std::filesystem::create_directories(empty);
    EXPECT_EQ(MakeClamavScanner({empty.string()}, nullptr, &error), nullptr);
    EXPECT_FALSE(error.empty());
    std::filesystem::remove_all(empty);

    EXPECT_EQ(MakeClamavScanner({"/nonexistent/zykproxy.hdb"}, nullptr, &error), nullptr);
    EXPECT_NE(error.find("cannot load"), std::string::npos) << error;

    // The shipped folder named explicitly works as well.
    EXPECT_NE(MakeClamavScanner({ZYKPROXY_SIGNATURES_DIR}, nullptr, &error), nullptr) << error;
}

// Signatures loaded again while other threads go on checking: each check keeps the engine
// it began with (freed after it, which AddressSanitizer watches), and no check fails.
TEST(ClamavScanner, ReloadsWhileChecksGoOnWithTheEngineInForce) {
    const auto db = std::filesystem::temp_directory_path() /
                    ("zykproxy_test_reload_db_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(db);
    for (const auto& entry : std::filesystem::directory_iterator(ZYKPROXY_SIGNATURES_DIR))
        std::filesystem::copy_file(entry.path(), db / entry.path().filename());
    std::string error;
    auto scanner = MakeClamavScanner({db.string()}, nullptr, &error);
    ASSERT_NE(scanner, nullptr) << error;
    SignatureSet* signatures = scanner->Signatures();
    ASSERT_NE(signatures, nullptr);
    EXPECT_EQ(signatures->ReloadIfChanged().kind, SignatureSet::Reload::Kind::Unchanged);

    ScratchFile eicar("eicar.com", zykproxy::test::EicarTestFile());
    ScratchFile clean("clean.bin", zykproxy::test::RandomBytes(100000, 6));
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0}, checks{0};
    std::vector<std::thread> checkers;
    for (int t = 0; t < 3; ++t)
        checkers.emplace_back([&] {
            while (!done) {
                wrong += scanner->Scan(eicar.Path()).verdict != Verdict::Infected;
                wrong += scanner->Scan(clean.Path()).verdict != Verdict::Clean;
                checks += 2;
            }
        });
    const auto marker = [](int i) { return "ZYK-RELOAD-MARKER-" + std::to_string(i); };
    const auto hex = [](const std::string& text) {
        static const char* digits = "0123456789abcdef";
        std::string out;
        for (unsigned char c : text) out += {digits[c >> 4], digits[c & 15]};
        return out;
    };
    for (int i = 0; i < 6; ++i) {
        std::ofstream(db / ("update" + std::to_string(i) + ".ndb"))
            << "Zyk.Test.Marker" << i << ":0:*:" << hex(marker(i)) << "\n";
        const SignatureSet::Reload r = signatures->ReloadIfChanged();
        ASSERT_EQ(r.kind, SignatureSet::Reload::Kind::Loaded) << r.error;
        EXPECT_EQ(r.after, r.before + 1);
    }
    // A load that fails keeps what is in force, and the next look tries again.
    std::ofstream(db / "broken.ndb") << "Zyk.Test.Broken:0:*:not-hex\n";
    const SignatureSet::Reload failed = signatures->ReloadIfChanged();
    EXPECT_EQ(failed.kind, SignatureSet::Reload::Kind::Failed);
    EXPECT_EQ(failed.after, failed.before);
    EXPECT_FALSE(failed.error.empty());
    std::filesystem::remove(db / "broken.ndb");
    EXPECT_EQ(signatures->ReloadIfChanged().kind, SignatureSet::Reload::Kind::Loaded);
    for (int waited = 0; checks.load() < 60 && waited < 2000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    done = true;
    for (auto& t : checkers) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(checks.load(), 60);
    const SignatureSet::Status status = signatures->GetStatus();
    EXPECT_EQ(status.reloads, 7u);
    EXPECT_EQ(status.failedReloads, 1u);
    ScratchFile marked("marked.bin", "before " + marker(5) + " after");
    EXPECT_EQ(scanner->Scan(marked.Path()).detail.rfind("Zyk.Test.Marker5", 0), 0u);
    scanner.reset();
    std::filesystem::remove_all(db);
}
#endif

}  // namespace
