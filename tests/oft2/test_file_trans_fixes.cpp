// The transfer object where a naive reading of the protocol would lose, corrupt or
// loop: refused headers, empty and huge bodies, bodies that could not be held or read
// back, and a callback that threw in the middle of a transfer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "oft2/icq_oscar_file_trans.h"
#include "oft2_fixture.h"
#include "support/trace_capture.h"

#ifdef _WIN32
#include "os/held_file.h"
#include "os/win32/win.h"
#else
#include <csignal>
#include <sys/resource.h>
#endif

namespace zykim::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> HeaderWithLength(uint32_t wHdrLen, uint32_t size = 10) {
    Oft2HeaderFields f;
    f.name = "refused.bin";
    f.dwSize = size;
    f.wHdrLen = wHdrLen < 192 ? 192 : wHdrLen;
    std::vector<uint8_t> h = MakeOft2Header(f);
    PutBig16(h, 4, wHdrLen);  // also the lengths below the fixed part
    return h;
}

// --- no header length switches the scan off --------------------------------------------

class Oft2HeaderLength : public Oft2Test, public ::testing::WithParamInterface<uint32_t> {};

// Below 192 the bytes are no header: they go on, and a genuine header right behind them,
// or in a later block, is still found and its body held.
TEST_P(Oft2HeaderLength, WhatIsNoHeaderGoesOnAndTheSearchGoesOn) {
    const auto notHeader = HeaderWithLength(GetParam());
    const auto genuine = Cat({Header("late.exe", 100), MakeBody(100)});
    rec.verdicts = {1};
    EXPECT_EQ(Feed(Cat({Bytes("ab"), notHeader, genuine})), ofs_DoOFT2_Check);
    EXPECT_EQ(Feed(Cat({Bytes("x"), genuine})), ofs_DoOFT2_Check);
    const auto blanked = Cat({Header("late.exe", 100), Zeros(100)});
    EXPECT_EQ(rec.client, Cat({Bytes("ab"), notHeader, blanked, Bytes("x"), blanked}));
    EXPECT_EQ(rec.checks.size(), 2u);
    EXPECT_TRUE(dir.Entries().empty());
}

INSTANTIATE_TEST_SUITE_P(TooShort, Oft2HeaderLength, ::testing::Values(191u, 100u, 0u));

// An empty name and names beyond the pass-on buffer are accepted: every header byte goes
// on as received, the kept name is at most 8,720 bytes, and the body is scanned.
TEST_F(Oft2Test, EmptyAndOverlongNamesAreAcceptedAndTheirBodiesScanned) {
    for (uint32_t length : {192u, 8913u, 65535u}) {
        trans.vResetOFT2Filetrans();
        rec.Clear();
        rec.verdicts = {1};
        Oft2HeaderFields f;
        f.name = std::string(length - 192, 'n');
        f.dwSize = 40;
        f.wHdrLen = length;
        const auto header = MakeOft2Header(f);
        ASSERT_EQ(header.size(), length);
        // The fixed part alone goes on at once when the name is empty.
        EXPECT_EQ(Feed(Slice(header, 0, 192)), length == 192 ? ofs_DoOFT2_FileData : ofs_DoOFT2_FileName);
        EXPECT_EQ(rec.client.size(), length == 192 ? 192u : 0u);
        Feed(Cat({Slice(header, 192, length), MakeBody(40)}));
        EXPECT_EQ(rec.client, Cat({header, Zeros(40)})) << length;
        ASSERT_EQ(rec.checks.size(), 1u) << length;
        EXPECT_EQ(rec.checks[0].name, f.name.substr(0, 8720));
        EXPECT_EQ(rec.checks[0].content, MakeBody(40));
    }
    EXPECT_TRUE(dir.Entries().empty());
}

char* NoMemory(size_t) { return nullptr; }

