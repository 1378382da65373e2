// FindPattern against a naive case-folded search written from the folding rules, on
// millions of random and adversarial texts: every letter-case mix of the magic at every
// offset, split at every point, among bytes one bit away from its letters.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "oft2/pattern_search.h"

namespace {

// Windows-1252 lower-case folding, from its rules rather than from the table.
uint8_t Fold(uint8_t b) {
    if (b >= 'A' && b <= 'Z') return static_cast<uint8_t>(b + 0x20);
    if (b == 0x8A || b == 0x8C || b == 0x8E) return static_cast<uint8_t>(b + 0x10);
    if (b == 0x9F) return 0xFF;
    if (b >= 0xC0 && b <= 0xDE && b != 0xD7) return static_cast<uint8_t>(b + 0x20);
    return b;
}

// Offset of the leftmost match, or -1.
long Naive(const uint8_t* text, size_t n, const uint8_t* pattern, size_t m) {
    if (m == 0 || n < m) return -1;
    for (size_t i = 0; i + m <= n; ++i) {
        size_t k = 0;
        while (k < m && Fold(text[i + k]) == pattern[k]) ++k;
        if (k == m) return static_cast<long>(i);
    }
    return -1;
}

long Found(const std::vector<uint8_t>& text, const uint8_t* pattern, size_t m) {
    const uint8_t* hit = zykim::FindPattern(text.data(), static_cast<int32_t>(text.size()), pattern,
                                            static_cast<int32_t>(m), nullptr);
    return hit == nullptr ? -1 : static_cast<long>(hit - text.data());
}

const uint8_t kMagic[] = {'o', 'f', 't', '2'};

// Bytes near the magic's letters: their capitals, the bytes 0x20 away ('2' ^ 0x20 is 0x12,
// 'o' ^ 0x20 is 'O' but 0xEF and 0xCF are not 'o'), the letters with the top bit set, and
// the Windows-1252 capitals that fold.
std::vector<uint8_t> Adversarial() {
    std::vector<uint8_t> a;
    for (uint8_t c : kMagic) {
        for (uint8_t d : {uint8_t(c), uint8_t(c ^ 0x20), uint8_t(c ^ 0x80), uint8_t(c ^ 0xA0), uint8_t(c + 1),
                          uint8_t(c - 1)})
            a.push_back(d);
    }
    for (int b = 0xC0; b <= 0xDF; ++b) a.push_back(static_cast<uint8_t>(b));
    for (uint8_t b : {0x8A, 0x8C, 0x8E, 0x9F, 0x9A, 0x9C, 0x9E, 0xFF, 0x00, 0x20})
        a.push_back(b);
    return a;
}

size_t g_cases = 0;

void Expect(const std::vector<uint8_t>& text, const uint8_t* pattern, size_t m) {
    ++g_cases;
    const long want = Naive(text.data(), text.size(), pattern, m);
    const long got = Found(text, pattern, m);
    if (got != want) {
        std::string hex;
        for (uint8_t b : text) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15], hex += ' ';
        FAIL() << "found at " << got << ", naive " << want << " in " << hex;
    }
}

TEST(SearchDifferential, EveryCaseMixOfTheMagicAtEveryOffsetAndSplitAtEveryPoint) {
    const std::vector<uint8_t> alphabet = Adversarial();
    std::mt19937 rng(11);
    for (int mix = 0; mix < 16; ++mix) {
        uint8_t magic[4];
        for (int k = 0; k < 4; ++k)
            magic[k] = (mix >> k & 1) != 0 && kMagic[k] != '2' ? static_cast<uint8_t>(kMagic[k] - 0x20) : kMagic[k];
        for (size_t length = 4; length <= 80; ++length) {
            for (size_t at = 0; at + 4 <= length; ++at) {
                for (int fill = 0; fill < 6; ++fill) {
                    std::vector<uint8_t> text(length);
                    for (uint8_t& b : text) b = alphabet[rng() % alphabet.size()];
                    std::copy(magic, magic + 4, text.begin() + static_cast<long>(at));
                    Expect(text, kMagic, 4);
                    if (HasFatalFailure()) return;
                    // The magic at the very end, and split between two buffers at each point.
                    if (at + 4 == length) {
                        for (size_t split = 1; split < length; ++split) {
                            const std::vector<uint8_t> left(text.begin(), text.begin() + static_cast<long>(split));
                            const std::vector<uint8_t> right(text.begin() + static_cast<long>(split), text.end());
                            Expect(left, kMagic, 4);
                            Expect(right, kMagic, 4);
                            if (HasFatalFailure()) return;
                        }
                    }
                }
            }
        }
    }
}

TEST(SearchDifferential, RandomTextsOverNearMissBytesAgreeWithTheNaiveSearch) {
    const std::vector<uint8_t> alphabet = Adversarial();
    std::mt19937 rng(12);
    std::vector<uint8_t> text;
    for (int round = 0; round < 2000000; ++round) {
        text.resize(rng() % 48);
        // Mostly near misses; now and then any byte at all.
        for (uint8_t& b : text) b = (rng() & 7) != 0 ? alphabet[rng() % alphabet.size()] : static_cast<uint8_t>(rng());
        Expect(text, kMagic, 4);
        if (HasFatalFailure()) return;
    }
}

TEST(SearchDifferential, OtherPatternsInFoldedFormAgreeToo) {
    const std::vector<uint8_t> alphabet = Adversarial();
    std::mt19937 rng(13);
    std::vector<uint8_t> text;
    uint8_t pattern[8];
    for (int round = 0; round < 1000000; ++round) {
        const size_t m = 1 + rng() % 7;
        for (size_t k = 0; k < m; ++k) pattern[k] = Fold(alphabet[rng() % alphabet.size()]);
        text.resize(rng() % 40);
        for (uint8_t& b : text) b = alphabet[rng() % alphabet.size()];
        // Plant the pattern (in some case mix) now and then, so that matches are common.
        if (text.size() >= m && (rng() & 1) != 0) {
            const size_t at = rng() % (text.size() - m + 1);
            for (size_t k = 0; k < m; ++k) text[at + k] = pattern[k];
        }
        Expect(text, pattern, m);
        if (HasFatalFailure()) return;
    }
}

TEST(SearchDifferential, LongBlocksOfTheSizeTheConnectionsRead) {
    const std::vector<uint8_t> alphabet = Adversarial();
    std::mt19937 rng(14);
    std::vector<uint8_t> text(65536);
    for (int round = 0; round < 40; ++round) {
        for (uint8_t& b : text) b = alphabet[rng() % alphabet.size()];
        // Take out every accidental match, then plant one late (or none).
        for (size_t i = 0; i + 4 <= text.size(); ++i)
            if (Naive(text.data() + i, 4, kMagic, 4) == 0) text[i + 3] = 0x12;
        if (round % 4 != 0) {
            const size_t at = text.size() - 4 - rng() % 64;
            std::copy(kMagic, kMagic + 4, text.begin() + static_cast<long>(at));
        }
        Expect(text, kMagic, 4);
        if (HasFatalFailure()) return;
    }
    RecordProperty("cases", static_cast<int>(g_cases));
    std::printf("search cases compared: %zu\n", g_cases);
}

}  // namespace
