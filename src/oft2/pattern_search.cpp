// The pattern search: skip table, scan, and the default folding table.
#include "oft2/pattern_search.h"

#include <cstring>

namespace zykim {

// Identity except A-Z, the Latin-1 capitals 0xC0-0xDE (not 0xD7) and the four
// Windows-1252 capitals 0x8A, 0x8C, 0x8E and 0x9F, which map to their small forms.
const uint8_t kDefaultFoldingTable[256] = {
    0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,  // 00
    0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F,  // 10
    0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F,  // 20
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F,  // 30
    0x40, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,  // 40
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,  // 50
    0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F,  // 60
    0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x7B, 0x7C, 0x7D, 0x7E, 0x7F,  // 70
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x9A, 0x8B, 0x9C, 0x8D, 0x9E, 0x8F,  // 80
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0x9B, 0x9C, 0x9D, 0x9E, 0xFF,  // 90
    0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF,  // A0
    0xB0, 0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xBB, 0xBC, 0xBD, 0xBE, 0xBF,  // B0
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,  // C0
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xD7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xDF,  // D0
    0xE0, 0xE1, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xEC, 0xED, 0xEE, 0xEF,  // E0
    0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC, 0xFD, 0xFE, 0xFF,  // F0
};

void BuildSkipTable(const uint8_t* pPattern, int32_t nPatternLen, int32_t anSkip[256]) {
    if (anSkip == nullptr) return;
    for (int i = 0; i < 256; ++i) anSkip[i] = nPatternLen;
    if (pPattern == nullptr) return;
    // The rightmost occurrence before the last byte wins; the last byte keeps n.
    for (int32_t i = 0; i < nPatternLen - 1; ++i) anSkip[pPattern[i]] = nPatternLen - 1 - i;
}

namespace {

// The skip for each raw text byte with the translation applied, so that a step costs one
// look-up; 0 marks the bytes that compare as the pattern's last byte, where a window
// is compared in full.
struct StepTable {
    uint32_t anStep[256];
    uint32_t nOnMatch;  // the skip after a window that ends on the last byte but differs
    uint32_t nLongest;  // the largest skip of the two above
};

void BuildStepTable(const int32_t anSkip[256], const uint8_t* fold, uint8_t last, StepTable* out) {
    // A skip below 1 would never move on; it is taken as 1.
    auto positive = [](int32_t skip) { return skip > 0 ? static_cast<uint32_t>(skip) : 1u; };
    out->nOnMatch = positive(anSkip[last]);
    out->nLongest = out->nOnMatch;
    for (int b = 0; b < 256; ++b) {
        out->anStep[b] = fold[b] == last ? 0 : positive(anSkip[fold[b]]);
        if (out->anStep[b] > out->nLongest) out->nLongest = out->anStep[b];
    }
}

// The search every block meets: the OFT2 magic under the default folding, with its
// tables prepared once.
const StepTable& MagicStepTable() {
    static const StepTable table = [] {
        const auto* pMagic = reinterpret_cast<const uint8_t*>(kOft2Magic);
        int32_t anSkip[256];
        BuildSkipTable(pMagic, kOft2MagicLength, anSkip);
        StepTable t{};
        BuildStepTable(anSkip, kDefaultFoldingTable, pMagic[kOft2MagicLength - 1], &t);
        return t;
    }();
    return table;
}

struct Search {
    const uint8_t* pText;
    const uint8_t* pPattern;
    const uint8_t* fold;
    const StepTable* steps;
    uint32_t m;  // pattern length - 1

    // Whether the window that ends at p, whose last byte already agrees, agrees in full.
    bool WindowMatches(uint32_t p) const {
        uint32_t i = m;
        while (i > 0 && fold[pText[p - m + i - 1]] == pPattern[i - 1]) --i;
        return i == 0;
    }

    // The plain scan over the window ends [p, end): the leftmost match, or nullptr.
    const uint8_t* Scan(uint32_t p, uint32_t end) const {
        const uint32_t* anStep = steps->anStep;
        while (p < end) {
            const uint32_t step = anStep[pText[p]];
            if (step != 0) {
                p += step;
                continue;
            }
            if (WindowMatches(p)) return pText + (p - m);
            p += steps->nOnMatch;
        }
        return nullptr;
    }

    // Up to `rounds` steps of four scans at once, in registers; stops before a step when
    // one of the scans stands on a window that ends on the last byte. Returns the
    // rounds left.
    [[gnu::noinline]] uint32_t StepFour(uint32_t p[4], uint32_t rounds) const {
        const uint32_t* anStep = steps->anStep;
        uint32_t p0 = p[0], p1 = p[1], p2 = p[2], p3 = p[3];
        for (; rounds > 0; --rounds) {
            const uint32_t s0 = anStep[pText[p0]], s1 = anStep[pText[p1]];
            const uint32_t s2 = anStep[pText[p2]], s3 = anStep[pText[p3]];
            // Skips are far below 2^31: the top bit is set only when one of them is 0.
            if (((s0 - 1) | (s1 - 1) | (s2 - 1) | (s3 - 1)) >> 31) break;
            p0 += s0;
            p1 += s1;
            p2 += s2;
            p3 += s3;
        }
        p[0] = p0, p[1] = p1, p[2] = p2, p[3] = p3;
        return rounds;
    }

