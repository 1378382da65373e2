// The pattern search: the folding table, the skip table, and matches against a plain
// reference search over many texts.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "oft2/pattern_search.h"

namespace {

using zykim::FindPattern;

const uint8_t* U(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

// Offset of the match in text, or -1.
int Find(const std::string& text, const std::string& pattern, const uint8_t* table = nullptr) {
    const uint8_t* hit = FindPattern(U(text.data()), static_cast<int32_t>(text.size()),
                                     U(pattern.data()), static_cast<int32_t>(pattern.size()), table);
    return hit == nullptr ? -1 : static_cast<int>(hit - U(text.data()));
}

TEST(FoldingTable, MapsCapitalsOfWindows1252ToTheirSmallForms) {
    for (int b = 0; b < 256; ++b) {
        int expected = b;
        if (b >= 'A' && b <= 'Z') expected = b + 32;
        if (b == 0x8A || b == 0x8C || b == 0x8E) expected = b + 0x10;  // S, OE, Z with caron
        if (b == 0x9F) expected = 0xFF;                                // Y with diaeresis
        if (b >= 0xC0 && b <= 0xDE && b != 0xD7) expected = b + 0x20;
        EXPECT_EQ(zykim::kDefaultFoldingTable[b], expected) << "byte " << b;
    }
}

TEST(SkipTable, HoldsTheDistanceFromTheRightmostOccurrenceBeforeTheLast) {
    int32_t skip[256];
    zykim::BuildSkipTable(U("oft2"), 4, skip);
    for (int b = 0; b < 256; ++b) {
        const int expected = b == 'o' ? 3 : b == 'f' ? 2 : b == 't' ? 1 : 4;
        EXPECT_EQ(skip[b], expected) << "byte " << b;
    }
    zykim::BuildSkipTable(U("abab"), 4, skip);
    EXPECT_EQ(skip['a'], 1);
    EXPECT_EQ(skip['b'], 2);  // the last byte gets no entry of its own
    EXPECT_EQ(skip['c'], 4);
}

TEST(FindPattern, FindsTheMagicInAnyLetterCase) {
    EXPECT_EQ(Find(std::string("\x01\x02OFT2\x03\x04", 8), "oft2"), 2);
    EXPECT_EQ(Find("oFt2", "oft2"), 0);
    EXPECT_EQ(Find("xxxxxxxOft2", "oft2"), 7);
    EXPECT_EQ(Find("..OFT2..oft2..", "oft2"), 2);  // the leftmost of two
    EXPECT_EQ(Find("OFT2", "OFT2"), -1);           // the pattern is not folded
    EXPECT_EQ(Find("OF2T oft3 ft2", "oft2"), -1);
}

TEST(FindPattern, ShortOrSplitTextsHoldNoMatch) {
    EXPECT_EQ(Find("oft", "oft2"), -1);
    EXPECT_EQ(Find("", "oft2"), -1);
    // The magic split over two buffers is found in neither.
    EXPECT_EQ(Find("......OFT", "oft2"), -1);
    EXPECT_EQ(Find("2......", "oft2"), -1);
}

TEST(FindPattern, RefusesAbsentOrEmptyArguments) {
    const uint8_t text[] = "oft2";
    EXPECT_EQ(FindPattern(nullptr, 4, U("oft2"), 4, nullptr), nullptr);
    EXPECT_EQ(FindPattern(text, 4, nullptr, 4, nullptr), nullptr);
    EXPECT_EQ(FindPattern(text, 4, U("oft2"), 0, nullptr), nullptr);
    EXPECT_EQ(FindPattern(text, -1, U("oft2"), 4, nullptr), nullptr);
    EXPECT_EQ(FindPattern(text, 4, U("oft2"), 4, nullptr), text);
}

TEST(FindPattern, LatinCapitalsCompareAsSmallLettersButNotTheTwoExceptions) {
    const std::string capitals("\xC0\xC9\xDE", 3), smalls("\xE0\xE9\xFE", 3);
    EXPECT_EQ(Find("x" + capitals, smalls), 1);
    EXPECT_EQ(Find(std::string("\xD7", 1), std::string("\xF7", 1)), -1);
    EXPECT_EQ(Find(std::string("\xD7", 1), std::string("\xD7", 1)), 0);
    EXPECT_EQ(Find(std::string("\xDF", 1), std::string("\xFF", 1)), -1);
    EXPECT_EQ(Find(std::string("\x9F\x8A", 2), std::string("\xFF\x9A", 2)), 0);
}

TEST(FindPattern, AnOwnTableReplacesTheDefaultFolding) {
    uint8_t identity[256];
    for (int b = 0; b < 256; ++b) identity[b] = static_cast<uint8_t>(b);
    EXPECT_EQ(Find("OFT2 oft2", "oft2", identity), 5);
    EXPECT_EQ(Find("OFT2", "OFT2", identity), 0);
}

// Plain search with the same folding, for comparison.
int ReferenceFind(const std::vector<uint8_t>& text, const std::vector<uint8_t>& pattern) {
    for (size_t i = 0; i + pattern.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < pattern.size() && zykim::kDefaultFoldingTable[text[i + k]] == pattern[k]) ++k;
        if (k == pattern.size()) return static_cast<int>(i);
    }
    return -1;
}

TEST(FindPattern, AgreesWithAPlainSearchOnRandomTexts) {
    std::mt19937 rng(7);
    const std::string alphabet = "oOfFtT2 x\xC0\xE0";
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> text(rng() % 40), pattern(1 + rng() % 5);
        for (auto& b : text) b = static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
        for (auto& b : pattern)
            b = zykim::kDefaultFoldingTable[static_cast<uint8_t>(alphabet[rng() % alphabet.size()])];
        const uint8_t* hit = FindPattern(text.data(), static_cast<int32_t>(text.size()), pattern.data(),
                                         static_cast<int32_t>(pattern.size()), nullptr);
        const int got = hit == nullptr ? -1 : static_cast<int>(hit - text.data());
        ASSERT_EQ(got, ReferenceFind(text, pattern))
            << "text " << std::string(text.begin(), text.end()) << " pattern "
            << std::string(pattern.begin(), pattern.end());
    }
}

}  // namespace
