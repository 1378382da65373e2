// Boyer-Moore-Horspool search over byte buffers, with a translation table applied to
// the text bytes as they are compared: how the OFT2 magic is found in a block.
#pragma once

#include <cstdint>

namespace zykim {

// The OFT2 magic in its folded form; it matches "OFT2" in any mixture of letter case.
inline constexpr char kOft2Magic[] = "oft2";
inline constexpr int32_t kOft2MagicLength = static_cast<int32_t>(sizeof kOft2Magic - 1);

// Windows-1252 lower-case folding: entry b is what a text byte b is compared as.
extern const uint8_t kDefaultFoldingTable[256];

// Fills the 256-entry skip table for the pattern.
void BuildSkipTable(const uint8_t* pPattern, int32_t nPatternLen, int32_t anSkip[256]);

// The leftmost match of the pattern in the text, with each text byte translated first
// (nullptr: the default folding table); nullptr when there is none. The pattern itself
// is compared as given.
const uint8_t* SearchPattern(const uint8_t* pText, int32_t nTextLen, const uint8_t* pPattern,
                             int32_t nPatternLen, const int32_t anSkip[256],
                             const uint8_t* pTranslation);

// BuildSkipTable and SearchPattern in one, with the skip table on the stack.
const uint8_t* FindPattern(const uint8_t* pText, int32_t nTextLen, const uint8_t* pPattern,
                           int32_t nPatternLen, const uint8_t* pTranslation /*256 bytes or nullptr*/);

}  // namespace zykim