    // The same scan over four quarters of the window ends at once. Each step of one
    // scan waits for two loads in a row; four independent scans keep the processor
    // busy meanwhile. Every quarter is searched exactly as the plain scan would search
    // it, and the first quarter with a match holds the leftmost one.
    const uint8_t* ScanInQuarters(uint32_t begin, uint32_t end) const {
        constexpr int kWays = 4;
        uint32_t p[kWays], stop[kWays];
        const uint32_t quarter = (end - begin) / kWays;
        for (int k = 0; k < kWays; ++k) {
            p[k] = begin + static_cast<uint32_t>(k) * quarter;
            stop[k] = k + 1 < kWays ? p[k] + quarter : end;
        }
        int found = -1;  // the quarter whose scan stopped on a match at p[found]
        while (found < 0) {
            // Rounds that take no scan past its stop (a step is at most nLongest), so
            // that the steps need no bounds test.
            uint32_t gap = stop[0] - p[0];
            for (int k = 1; k < kWays; ++k) gap = stop[k] - p[k] < gap ? stop[k] - p[k] : gap;
            uint32_t rounds = (gap - 1) / steps->nLongest;
            if (rounds == 0) break;
            while (found < 0 && (rounds = StepFour(p, rounds)) > 0) {
                // One round by hand: compare in full where a window ends on the last byte.
                --rounds;
                for (int k = 0; k < kWays && found < 0; ++k) {
                    const uint32_t step = steps->anStep[pText[p[k]]];
                    if (step != 0) {
                        p[k] += step;
                    } else if (WindowMatches(p[k])) {
                        if (k == 0) return pText + (p[0] - m);
                        found = k;
                    } else {
                        p[k] += steps->nOnMatch;
                    }
                }
            }
        }
        // Finish the quarters in order, up to the one that found a match.
        const int last = found >= 0 ? found : kWays;
        for (int k = 0; k < last; ++k)
            if (const uint8_t* hit = Scan(p[k], stop[k])) return hit;
        return found >= 0 ? pText + (p[found] - m) : nullptr;
    }

    const uint8_t* Run(uint32_t nTextLen) const {
        // Window ends run from m to the end of the text; short texts are not worth
        // splitting.
        constexpr uint32_t kSplitFrom = 256;
        if (nTextLen - m < kSplitFrom) return Scan(m, nTextLen);
        return ScanInQuarters(m, nTextLen);
    }
};

}  // namespace

namespace {
// A table from BuildSkipTable never skips a match, so the window ends may be searched
// in parts; a caller's own table is followed step by step, as given.
const uint8_t* SearchWithTable(const uint8_t* pText, int32_t nTextLen, const uint8_t* pPattern,
                               int32_t nPatternLen, const int32_t anSkip[256],
                               const uint8_t* pTranslation, bool bMaySplit) {
    if (pText == nullptr || pPattern == nullptr || anSkip == nullptr) return nullptr;
    if (nPatternLen <= 0 || nTextLen < nPatternLen) return nullptr;
    const uint8_t* fold = pTranslation != nullptr ? pTranslation : kDefaultFoldingTable;
    const uint32_t m = static_cast<uint32_t>(nPatternLen) - 1;
    StepTable steps;
    BuildStepTable(anSkip, fold, pPattern[m], &steps);
    const Search search{pText, pPattern, fold, &steps, m};
    const auto n = static_cast<uint32_t>(nTextLen);
    return bMaySplit ? search.Run(n) : search.Scan(m, n);
}
}  // namespace

const uint8_t* SearchPattern(const uint8_t* pText, int32_t nTextLen, const uint8_t* pPattern,
                             int32_t nPatternLen, const int32_t anSkip[256],
                             const uint8_t* pTranslation) {
    return SearchWithTable(pText, nTextLen, pPattern, nPatternLen, anSkip, pTranslation, false);
}

const uint8_t* FindPattern(const uint8_t* pText, int32_t nTextLen, const uint8_t* pPattern,
                           int32_t nPatternLen, const uint8_t* pTranslation) {
    const bool bMagic = nPatternLen == kOft2MagicLength && pPattern != nullptr &&
                        std::memcmp(pPattern, kOft2Magic, kOft2MagicLength) == 0 &&
                        (pTranslation == nullptr || pTranslation == kDefaultFoldingTable);
    if (bMagic) {
        if (pText == nullptr || nTextLen < nPatternLen) return nullptr;
        return Search{pText, pPattern, kDefaultFoldingTable, &MagicStepTable(),
                      static_cast<uint32_t>(nPatternLen) - 1}
            .Run(static_cast<uint32_t>(nTextLen));
    }
    int32_t anSkip[256];
    BuildSkipTable(pPattern, nPatternLen, anSkip);
    return SearchWithTable(pText, nTextLen, pPattern, nPatternLen, anSkip, pTranslation, true);
}

}  // namespace zykim
