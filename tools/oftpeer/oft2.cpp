// OFT2 headers on the wire (big-endian, fixed offsets) and the OSCAR file checksum.
#include "oft2.h"

#include <cstring>

namespace oftpeer {

namespace {

// Field offsets in the header.
constexpr size_t kOffHdrLen = 4, kOffType = 6, kOffCookie = 8, kOffEncrypt = 16, kOffComp = 18,
                 kOffFilesTotal = 20, kOffFilesLeft = 22, kOffPartsTotal = 24, kOffPartsLeft = 26,
                 kOffTotalSize = 28, kOffSize = 32, kOffModTime = 36, kOffChecksum = 40,
                 kOffRfrcSum = 44, kOffRfSize = 48, kOffCreTime = 52, kOffRfcSum = 56,
                 kOffnRecvd = 60, kOffRecvCsum = 64, kOffIdString = 68, kOffFlags = 100,
                 kOffNameOffset = 101, kOffSizeOffset = 102, kOffEncoding = 188,
                 kOffSubcode = 190, kOffName = 192;
constexpr size_t kIdStringSize = 32;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// The bytes of a zero-padded text field up to its first zero.
std::string TextField(const uint8_t* p, size_t size) {
    size_t n = 0;
    while (n < size && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

Oft2Header MakePrompt(const std::string& name, uint32_t size, uint32_t checksum,
                      uint32_t modTime, uint16_t filesTotal, uint16_t filesLeft,
                      uint32_t totalSize, const std::array<uint8_t, 8>& cookie) {
    Oft2Header h;
    const size_t nameField = name.size() + 1 > kOft2MinNameField ? name.size() + 1 : kOft2MinNameField;
    h.wHdrLen = static_cast<uint16_t>(kOft2FixedSize + nameField);
    h.wType = kOft2Prompt;
    h.cookie = cookie;
    h.wFilesTotal = filesTotal;
    h.wFilesLeft = filesLeft;
    h.wPartsTotal = 1;  // no resource fork: one part per file
    h.wPartsLeft = 1;
    h.dwTotalSize = totalSize;
    h.dwSize = size;
    h.dwModTime = modTime;
    h.dwChecksum = checksum;
    // Checksums of nothing (no resource fork, nothing received yet) start values.
    h.dwRfrcSum = kOscarChecksumStart;
    h.dwRfcSum = kOscarChecksumStart;
    h.dwRecvCsum = kOscarChecksumStart;
    h.idString = "Cool FileXfer";
    h.name = name;
    return h;
}

std::vector<uint8_t> SerializeOft2(const Oft2Header& header) {
    size_t length = header.wHdrLen;
    if (length < kOft2FixedSize + header.name.size() + 1) length = kOft2FixedSize + header.name.size() + 1;
    std::vector<uint8_t> b(length, 0);
    std::memcpy(b.data(), "OFT2", 4);
    Put16(b, kOffHdrLen, static_cast<uint16_t>(length));
    Put16(b, kOffType, header.wType);
    std::memcpy(b.data() + kOffCookie, header.cookie.data(), 8);
    Put16(b, kOffEncrypt, header.wEncrypt);
    Put16(b, kOffComp, header.wComp);
    Put16(b, kOffFilesTotal, header.wFilesTotal);
    Put16(b, kOffFilesLeft, header.wFilesLeft);
    Put16(b, kOffPartsTotal, header.wPartsTotal);
    Put16(b, kOffPartsLeft, header.wPartsLeft);
    Put32(b, kOffTotalSize, header.dwTotalSize);
    Put32(b, kOffSize, header.dwSize);
    Put32(b, kOffModTime, header.dwModTime);
    Put32(b, kOffChecksum, header.dwChecksum);
    Put32(b, kOffRfrcSum, header.dwRfrcSum);
    Put32(b, kOffRfSize, header.dwRfSize);
    Put32(b, kOffCreTime, header.dwCreTime);
    Put32(b, kOffRfcSum, header.dwRfcSum);
    Put32(b, kOffnRecvd, header.dwnRecvd);
    Put32(b, kOffRecvCsum, header.dwRecvCsum);
    std::memcpy(b.data() + kOffIdString, header.idString.data(),
                header.idString.size() < kIdStringSize ? header.idString.size() : kIdStringSize);
    b[kOffFlags] = header.bFlags;
    b[kOffNameOffset] = header.bNameOffset;
    b[kOffSizeOffset] = header.bSizeOffset;
    Put16(b, kOffEncoding, header.wEncoding);
    Put16(b, kOffSubcode, header.wSubcode);
    std::memcpy(b.data() + kOffName, header.name.data(), header.name.size());
    return b;
}

size_t Oft2HeaderLength(const uint8_t* first8) {
    if (std::memcmp(first8, "OFT2", 4) != 0) return 0;
    const size_t length = Get16(first8 + kOffHdrLen);
    return length > kOft2FixedSize && length <= kOft2MaxHeader ? length : 0;
}

bool ParseOft2(const uint8_t* data, size_t length, Oft2Header* header) {
    if (length < 8 || Oft2HeaderLength(data) != length) return false;
    Oft2Header& h = *header;
    h.wHdrLen = Get16(data + kOffHdrLen);
    h.wType = Get16(data + kOffType);
    std::memcpy(h.cookie.data(), data + kOffCookie, 8);
    h.wEncrypt = Get16(data + kOffEncrypt);
    h.wComp = Get16(data + kOffComp);
    h.wFilesTotal = Get16(data + kOffFilesTotal);
    h.wFilesLeft = Get16(data + kOffFilesLeft);
    h.wPartsTotal = Get16(data + kOffPartsTotal);
    h.wPartsLeft = Get16(data + kOffPartsLeft);
    h.dwTotalSize = Get32(data + kOffTotalSize);
    h.dwSize = Get32(data + kOffSize);
    h.dwModTime = Get32(data + kOffModTime);
    h.dwChecksum = Get32(data + kOffChecksum);
    h.dwRfrcSum = Get32(data + kOffRfrcSum);
    h.dwRfSize = Get32(data + kOffRfSize);
    h.dwCreTime = Get32(data + kOffCreTime);
    h.dwRfcSum = Get32(data + kOffRfcSum);
    h.dwnRecvd = Get32(data + kOffnRecvd);
    h.dwRecvCsum = Get32(data + kOffRecvCsum);
    h.idString = TextField(data + kOffIdString, kIdStringSize);
    h.bFlags = data[kOffFlags];
    h.bNameOffset = data[kOffNameOffset];
    h.bSizeOffset = data[kOffSizeOffset];
    h.wEncoding = Get16(data + kOffEncoding);
    h.wSubcode = Get16(data + kOffSubcode);
    h.name = TextField(data + kOffName, length - kOffName);
    return true;
}

// The sum runs over 16-bit words whose first byte is the high one, subtracting each and
// taking the borrow back in (a one's complement sum, downwards), then folds to 16 bits.
void OscarChecksum::Update(const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t sum = m_sum;
    bool odd = m_odd;
    for (size_t i = 0; i < length; ++i) {
        const uint32_t before = sum;
        sum -= odd ? p[i] : uint32_t(p[i]) << 8;
        if (sum > before) --sum;
        odd = !odd;
    }
    m_sum = sum;
    m_odd = odd;
}

uint32_t OscarChecksum::Value() const {
    uint32_t sum = m_sum;
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return sum << 16;
}

uint32_t ComputeOscarChecksum(const void* data, size_t length) {
    OscarChecksum c;
    c.Update(data, length);
    return c.Value();
}

}  // namespace oftpeer
