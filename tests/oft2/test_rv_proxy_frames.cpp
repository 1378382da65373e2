// The frames of the messengers' rendezvous proxy at the start of a server stream: they
// reach the client at once and unchanged, blocks of nothing else leave the two-block
// window open, and what is no such frame counts as before.
#include <gtest/gtest.h>

#include "oft2_fixture.h"

namespace zykim::test {
namespace {

using Blocks = std::vector<std::vector<uint8_t>>;

// The blocks the server side sends before the transfer, and whether its header is still
// found: the transfer's header and body follow in a block of their own, or at the end of
// the last block when `together` is set.
struct FramesCase {
    const char* name;
    Blocks before;
    bool found;
    bool together = false;
};

void PrintTo(const FramesCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> Cat(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) Append(all, p);
    return all;
}

std::vector<uint8_t> Part(const std::vector<uint8_t>& v, size_t from, size_t to = std::string::npos) {
    return {v.begin() + static_cast<long>(from), to == std::string::npos ? v.end() : v.begin() + static_cast<long>(to)};
}

Blocks EveryByte(const std::vector<uint8_t>& bytes) {
    Blocks blocks;
    for (uint8_t b : bytes) blocks.push_back({b});
    return blocks;
}

std::vector<FramesCase> Cases() {
    const auto created = RvCreated(), ready = RvReady(), error = RvError(), y = Bytes("y");
    const auto both = Cat({created, ready});
    std::vector<FramesCase> cases = {
        {"ReceiverCreates", {created, ready}, true},
        {"ReceiverJoins", {ready}, true},
        {"ReadyAndTheHeaderInOneBlock", {created, ready}, true, true},
        {"AllInOneBlock", {both}, true, true},
        {"FramesByteByByte", EveryByte(both), true},
        {"FramesSplitInsideTheirHeads", {Part(created, 0, 5), Part(created, 5, 15),
                                         Cat({Part(created, 15), Part(ready, 0, 3)}), Part(ready, 3)}, true},
        // Letters of the magic inside a frame start no header.
        {"TheMagicInsideAFrameIsNoHeader", {MakeRvProxyFrame(0x0003, Bytes("\x12\x34OFT2")), ready}, true},
        // Bytes after ready count as a searched block; so do frames after error.
        {"BytesAfterReadyAreSearched", {ready}, true, true},
        {"BytesAfterReadyCountAsABlock", {Cat({ready, y}), y}, false},
        {"AfterAnErrorOneMoreBlock", {created, error, y}, true},
        {"AfterAnErrorTwoMoreBlocks", {created, error, y, y}, false},
        {"AFrameAfterAnErrorCountsAsABlock", {error, ready, y}, false},
        // At most four frames: the fifth counts as a block of the window.
        {"FourFramesThenTwoBlocks", {created, created, created, created, y}, true},
        {"FiveFramesThenTwoBlocks", {created, created, created, created, created, y}, false},
        // What is no frame a proxy sends counts as before.
        {"CreatedWithTheLengthOfReady", {MakeRvProxyFrame(0x0003, {1, 2, 3, 4, 5, 6}, 10), y}, false},
        {"AnotherVersion", {MakeRvProxyFrame(0x0005, {}, -1, 0x044b), y}, false},
        {"ACommandAClientSends", {MakeRvProxyFrame(0x0004, {1, 2, 3, 4, 5, 6}), y}, false},
        {"AFrameFollowedByJunk", {Cat({created, y}), y}, false},
        {"ABeginningRefusedInTheNextBlock", {Part(ready, 0, 3), Bytes("\x4bxyz")}, false},
        {"ABeginningRefusedByTheHeader", EveryByte(Part(ready, 0, 3)), false},
        {"ABeginningRefusedAfterOneBlock", {Part(ready, 0, 3), Bytes("\x4bxyz")}, true, true},
    };
    return cases;
}

class Oft2ProxyFrames : public Oft2Test, public ::testing::WithParamInterface<FramesCase> {};

TEST_P(Oft2ProxyFrames, FramesPassAtOnceAndLeaveTheWindowOpen) {
    const FramesCase& c = GetParam();
    rec.verdicts = {1};
    const auto header = Header("eicar.com", 68);
    const auto transfer = Cat({header, MakeBody(68)});
    Blocks blocks = c.before;
    if (c.together)
        Append(blocks.back(), transfer);
    else
        blocks.push_back(transfer);
    std::vector<uint8_t> sent;
    for (size_t i = 0; i + 1 < blocks.size(); ++i) {
        Feed(blocks[i]);
        Append(sent, blocks[i]);
        ASSERT_EQ(rec.client, sent) << "block " << i;
    }
    Feed(blocks.back());
    Append(sent, blocks.back());
    const size_t atHeader = sent.size() - transfer.size();
    if (c.found) {
        ASSERT_EQ(rec.checks.size(), 1u);
        EXPECT_EQ(rec.checks[0].name, "eicar.com");
        EXPECT_EQ(rec.client, Cat({Slice(sent, 0, atHeader), header, Zeros(68)}));
        EXPECT_EQ(trans.eState(), ofs_DoOFT2_Check);
    } else {
        EXPECT_TRUE(rec.checks.empty());
        EXPECT_EQ(rec.client, sent);
        EXPECT_EQ(trans.eState(), ofs_DoOFT2_NoFileTrans);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Oft2ProxyFrames, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<FramesCase>& info) { return std::string(info.param.name); });

// After a finished transfer the frames are recognised again, as the window opens again.
TEST_F(Oft2Test, ProxyFramesAreRecognisedAgainAfterATransfer) {
    const auto first = Cat({Header("one", 10), MakeBody(10)});
    const auto second = Cat({Header("two", 10), MakeBody(10)});
    EXPECT_EQ(Feed(Cat({RvReady(), first, RvCreated()})), ofs_DoOFT2_Check);
    EXPECT_EQ(Feed(RvReady()), ofs_DoOFT2_Check);
    EXPECT_EQ(Feed(Bytes("x")), ofs_DoOFT2_Check2);
    EXPECT_EQ(Feed(second), ofs_DoOFT2_Check);
    ASSERT_EQ(rec.checks.size(), 2u);
    EXPECT_EQ(rec.checks[1].name, "two");
    EXPECT_EQ(rec.client, Cat({RvReady(), first, RvCreated(), RvReady(), Bytes("x"), second}));
}

}  // namespace
}  // namespace zykim::test
