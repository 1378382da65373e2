// The transfer object: classification, header collection over any reads, holding,
// checking and releasing a body, the progress reports and resets.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "oft2/icq_oscar_file_trans.h"
#include "oft2_fixture.h"
#include "support/oft2_oracle.h"
#include "support/trace_capture.h"

namespace zykim::test {
namespace {

namespace fs = std::filesystem;

// --- classification -------------------------------------------------------------------

TEST_F(Oft2Test, TwoBlocksWithoutTheMagicMakeEverythingPassUnsearched) {
    EXPECT_EQ(Feed("hello"), ofs_DoOFT2_Check2);
    EXPECT_EQ(Feed("world"), ofs_DoOFT2_NoFileTrans);
    const auto transfer = Cat({Header("a.txt", 10), MakeBody(10)});
    TraceCapture capture(4);
    EXPECT_EQ(Feed(transfer), ofs_DoOFT2_NoFileTrans);
    EXPECT_EQ(rec.client, Cat({Bytes("helloworld"), transfer}));
    EXPECT_TRUE(capture.Contains("[eDoOFT2Filetrans]: [Default]\n"));
    EXPECT_FALSE(capture.Contains("[eDoOFT2Check]: [ofs_DoOFT2_Header]\n"));
    EXPECT_TRUE(rec.checks.empty());
}

TEST_F(Oft2Test, TheMagicIsFoundInTheSecondBlockAndWhatPrecedesItGoesFirst) {
    EXPECT_EQ(Feed("abc"), ofs_DoOFT2_Check2);
    const auto header = Header("a.txt", 10);
    EXPECT_EQ(Feed(Cat({Bytes("xyz"), header})), ofs_DoOFT2_FileData);
    EXPECT_EQ(rec.sendSizes, (std::vector<int32_t>{3, 3, 256}));
    EXPECT_EQ(rec.client, Cat({Bytes("abcxyz"), header}));
}

TEST_F(Oft2Test, TheTwoBlockWindowOpensAgainAfterEachTransfer) {
    EXPECT_EQ(Feed(Cat({Header("one", 10), MakeBody(10)})), ofs_DoOFT2_Check);
    EXPECT_EQ(Feed("x"), ofs_DoOFT2_Check2);
    EXPECT_EQ(Feed(Cat({Header("two", 10), MakeBody(10)})), ofs_DoOFT2_Check);
    EXPECT_EQ(Feed("y"), ofs_DoOFT2_Check2);
    EXPECT_EQ(Feed("z"), ofs_DoOFT2_NoFileTrans);
    ASSERT_EQ(rec.checks.size(), 2u);
    EXPECT_EQ(rec.checks[1].name, "two");
}

// --- header collection ----------------------------------------------------------------

TEST_F(Oft2Test, AHeaderInThreeReadsIsConvertedOnceWhenItsLastFixedByteArrives) {
    const auto header = Header("report.pdf", 500);
    TraceCapture capture(4);
    EXPECT_EQ(Feed(Slice(header, 0, 100)), ofs_DoOFT2_Header);
    EXPECT_EQ(Feed(Slice(header, 100, 150)), ofs_DoOFT2_Header);
    EXPECT_EQ(trans.nHdrRecvd(), 150);
    EXPECT_EQ(Feed(Slice(header, 150, 192)), ofs_DoOFT2_FileName);
    EXPECT_EQ(capture.Count("[bConvertOFT2Header]: [Convert OFT2 Header Start ]\n"), 1u);
    EXPECT_EQ(trans.sHeader().dwSize, 500u);
    EXPECT_TRUE(rec.client.empty());
    EXPECT_EQ(Feed(Slice(header, 192, 256)), ofs_DoOFT2_FileData);
    EXPECT_EQ(rec.sendSizes, (std::vector<int32_t>{256}));  // one piece, as received
    EXPECT_EQ(rec.client, header);
    EXPECT_EQ(capture.Count("[bConvertOFT2Header]: [Convert OFT2 Header Start ]\n"), 1u);
}

TEST_F(Oft2Test, AHeaderSplitAtAnyPositionGivesTheSameTransfer) {
    const auto header = Header("split.bin", 300);
    const auto body = MakeBody(300);
    const auto stream = Cat({header, body});
    for (size_t s = 1; s < stream.size(); ++s) {
        CIcqOscarFileTrans t;
        Oft2Recorder r;
        r.verdicts = {1};
        ASSERT_TRUE(t.SetTempPath(dir.Path().c_str()));
        r.Attach(t);
        t.eDoOFT2Filetrans(stream.data(), static_cast<int32_t>(s));
        t.eDoOFT2Filetrans(stream.data() + s, static_cast<int32_t>(stream.size() - s));
        Oft2Oracle oracle({true, false, {{1, -1}}});
        oracle.Block(stream.data(), s);
        oracle.Block(stream.data() + s, stream.size() - s);
        // Also a magic split over the two reads is found.
        const auto expected = Cat({header, Zeros(300)});
        ASSERT_EQ(r.client, expected) << "split at " << s;
        ASSERT_EQ(oracle.Client(), expected) << "split at " << s;
        ASSERT_EQ(r.checks.size(), 1u) << "split at " << s;
        ASSERT_EQ(r.checks[0].content, body) << "split at " << s;
    }
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, HeaderNameAndTheFirstBodyBytesInOneBlock) {
    const auto header = Header("one.bin", 1000);
    const auto body = MakeBody(1000);
    EXPECT_EQ(Feed(Cat({header, Slice(body, 0, 100)})), ofs_DoOFT2_FileData);
    EXPECT_EQ(rec.client, header);
    EXPECT_EQ(trans.nDataRecvd(), 100u);
    EXPECT_TRUE(trans.bHeldFileOpen());
    EXPECT_EQ(std::string(trans.pszTempFile()), dir.File(HeldName(0)));
    EXPECT_EQ(fs::file_size(trans.pszTempFile()), 100u);
}

TEST_F(Oft2Test, TheEndOfABodyAndTheNextHeaderInOneBlock) {
    const auto h1 = Header("first.txt", 1000), h2 = Header("second.txt", 700);
    const auto b1 = MakeBody(1000, 1), b2 = MakeBody(700, 2);
    EXPECT_EQ(Feed(Cat({h1, Slice(b1, 0, 500)})), ofs_DoOFT2_FileData);
    EXPECT_EQ(Feed(Cat({Slice(b1, 500, 1000), h2, b2})), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.client, Cat({h1, b1, h2, b2}));
    ASSERT_EQ(rec.checks.size(), 2u);
    EXPECT_EQ(rec.checks[0].name, "first.txt");
    EXPECT_EQ(rec.checks[1].name, "second.txt");
    EXPECT_EQ(rec.checks[0].content, b1);
    EXPECT_EQ(rec.checks[1].content, b2);
    // One held file per transfer, the second number counting the transfers.
    EXPECT_EQ(rec.checks[0].path, dir.File(HeldName(0)));
    EXPECT_EQ(rec.checks[1].path, dir.File(HeldName(1)));
    EXPECT_EQ(rec.checks[0].nPathLen, static_cast<int32_t>(rec.checks[0].path.size()));
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, AHeaderWhereTheBodyShouldBeginStartsANewTransfer) {
    const auto ha = Header("a.txt", 100);
    Oft2HeaderFields fb;
    fb.name = "b.txt";
    fb.dwSize = 50;
    fb.magic = "oFt2";  // any letter case
    const auto hb = MakeOft2Header(fb);
    const auto bb = MakeBody(50);
    TraceCapture capture(4);
    EXPECT_EQ(Feed(ha), ofs_DoOFT2_FileData);
    EXPECT_EQ(Feed(Cat({hb, bb})), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.client, Cat({ha, hb, bb}));
    EXPECT_TRUE(capture.Contains("[eDoOFT2FileData]: [Fileexist: a.txt]\n"));
    EXPECT_FALSE(capture.Contains("[eDoOFT2FileData]: [Create File: a.txt]\n"));
    ASSERT_EQ(rec.checks.size(), 1u);
    EXPECT_EQ(rec.checks[0].name, "b.txt");
    EXPECT_EQ(rec.checks[0].content, bb);
}

TEST_F(Oft2Test, AFirstBodyBlockOfFourBytesIsNeverTakenForAHeader) {
    TraceCapture capture(4);
    EXPECT_EQ(Feed(Header("short.txt", 10)), ofs_DoOFT2_FileData);
    EXPECT_EQ(Feed("OFT2"), ofs_DoOFT2_FileData);
    EXPECT_EQ(Feed("OFT2xx"), ofs_DoOFT2_Check);
    ASSERT_EQ(rec.checks.size(), 1u);
    EXPECT_EQ(rec.checks[0].content, Bytes("OFT2OFT2xx"));
    EXPECT_EQ(capture.Count("[eDoOFT2FileData]: [Fileexist: short.txt]\n"), 0u);
}

// --- check and release ----------------------------------------------------------------

struct ReleaseCase {
    uint32_t size;
    std::vector<int32_t> verdicts;
    std::vector<int32_t> sends;  // after the header
    bool zeros;
    size_t chunkTraces[3];       // "0.", "1.", "2."
};

class Oft2Release : public Oft2Test, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(Oft2Release, SendsTheBodyOrZerosInChunksOf32768) {
    const ReleaseCase& c = GetParam();
    rec.verdicts = c.verdicts;
    const auto header = Header("body.bin", c.size);
    const auto body = MakeBody(c.size);
    TraceCapture capture(4);
    EXPECT_EQ(Feed(Cat({header, body})), ofs_DoOFT2_Check);
    std::vector<int32_t> sends = {256};
    sends.insert(sends.end(), c.sends.begin(), c.sends.end());
    EXPECT_EQ(rec.sendSizes, sends);
    EXPECT_EQ(rec.client, Cat({header, c.zeros ? Zeros(c.size) : body}));
    const char* traces[3] = {"[vSendFileData] -> [m_pSendData2IcqClient 0.]\n",
                             "[vSendFileData] -> [m_pSendData2IcqClient 1.]\n",
                             "[vSendFileData] -> [m_pSendData2IcqClient 2.]\n"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(capture.Count(traces[i]), c.chunkTraces[i]) << traces[i];
    EXPECT_EQ(capture.Contains("[vSendFileData] -> [Modify = TRUE]\n"), c.zeros);
    EXPECT_EQ(capture.Count("[vSendFileData] -> [ReadFile OK]\n"), c.zeros ? 0u : c.sends.size());
    EXPECT_TRUE(dir.Entries().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, Oft2Release,
    ::testing::Values(ReleaseCase{40000, {0}, {32768, 7232}, false, {0, 0, 0}},
                      ReleaseCase{40000, {}, {32768, 7232}, false, {0, 0, 0}},  // left at -1
                      ReleaseCase{40000, {-5}, {32768, 7232}, false, {0, 0, 0}},
                      ReleaseCase{40000, {1}, {32768, 7232}, true, {0, 1, 1}},
                      ReleaseCase{65536, {1}, {32768, 32768}, true, {0, 2, 0}},
                      ReleaseCase{1000, {1}, {1000}, true, {1, 0, 0}},
                      ReleaseCase{1000, {0}, {1000}, false, {0, 0, 0}}));

TEST_F(Oft2Test, ProgressIsReportedPerChunkAndClosedAtTheReset) {
    TraceCapture capture(4);
    const auto body = MakeBody(40000);
    Feed(Header("big.bin", 40000));
    Feed(Slice(body, 0, 30000));
    Feed(Slice(body, 30000, 40000));
    const std::vector<std::string> expected = {
        "send 256",   "progress 30000/40000", "progress 40000/40000", "check big.bin",
        "send 32768", "send 7232",            "progress 40000/40000"};
    EXPECT_EQ(rec.events, expected);
    EXPECT_EQ(capture.Count("[CIcqOscarFileTrans] [bReset (Clear Progress (Size 40000 = Size 40000) \n"), 1u);
    trans.vResetOFT2Filetrans();  // nothing more to report
    EXPECT_EQ(rec.progress.size(), 3u);
}

TEST_F(Oft2Test, AResetInTheMiddleOfABodyDeletesTheHeldFileAndReleasesNothing) {
    const auto header = Header("cut.bin", 40000);
    Feed(Cat({header, MakeBody(20000)}));
    ASSERT_EQ(dir.Entries(), std::vector<std::string>{HeldName(0)});
    trans.vResetOFT2Filetrans();
    EXPECT_EQ(trans.eState(), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.client, header);
    EXPECT_TRUE(rec.checks.empty());
    ASSERT_EQ(rec.progress.size(), 2u);
    EXPECT_EQ(rec.progress.back(), std::make_pair(40000u, 40000u));
    EXPECT_TRUE(dir.Entries().empty());
    EXPECT_STREQ(trans.pszTempFile(), "");
    EXPECT_EQ(trans.nTransferCount(), 1);  // SetTempPath starts the count at 0
}

TEST_F(Oft2Test, TheDestructorDeletesTheHeldFileWithoutAReport) {
    std::optional<CIcqOscarFileTrans> t(std::in_place);
    Oft2Recorder r;
    ASSERT_TRUE(t->SetTempPath(dir.Path().c_str()));
    r.Attach(*t);
    const auto block = Cat({Header("gone.bin", 5000), MakeBody(1000)});
    t->eDoOFT2Filetrans(block.data(), static_cast<int32_t>(block.size()));
    ASSERT_EQ(dir.Entries().size(), 1u);
    const std::string path = t->pszTempFile();
    TraceCapture capture(4);
    t.reset();
    EXPECT_TRUE(capture.Contains("[CIcqOscarFileTrans] [bCloseOFT2File (File: " + path + ")]\n"));
    EXPECT_TRUE(capture.Contains("[CIcqOscarFileTrans] [bDeleteOFT2File (File: " + path + ")]\n"));
    EXPECT_EQ(r.progress.size(), 1u);
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, TheTraceOfOneSmallTransfer) {
    const auto block = Cat({Header("a.txt", 10), MakeBody(10)});
    TraceCapture capture(4);
    Feed(block);
    const std::string path = dir.File(HeldName(0));
    std::vector<std::string> expected = {
        "[eDoOFT2Filetrans]: [ofs_DoOFT2_Check]\n",
        "[eDoOFT2Check]: [ofs_DoOFT2_Header]\n",
        "[eDoOFT2Filetrans]: [ofs_DoOFT2_Header]\n",
    };
    const auto& all = capture.Messages();
    // The 23 lines of the conversion, checked elsewhere.
    for (size_t i = 3; i < 26 && i < all.size(); ++i) expected.push_back(all[i]);
    const std::vector<std::string> rest = {
        "[eDoOFT2Filetrans]: [ofs_DoOFT2_FileName]\n",
        "[eDoOFT2FileName]: [Filename OK: a.txt]\n",
        "[CIcqOscarFileTrans] -> [eDoOFT2FileName Header finish send it.]\n",
        "[CIcqOscarFileTrans] -> [vSendPureData (pPureData = <n>,nPureDataSize = 256)]\n",
        "[eDoOFT2Filetrans]: [ofs_DoOFT2_FileData]\n",
        "[eDoOFT2FileData]: [Create File: a.txt]\n",
        "[bWriteOFT2FileData] [m_pProgressCallback (10 von 10,Userdata <n>]\n",
        "[eDoOFT2FileData]: [bWriteOFT2FileData: Filename:" + path + " / Size: 10]\n",
        "[CIcqOscarFileTrans] [bCloseOFT2File (File: " + path + ")]\n",
        "[eDoOFT2FileData]: [bWriteOFT2FileData: File Finish: ofs_DoOFT2_FileFinish]\n",
        "[eDoOFT2Filetrans]: [Info: Check the OFT2 Filetransfer hier!]\n",
        "[vSendFileData] -> [Modify = FALSE]\n",
        "[vSendFileData] -> [bCloseOFT2File]\n",
        "[vSendFileData] -> [CreateFile OK]\n",
        "[vSendFileData] -> [ReadFile OK]\n",
        "[CIcqOscarFileTrans] [bDeleteOFT2File (File: " + path + ")]\n",
        "[eDoOFT2Filetrans]: [bReset no more data]\n",
        "[CIcqOscarFileTrans] [bReset (Clear Progress (Size 10 = Size 10) \n",
    };
    expected.insert(expected.end(), rest.begin(), rest.end());
    ASSERT_EQ(all.size(), expected.size());
    for (size_t i = 0; i < all.size(); ++i)
        EXPECT_TRUE(MatchesWithNumbers(expected[i], all[i])) << "line " << i << ": " << all[i];
}

TEST_F(Oft2Test, ASendCallbackReturningZeroStopsTheRelease) {
    rec.sendResult = [](size_t index) { return index == 1 ? 0 : 1; };
    Feed(Cat({Header("stop.bin", 40000), MakeBody(40000)}));
    EXPECT_EQ(rec.sendSizes, (std::vector<int32_t>{256, 32768}));
    EXPECT_TRUE(dir.Entries().empty());
    EXPECT_EQ(trans.eState(), ofs_DoOFT2_Check);
}

TEST_F(Oft2Test, WithoutASendCallbackNothingReachesTheClient) {
    CIcqOscarFileTrans t;
    Oft2Recorder r;
    ASSERT_TRUE(t.SetTempPath(dir.Path().c_str()));
    r.Attach(t, true, true, false);
    TraceCapture capture(4);
    const auto block = Cat({Bytes("ab"), Header("x.bin", 100), MakeBody(100)});
    EXPECT_EQ(t.eDoOFT2Filetrans(block.data(), static_cast<int32_t>(block.size())), ofs_DoOFT2_Check);
    EXPECT_TRUE(r.sendSizes.empty());
    EXPECT_EQ(capture.Count("[vSendPureData] User [SendData2IcqClient]\n"), 3u);  // prefix, header, body
    EXPECT_TRUE(dir.Entries().empty());
}

// --- set-up ---------------------------------------------------------------------------

TEST(Oft2SetUp, TheDirectoryMayHaveAtMost259Characters) {
    CIcqOscarFileTrans t;
    EXPECT_TRUE(t.SetTempPath(std::string(259, 'd').c_str()));
    EXPECT_EQ(std::string(t.pszTempDir()), std::string(259, 'd'));
    EXPECT_FALSE(t.SetTempPath(std::string(260, 'd').c_str()));
    EXPECT_STREQ(t.pszTempDir(), "");
    EXPECT_FALSE(t.SetTempPath(nullptr));
}

TEST(Oft2SetUp, TheSettersRefuseWhatTheyCannotUse) {
    CIcqOscarFileTrans t;
    int user = 0;
    EXPECT_FALSE(t.bSetProgressCallback(nullptr, &user));
    EXPECT_TRUE(t.bSetProgressCallback(&Oft2Recorder::Progress, nullptr));
    EXPECT_FALSE(t.bSetCheckFileCallback(nullptr, &user));
    EXPECT_TRUE(t.bSetCheckFileCallback(&Oft2Recorder::CheckFile, nullptr));
    // The send setter checks the user data, not the callback.
    EXPECT_FALSE(t.bSetSendData2IcqClientCallback(&Oft2Recorder::Send, nullptr));
    EXPECT_TRUE(t.bSetSendData2IcqClientCallback(nullptr, &user));
}

TEST_F(Oft2Test, SetTempPathInTheMiddleOfABodyLeavesNoHeldFileBehind) {
    Feed(Cat({Header("x.bin", 5000), MakeBody(100)}));
    ASSERT_EQ(dir.Entries().size(), 1u);
    ASSERT_TRUE(trans.SetTempPath(dir.Path().c_str()));
    EXPECT_TRUE(dir.Entries().empty());
    EXPECT_EQ(trans.eState(), ofs_DoOFT2_Check);
    EXPECT_EQ(trans.nTransferCount(), 0);
    EXPECT_FALSE(trans.bHeaderSent());
}

TEST_F(Oft2Test, ACallWithoutDataMakesEverythingPassUntilTheNextReset) {
    TraceCapture capture(4);
    const uint8_t byte = 'x';
    EXPECT_EQ(trans.eDoOFT2Filetrans(nullptr, 5), ofs_DoOFT2_Error);
    EXPECT_EQ(trans.eDoOFT2Filetrans(&byte, 0), ofs_DoOFT2_Error);
    EXPECT_EQ(capture.Count("[eDoOFT2Filetrans]: [ofs_DoOFT2_Error]\n"), 2u);
    const auto transfer = Cat({Header("a", 10), MakeBody(10)});
    EXPECT_EQ(Feed(transfer), ofs_DoOFT2_Error);
    EXPECT_EQ(rec.client, transfer);
    trans.vResetOFT2Filetrans();
    EXPECT_EQ(Feed(transfer), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.checks.size(), 1u);
}

}  // namespace
}  // namespace zykim::test