TEST_F(Oft2Test, WithoutMemoryForTheNameTheBodyGoesAsZeros) {
    const auto saved = SetOft2NameAllocator(&NoMemory);
    TraceCapture capture(1);
    const auto header = Header("lost.exe", 1000);
    Feed(Cat({header, MakeBody(1000), Bytes("after")}));
    SetOft2NameAllocator(saved);
    EXPECT_EQ(rec.client, Cat({header, Zeros(1000), Bytes("after")}));
    EXPECT_TRUE(rec.checks.empty());
    EXPECT_TRUE(capture.Contains(
        "[eDoOFT2FileName]: [No memory for a name of 64 bytes: 1000 zero bytes go to the client]\n"));
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, TheLongestNameThatFitsIsAccepted) {
    const auto header = HeaderWithLength(8912, 20);
    EXPECT_EQ(Feed(Cat({header, MakeBody(20)})), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.sendSizes.front(), 8912);
    EXPECT_EQ(rec.client, Cat({header, MakeBody(20)}));
    ASSERT_EQ(rec.checks.size(), 1u);
}

TEST_F(Oft2Test, A257ByteHeaderHasALongNameAnd256DoesNot) {
    for (uint32_t length : {256u, 257u}) {
        TraceCapture capture(4);
        trans.vResetOFT2Filetrans();
        Feed(HeaderWithLength(length, 100));
        EXPECT_EQ(trans.eState(), ofs_DoOFT2_FileData);
        EXPECT_EQ(trans.nNameLen(), static_cast<int32_t>(length) - 192);
        EXPECT_EQ(capture.Contains("[eDoOFT2FileName]: [Long Filename]\n"), length == 257);
    }
}

// --- an empty body ends at once -------------------------------------------------------

TEST_F(Oft2Test, AnEmptyBodyEndsWithItsHeaderAndTheRestIsSearchedAgain) {
    TraceCapture capture(4);
    const auto empty = Header("empty.txt", 0);
    EXPECT_EQ(Feed(Cat({empty, Bytes("plain bytes")})), ofs_DoOFT2_Check2);
    EXPECT_EQ(rec.client, Cat({empty, Bytes("plain bytes")}));
    EXPECT_TRUE(rec.checks.empty());
    EXPECT_FALSE(capture.Contains("[eDoOFT2FileData]: [Create File: empty.txt]\n"));

    const auto next = Cat({Header("next.txt", 5), MakeBody(5)});
    EXPECT_EQ(Feed(Cat({empty, next})), ofs_DoOFT2_Check);
    ASSERT_EQ(rec.checks.size(), 1u);
    EXPECT_EQ(rec.checks[0].name, "next.txt");

    EXPECT_EQ(Feed(empty), ofs_DoOFT2_Check);  // finished within the call
    EXPECT_EQ(Feed("x"), ofs_DoOFT2_Check2);
    EXPECT_TRUE(dir.Entries().empty());
}

// --- sizes of 2 GiB and more are unsigned ---------------------------------------------

TEST_F(Oft2Test, ABodyOf2GiBOrMoreIsCountedUnsigned) {
    const uint32_t size = 0x80000005u;
    const auto header = Header("huge.iso", size);
    const auto chunk = MakeBody(65536);
    Feed(header);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Feed(chunk), ofs_DoOFT2_FileData);
    EXPECT_EQ(trans.nDataRecvd(), 3u * 65536u);
    EXPECT_EQ(rec.client, header);  // the body is held, not passed
    EXPECT_EQ(rec.progress.back(), std::make_pair(3u * 65536u, size));
    EXPECT_EQ(fs::file_size(trans.pszTempFile()), 3u * 65536u);
    trans.vResetOFT2Filetrans();
    EXPECT_EQ(rec.progress.back(), std::make_pair(size, size));
    EXPECT_TRUE(dir.Entries().empty());
}

// --- a body that was not held in full is replaced by zeros ----------------------------

