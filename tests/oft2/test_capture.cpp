// Replays a file transfer recorded between real messenger clients: in the segments it
// was sent in, as one block, and byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "oft2_fixture.h"
#include "support/md5.h"
#include "support/oft2_oracle.h"
#include "support/oft2_stream_check.h"

namespace zykim::test {
namespace {

std::vector<uint8_t> CaptureFile(const char* name) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ReadWholeFile(std::string(ZYKIM_OFT2_CAPTURE_DIR) + "/" + name, bytes)) << name;
    return bytes;
}

// The sender's TCP segment sizes, in order.
const std::vector<size_t> kSegments = {256, 1460, 1460, 1176, 1460, 1460, 1460, 1460, 304, 1460, 308};

using Blocks = std::vector<size_t>;

class Oft2Capture : public Oft2Test {
protected:
    void SetUp() override {
        Oft2Test::SetUp();
        stream = CaptureFile("sender-to-receiver.bin");
        ASSERT_EQ(stream.size(), 12264u);
        header = Slice(stream, 0, 256);
        body = Slice(stream, 256, stream.size());
    }
    void Replay(const Blocks& blocks) {
        size_t at = 0;
        for (size_t n : blocks) {
            trans.eDoOFT2Filetrans(stream.data() + at, static_cast<int32_t>(n));
            at += n;
        }
        ASSERT_EQ(at, stream.size());
    }
    static Blocks Whole() { return {12264}; }
    static Blocks ByteByByte() { return Blocks(12264, 1); }
    // The segments with the magic split over the first two blocks after k of its bytes.
    static Blocks MagicSplitAt(size_t k) {
        Blocks b = {k, 256 - k};
        b.insert(b.end(), kSegments.begin() + 1, kSegments.end());
        return b;
    }

    std::vector<uint8_t> stream, header, body;
};

TEST_F(Oft2Capture, ReleasedUnchangedTheClientGetsTheRecordingByteForByte) {
    for (const Blocks& blocks : {kSegments, Whole(), MagicSplitAt(1), MagicSplitAt(2), MagicSplitAt(3)}) {
        rec.Clear();
        rec.verdicts = {0};
        Replay(blocks);
        EXPECT_EQ(rec.client, stream);
        ASSERT_EQ(rec.checks.size(), 1u);
        EXPECT_EQ(rec.checks[0].name, "recipe.docx");
        EXPECT_EQ(rec.checks[0].content.size(), 12008u);
        EXPECT_EQ(Md5Hex(rec.checks[0].content), "8350582774e1d4dbe1d61d64c89e0ea1");
        EXPECT_EQ(trans.eState(), ofs_DoOFT2_Check);
        EXPECT_TRUE(dir.Entries().empty());
    }
}

TEST_F(Oft2Capture, ReplacedTheClientGetsTheHeaderAndZeros) {
    for (const Blocks& blocks : {kSegments, Whole(), MagicSplitAt(1), MagicSplitAt(2), MagicSplitAt(3)}) {
        rec.Clear();
        rec.verdicts = {1};
        Replay(blocks);
        EXPECT_EQ(rec.client, Cat({header, Zeros(12008)}));
        ASSERT_EQ(rec.checks.size(), 1u);
        EXPECT_EQ(Md5Hex(rec.checks[0].content), "8350582774e1d4dbe1d61d64c89e0ea1");
        EXPECT_TRUE(dir.Entries().empty());
    }
}

TEST_F(Oft2Capture, ByteByByteTheMagicIsStillFoundAndTheBodyChecked) {
    for (int32_t verdict : {0, 1}) {
        CIcqOscarFileTrans t;
        Oft2Recorder r;
        ASSERT_TRUE(t.SetTempPath(dir.Path().c_str()));
        r.verdicts = {verdict};
        r.Attach(t);
        for (uint8_t byte : stream) t.eDoOFT2Filetrans(&byte, 1);
        EXPECT_EQ(r.client, verdict == 0 ? stream : Cat({header, Zeros(12008)}));
        ASSERT_EQ(r.checks.size(), 1u);
        EXPECT_EQ(Md5Hex(r.checks[0].content), "8350582774e1d4dbe1d61d64c89e0ea1");
        EXPECT_EQ(t.eState(), ofs_DoOFT2_Check);
    }
}

TEST_F(Oft2Capture, TheOracleAgreesInEveryReplay) {
    for (const Blocks& blocks : {kSegments, Whole(), ByteByByte(), MagicSplitAt(1), MagicSplitAt(2), MagicSplitAt(3)}) {
        Oft2StreamCheck check(dir.Path(), {true, false, {{1, -1}}});
        size_t at = 0;
        for (size_t n : blocks) {
            ASSERT_EQ(check.Block(stream.data() + at, n), "");
            at += n;
        }
        ASSERT_EQ(check.Reset(), "");
        ASSERT_EQ(check.End(), "");
    }
}

TEST_F(Oft2Capture, TheReceiversAcknowledgementAndDoneHeadersPassUnchanged) {
    // Two headers and no body: the second stands where the first one's body would be.
    const std::vector<uint8_t> replies = CaptureFile("receiver-to-sender.bin");
    ASSERT_EQ(replies.size(), 512u);
    EXPECT_EQ(trans.eDoOFT2Filetrans(replies.data(), 256), ofs_DoOFT2_FileData);
    EXPECT_EQ(trans.sHeader().wType, 0x0202);
    EXPECT_EQ(trans.eDoOFT2Filetrans(replies.data() + 256, 256), ofs_DoOFT2_FileData);
    EXPECT_EQ(trans.sHeader().wType, 0x0204);
    EXPECT_EQ(trans.sHeader().dwnRecvd, 12008u);
    EXPECT_EQ(rec.client, replies);
    EXPECT_TRUE(rec.checks.empty());
}

}  // namespace
}  // namespace zykim::test
