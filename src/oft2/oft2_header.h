// The OFT2 file-transfer header: its 192-byte fixed part at the wire offsets, the name
// that follows, and the conversion of its numbers from network byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zykim {

inline constexpr int32_t kOft2FixedHeaderSize = 192;
// A header of this length carries a 64-byte name; a longer one has a long file name.
inline constexpr int32_t kOft2StandardHeaderLength = 256;

// The fixed part keeps the wire layout: numbers are converted in place, the magic and
// the opaque block are left as received. m_pszFileName points at the zero-terminated
// name of the current transfer (owned by the transfer object), or is null.
struct OFT2_HEADER {
    uint8_t abMagic[4];      // "OFT2"
    uint16_t wHdrLen;        // fixed part plus name
    uint16_t wType;
    uint32_t dwCookieLow;
    uint32_t dwCookieHi;
    uint16_t wEncrypt;
    uint16_t wComp;
    uint16_t wFilesTotal;
    uint16_t wFilesLft;
    uint16_t wPrtsTotal;
    uint16_t wPrtsLft;
    uint32_t dwTotalSize;
    uint32_t dwSize;         // body bytes after the header, unsigned on the wire
    uint32_t dwModTime;
    uint32_t dwChecksum;
    uint32_t dwRfrcSum;
    uint32_t dwRfSize;
    uint32_t dwCreTime;
    uint32_t dwRfcSum;
    uint32_t dwnRecvd;
    uint32_t dwRecvCsum;
    uint8_t abOpaque[120];   // id string, flags, Mac file information: passed on untouched
    uint16_t wEncoding;
    uint16_t wSubcode;
    char* m_pszFileName;
};

static_assert(offsetof(OFT2_HEADER, wHdrLen) == 4, "wire offset");
static_assert(offsetof(OFT2_HEADER, wPrtsTotal) == 24, "wire offset");
static_assert(offsetof(OFT2_HEADER, dwSize) == 32, "wire offset");
static_assert(offsetof(OFT2_HEADER, dwRecvCsum) == 64, "wire offset");
static_assert(offsetof(OFT2_HEADER, abOpaque) == 68, "wire offset");
static_assert(offsetof(OFT2_HEADER, wEncoding) == 188, "wire offset");
static_assert(offsetof(OFT2_HEADER, wSubcode) == 190, "wire offset");
static_assert(offsetof(OFT2_HEADER, m_pszFileName) == kOft2FixedHeaderSize,
              "the fixed part is exactly the 192 wire bytes");

// Converts every number of the fixed part from network to host byte order, tracing
// each one. False for a null record, which is left alone.
bool bConvertOFT2Header(OFT2_HEADER* psOFT2_HEADER);

}  // namespace zykim