TEST_F(Oft2Test, WhenNoHeldFileCanBeCreatedTheClientGetsZerosAndNoCheckIsMade) {
    ASSERT_TRUE(trans.SetTempPath(dir.File("missing").c_str()));
    rec.verdicts = {0};
    TraceCapture capture(4);
    const auto header = Header("lost.bin", 40000);
    EXPECT_EQ(Feed(Cat({header, MakeBody(40000)})), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.client, Cat({header, Zeros(40000)}));
    EXPECT_TRUE(rec.checks.empty());
    EXPECT_TRUE(capture.Contains("Cannot open file " + dir.File("missing") +
#ifdef _WIN32
                                 "\\" +
#else
                                 "/" +
#endif
                                 HeldName(0) + " to write\n"));
    EXPECT_TRUE(capture.Contains("[eDoOFT2FileData]: [bCreateOFT2File]\n"));
    EXPECT_TRUE(capture.Contains(
        "[eDoOFT2Filetrans]: [Body of lost.bin not held in full: 40000 zero bytes go to the client]\n"));
}

TEST_F(Oft2Test, ADirectoryInTheWayOfOneHeldFileSpoilsOnlyThatTransfer) {
    fs::create_directory(dir.File(HeldName(0)));
    const auto h1 = Header("one.bin", 3000), h2 = Header("two.bin", 3000);
    const auto b1 = MakeBody(3000, 1), b2 = MakeBody(3000, 2);
    Feed(Cat({h1, Slice(b1, 0, 1000)}));
    Feed(Slice(b1, 1000, 3000));  // the next chunk tries again, in vain
    Feed(Cat({h2, b2}));
    EXPECT_EQ(rec.client, Cat({h1, Zeros(3000), h2, b2}));
    ASSERT_EQ(rec.checks.size(), 1u);
    EXPECT_EQ(rec.checks[0].name, "two.bin");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{HeldName(0)});  // only the directory
}

#ifndef _WIN32
TEST_F(Oft2Test, WhenAWriteFailsTheClientGetsZerosAndNoCheckIsMade) {
    // A file size limit makes the second write fall short and the third fail.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved;
    limit.rlim_cur = 50000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const auto header = Header("full.bin", 100000);
    const auto body = MakeBody(100000);
    TraceCapture capture(4);
    Feed(header);
    for (size_t at = 0; at < body.size(); at += 30000)
        Feed(Slice(body, at, std::min(body.size(), at + 30000)));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(rec.client, Cat({header, Zeros(100000)}));
    EXPECT_TRUE(rec.checks.empty());
    EXPECT_TRUE(capture.Contains("[eDoOFT2FileData]: [bWriteOFT2FileData]\n"));
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, ALinkPlantedAtTheHeldFilesPathIsNotFollowed) {
    const std::string target = dir.File("target");
    { std::ofstream(target) << "keep"; }
    fs::create_symlink(target, dir.File(HeldName(0)));
    const auto header = Header("x.bin", 100);
    Feed(Cat({header, MakeBody(100)}));
    EXPECT_EQ(rec.client, Cat({header, MakeBody(100)}));
    std::vector<uint8_t> kept;
    ASSERT_TRUE(ReadWholeFile(target, kept));
    EXPECT_EQ(kept, Bytes("keep"));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"target"});
}

