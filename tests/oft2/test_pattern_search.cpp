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

// Long texts take the split search: a match must be found wherever it lies, the
// leftmost of several must win, and the constant magic must agree with the general path.
class LongTextSearch : public ::testing::Test {
protected:
    static constexpr size_t kLength = 65536;

    // Random bytes in which no window compares as the magic.
    static std::vector<uint8_t> Clean(uint32_t seed, const std::string& alphabet = "") {
        std::mt19937 rng(seed);
        std::vector<uint8_t> text(kLength);
        for (auto& b : text)
            b = alphabet.empty() ? static_cast<uint8_t>(rng())
                                 : static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
        for (size_t i = 0; i + 4 <= text.size(); ++i)
            if (Fold(text[i]) == 'o' && Fold(text[i + 1]) == 'f' && Fold(text[i + 2]) == 't' &&
                text[i + 3] == '2')
                text[i] = 'x';
        return text;
    }
    static uint8_t Fold(uint8_t b) { return zykim::kDefaultFoldingTable[b]; }
    static void Put(std::vector<uint8_t>& text, size_t at, const char* magic = "OfT2") {
        std::memcpy(text.data() + at, magic, 4);
    }
    // The offset found by the magic's own path and by the general path (an equal copy
    // of the folding table is not the constant itself); both must agree.
    static int Both(const std::vector<uint8_t>& text, size_t length = kLength) {
        uint8_t copy[256];
        std::memcpy(copy, zykim::kDefaultFoldingTable, sizeof copy);
        const auto n = static_cast<int32_t>(length);
        const uint8_t* a = FindPattern(text.data(), n, U("oft2"), 4, nullptr);
        const uint8_t* b = FindPattern(text.data(), n, U("oft2"), 4, copy);
        int32_t skip[256];
        zykim::BuildSkipTable(U("oft2"), 4, skip);
        const uint8_t* c = zykim::SearchPattern(text.data(), n, U("oft2"), 4, skip, nullptr);
        EXPECT_EQ(a, b);
        EXPECT_EQ(a, c);
        return a == nullptr ? -1 : static_cast<int>(a - text.data());
    }
};

TEST_F(LongTextSearch, FindsOneMatchAtEveryKindOfPlace) {
    const std::vector<uint8_t> clean = Clean(11);
    ASSERT_EQ(Both(clean), -1);
    // The quarters of the window ends begin near 3 + k * 16383; try around each seam,
    // and both ends of the text.
    std::vector<size_t> places = {0, 1, 2, 3, 4, kLength - 4, kLength - 5};
    for (size_t k = 1; k < 4; ++k)
        for (size_t d = 0; d < 12; ++d) places.push_back(3 + k * ((kLength - 3) / 4) - 6 + d);
    for (size_t at : places) {
        std::vector<uint8_t> text = clean;
        Put(text, at);
        EXPECT_EQ(Both(text), static_cast<int>(at)) << "magic at " << at;
    }
}

TEST_F(LongTextSearch, TheLeftmostOfMatchesInDifferentQuartersWins) {
    const std::vector<uint8_t> clean = Clean(12);
    const size_t spots[] = {100, 17000, 33000, 60000};
    for (int first = 0; first < 4; ++first) {
        std::vector<uint8_t> text = clean;
        for (int k = 3; k >= first; --k) Put(text, spots[k], k % 2 ? "oft2" : "OFT2");
        EXPECT_EQ(Both(text), static_cast<int>(spots[first]));
    }
    // A match late in the last quarter, found long before the first quarter ends.
    std::vector<uint8_t> text = clean;
    Put(text, 65000);
    Put(text, 16000);
    EXPECT_EQ(Both(text), 16000);
}

TEST_F(LongTextSearch, AgreesWithAPlainSearchOnTextsFullOfNearMatches) {
    // Texts made of the magic's letters: many windows end on its last byte, and the
    // scans of the quarters advance at very different rates.
    std::mt19937 rng(13);
    for (const std::string alphabet : {"oOfFtT2x", "2222222t", "tttttttt2", "oft oft ft2"}) {
        for (int round = 0; round < 6; ++round) {
            std::vector<uint8_t> text = Clean(rng(), alphabet);
            const size_t length = 256 + rng() % (kLength - 256);
            if (round % 2 == 1) Put(text, rng() % (length - 3), "oFt2");
            std::vector<uint8_t> prefix(text.begin(), text.begin() + static_cast<long>(length));
            EXPECT_EQ(Both(text, length), ReferenceFind(prefix, {'o', 'f', 't', '2'}))
                << "alphabet " << alphabet << " length " << length;
        }
    }
}

TEST_F(LongTextSearch, OtherPatternsAgreeWithAPlainSearch) {
    std::mt19937 rng(14);
    const std::string alphabet = "abcAB\xC0\xE0";
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> text(256 + rng() % 4000), pattern(1 + rng() % 6);
        for (auto& b : text) b = static_cast<uint8_t>(alphabet[rng() % alphabet.size()]);
        for (auto& b : pattern) b = Fold(static_cast<uint8_t>(alphabet[rng() % alphabet.size()]));
        const uint8_t* hit = FindPattern(text.data(), static_cast<int32_t>(text.size()), pattern.data(),
                                         static_cast<int32_t>(pattern.size()), nullptr);
        const int got = hit == nullptr ? -1 : static_cast<int>(hit - text.data());
        ASSERT_EQ(got, ReferenceFind(text, pattern)) << "round " << round;
    }
}
