// The OFT2 header record: wire offsets, conversion in place, and its trace.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "oft2/oft2_header.h"
#include "support/oft2_stream.h"
#include "support/trace_capture.h"

namespace {

using zykim::OFT2_HEADER;
using zykim::test::PutBig16;
using zykim::test::PutBig32;

// A fixed part whose every number is distinct, with a marked opaque block.
std::vector<uint8_t> DistinctFixedPart() {
    std::vector<uint8_t> w(192, 0);
    std::memcpy(w.data(), "OFT2", 4);
    const size_t at16[] = {4, 6, 16, 18, 20, 22, 24, 26, 188, 190};
    for (size_t i = 0; i < std::size(at16); ++i) PutBig16(w, at16[i], 0x0100 + static_cast<uint32_t>(i));
    for (size_t at = 8; at <= 64; at += 4) {
        if (at == 16) at = 28;  // 16..27 are 16-bit fields
        PutBig32(w, at, 0x01020300u + static_cast<uint32_t>(at));
    }
    for (size_t i = 68; i < 188; ++i) w[i] = static_cast<uint8_t>(i);
    return w;
}

OFT2_HEADER FromWire(const std::vector<uint8_t>& wire) {
    OFT2_HEADER h{};
    std::memcpy(&h, wire.data(), 192);
    return h;
}

TEST(Oft2Header, ConvertsEveryNumberInPlaceAndLeavesTheRestAlone) {
    const std::vector<uint8_t> wire = DistinctFixedPart();
    OFT2_HEADER h = FromWire(wire);
    ASSERT_TRUE(zykim::bConvertOFT2Header(&h));
    EXPECT_EQ(std::memcmp(h.abMagic, "OFT2", 4), 0);
    EXPECT_EQ(h.wHdrLen, 0x0100);
    EXPECT_EQ(h.wType, 0x0101);
    EXPECT_EQ(h.wEncrypt, 0x0102);
    EXPECT_EQ(h.wPrtsTotal, 0x0106);  // offsets 24 and 25 are exchanged like the others
    EXPECT_EQ(h.wPrtsLft, 0x0107);
    EXPECT_EQ(h.wEncoding, 0x0108);
    EXPECT_EQ(h.wSubcode, 0x0109);
    EXPECT_EQ(h.dwCookieLow, 0x01020308u);
    EXPECT_EQ(h.dwCookieHi, 0x0102030Cu);
    EXPECT_EQ(h.dwTotalSize, 0x0102031Cu);
    EXPECT_EQ(h.dwSize, 0x01020320u);
    EXPECT_EQ(h.dwRecvCsum, 0x01020340u);
    EXPECT_EQ(std::memcmp(h.abOpaque, wire.data() + 68, 120), 0);
    EXPECT_EQ(h.m_pszFileName, nullptr);
}

TEST(Oft2Header, TracesEachFieldButPartsTotalWithItsConvertedValue) {
    std::vector<uint8_t> wire = DistinctFixedPart();
    PutBig16(wire, 6, 0xFFFF);        // 16-bit values print zero-extended
    PutBig32(wire, 40, 0xB1640000);  // 32-bit values print signed
    OFT2_HEADER h = FromWire(wire);
    zykim::test::TraceCapture capture(4);
    ASSERT_TRUE(zykim::bConvertOFT2Header(&h));
    const std::vector<std::string> expected = {
        "[bConvertOFT2Header]: [Convert OFT2 Header Start ]\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wHdrLen]: 256\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wType]: 65535\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwCookieLow]: 16909064\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwCookieHi]: 16909068\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wEncrypt]: 258\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wComp]: 259\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wFilesTotal]: 260\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wFilesLft]: 261\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wPrtsLft]: 263\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwTotalSize]: 16909084\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwSize]: 16909088\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwModTime]: 16909092\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwChecksum]: -1318846464\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwRfrcSum]: 16909100\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwRfSize]: 16909104\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwCreTime]: 16909108\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwRfcSum]: 16909112\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwnRecvd]: 16909116\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->dwRecvCsum]: 16909120\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wEncoding]: 264\n",
        "[bConvertOFT2Header]: [psOFT2_HEADER->wSubcode]: 265\n",
        "[bConvertOFT2Header]: [Convert OFT2 Header End ]\n",
    };
    EXPECT_EQ(capture.Messages(), expected);
}

TEST(Oft2Header, ANullRecordIsRefusedWithoutTrace) {
    zykim::test::TraceCapture capture(4);
    EXPECT_FALSE(zykim::bConvertOFT2Header(nullptr));
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Oft2Header, TheCapturedPromptDecodes) {
    // The fields of a real prompt header, as the stream builder lays them out.
    zykim::test::Oft2HeaderFields f;
    f.name = "recipe.docx";
    f.dwSize = 12008;
    const std::vector<uint8_t> wire = zykim::test::MakeOft2Header(f);
    ASSERT_EQ(wire.size(), 256u);
    OFT2_HEADER h = FromWire(wire);
    ASSERT_TRUE(zykim::bConvertOFT2Header(&h));
    EXPECT_EQ(h.wHdrLen, 256);
    EXPECT_EQ(h.wType, 0x0101);
    EXPECT_EQ(h.dwSize, 12008u);
    EXPECT_EQ(h.dwChecksum, 0xB1640000u);
}

}  // namespace