TEST_F(Oft2Test, TheHeldFileIsForItsOwnerOnly) {
    Feed(Cat({Header("x.bin", 100), MakeBody(50)}));
    const auto perms = fs::status(trans.pszTempFile()).permissions();
    EXPECT_EQ(perms & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}
#endif

#ifdef _WIN32
// A handle of someone else's on a file in the shared temporary folder.
struct ForeignHandle {
    HANDLE h;
    ForeignHandle(const std::string& path, DWORD access, DWORD share, DWORD disposition)
        : h(CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~ForeignHandle() { Close(); }
    void Close() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    std::string ReadAll() const {
        char buffer[64] = {};
        DWORD n = 0;
        SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        ReadFile(h, buffer, sizeof buffer, &n, nullptr);
        return std::string(buffer, n);
    }
};

// Someone who created the next held file's name first, and keeps it open to read what
// comes into it, never sees the body: the plug-in does not write through that file.
TEST_F(Oft2Test, AFilePlantedAtTheHeldFilesNameIsNeverWrittenThrough) {
    const DWORD kAnyShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (DWORD share : {kAnyShare, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
        trans.vResetOFT2Filetrans();
        rec.Clear();
        rec.verdicts = {0};
        const std::string planted = dir.File(HeldName(trans.nTransferCount()));
        { std::ofstream(planted, std::ios::binary) << "planted"; }
        ForeignHandle owner(planted, GENERIC_READ, share, OPEN_EXISTING);
        ASSERT_NE(owner.h, INVALID_HANDLE_VALUE);
        TraceCapture capture(1);
        const auto header = Header("secret.doc", 3000);
        const auto body = MakeBody(3000);
        Feed(Cat({header, body}));
        // Released as zeros, or held in a file of its own and checked there.
        if (rec.checks.empty()) {
            EXPECT_EQ(rec.client, Cat({header, Zeros(3000)}));
            EXPECT_TRUE(capture.Contains("Cannot open file " + planted + " to write\n"));
        } else {
            EXPECT_EQ(rec.checks[0].content, body);
            EXPECT_EQ(rec.client, Cat({header, body}));
        }
        EXPECT_EQ(owner.ReadAll(), "planted");
        EXPECT_EQ(GetFileSize(owner.h, nullptr), 7u);
        owner.Close();
        trans.vResetOFT2Filetrans();
        EXPECT_TRUE(dir.Entries().empty());
    }
}

TEST_F(Oft2Test, AStaleFileAtTheHeldFilesNameGivesWayToAFreshOne) {
    { std::ofstream(dir.File(HeldName(0))) << "stale"; }
    rec.verdicts = {0};
    const auto header = Header("fresh.doc", 3000);
    const auto body = MakeBody(3000);
    Feed(Cat({header, body}));
    ASSERT_EQ(rec.checks.size(), 1u);
    EXPECT_EQ(rec.checks[0].content, body);
    EXPECT_EQ(rec.client, Cat({header, body}));
    EXPECT_TRUE(dir.Entries().empty());
}

// A scanner that still has the held file open when it is to be deleted: the file is
// deleted at the next reset once the scanner let go, or when the library unloads.
TEST_F(Oft2Test, AHeldFileStillOpenElsewhereIsDeletedLater) {
    std::unique_ptr<ForeignHandle> scanner;
    rec.onCheck = [&](const Oft2Recorder::Check& c, int32_t*) {
        scanner = std::make_unique<ForeignHandle>(c.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  OPEN_EXISTING);
    };
    for (bool atReset : {true, false}) {
        TraceCapture capture(1);
        const auto transfer = Cat({Header("kept.doc", 3000), MakeBody(3000)});
        Feed(transfer);
        EXPECT_EQ(rec.client.size() % transfer.size(), 0u);
        ASSERT_TRUE(scanner && scanner->h != INVALID_HANDLE_VALUE);
        const std::string path = rec.checks.back().path;
        EXPECT_TRUE(capture.Contains("[CIcqOscarFileTrans] [Cannot delete " + path + " yet: tried again later]\n"));
        EXPECT_TRUE(fs::exists(path));
        trans.vResetOFT2Filetrans();  // still open: still there
        EXPECT_TRUE(fs::exists(path));
        scanner.reset();
        if (atReset)
            trans.vResetOFT2Filetrans();
        else
            EXPECT_EQ(os::DeleteRememberedHeldFiles(), 0u);  // what the unload does
        EXPECT_TRUE(dir.Entries().empty());
    }
}
#endif

TEST_F(Oft2Test, AHeldFileTheScannerRemovedIsReplacedByZeros) {
    rec.onCheck = [](const Oft2Recorder::Check& c, int32_t*) { fs::remove(c.path); };
    TraceCapture capture(4);
    const auto header = Header("removed.bin", 40000);
    Feed(Cat({header, MakeBody(40000)}));
    EXPECT_EQ(rec.client, Cat({header, Zeros(40000)}));
    EXPECT_EQ(rec.sendSizes, (std::vector<int32_t>{256, 32768, 7232}));
    EXPECT_TRUE(capture.Contains("[vSendFileData] -> [Read back 0 of 40000 bytes from " + dir.File(HeldName(0)) +
                                 ": zero bytes for the rest]\n"));
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, AHeldFileCutShortIsReleasedAsFarAsItGoesThenZeros) {
    rec.onCheck = [](const Oft2Recorder::Check& c, int32_t*) { fs::resize_file(c.path, 1000); };
    const auto header = Header("cut.bin", 40000);
    const auto body = MakeBody(40000);
    Feed(Cat({header, body}));
    EXPECT_EQ(rec.client, Cat({header, Slice(body, 0, 1000), Zeros(39000)}));
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, AHeldFileThatGrewIsReleasedToTheAnnouncedSizeOnly) {
    rec.onCheck = [](const Oft2Recorder::Check& c, int32_t*) { fs::resize_file(c.path, 45000); };
    const auto header = Header("grown.bin", 40000);
    const auto body = MakeBody(40000);
    Feed(Cat({header, body, Bytes("after")}));
    EXPECT_EQ(rec.client, Cat({header, body, Bytes("after")}));
}

TEST_F(Oft2Test, WithoutACheckCallbackTheBodyIsReplacedByZeros) {
    CIcqOscarFileTrans t;
    Oft2Recorder r;
    ASSERT_TRUE(t.SetTempPath(dir.Path().c_str()));
    r.Attach(t, true, false, true);
    const auto header = Header("unchecked.bin", 1000);
    const auto block = Cat({header, MakeBody(1000), Bytes("more")});
    t.eDoOFT2Filetrans(block.data(), static_cast<int32_t>(block.size()));
    EXPECT_EQ(r.client, Cat({header, Zeros(1000), Bytes("more")}));
    EXPECT_TRUE(dir.Entries().empty());
}

// --- a callback that threw ------------------------------------------------------------

TEST_F(Oft2Test, ABlockAfterACallbackThrewInTheReleaseStartsAfresh) {
    rec.nThrowAtSend = 1;  // the first body send
    const auto h1 = Header("one.bin", 1000);
    EXPECT_THROW(Feed(Cat({h1, MakeBody(1000)})), std::runtime_error);
    EXPECT_EQ(trans.eState(), ofs_DoOFT2_FileFinish);
    EXPECT_EQ(dir.Entries().size(), 1u);
    TraceCapture capture(4);
    const auto second = Cat({Header("two.bin", 500), MakeBody(500, 2)});
    EXPECT_EQ(Feed(second), ofs_DoOFT2_Check);
    EXPECT_TRUE(capture.Contains("[eDoOFT2Filetrans]: [bReset after an interrupted transfer]\n"));
    EXPECT_EQ(rec.client, Cat({h1, second}));
    ASSERT_EQ(rec.checks.size(), 2u);
    EXPECT_EQ(rec.checks[1].name, "two.bin");
    EXPECT_TRUE(dir.Entries().empty());
}

TEST_F(Oft2Test, AHeaderWhoseSendThrewIsNotSentTwice) {
    rec.nThrowAtSend = 0;
    const auto header = Header("h.bin", 10);
    EXPECT_THROW(Feed(header), std::runtime_error);
    EXPECT_EQ(trans.eState(), ofs_DoOFT2_FileName);
    rec.nThrowAtSend = -1;
    EXPECT_EQ(Feed(MakeBody(10)), ofs_DoOFT2_Check);
    EXPECT_EQ(rec.client, MakeBody(10));  // the header was the send that failed
    ASSERT_EQ(rec.checks.size(), 1u);
}

}  // namespace
}  // namespace zykim::test
