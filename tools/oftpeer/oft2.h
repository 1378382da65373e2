// The OFT2 header of an OSCAR direct file transfer as a client writes and reads it on
// the wire, and the OSCAR file checksum that the header carries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace oftpeer {

constexpr uint16_t kOft2Prompt = 0x0101;  // sender: here comes a file
constexpr uint16_t kOft2Ack = 0x0202;     // receiver: send it
constexpr uint16_t kOft2Done = 0x0204;    // receiver: got it all
constexpr size_t kOft2FixedSize = 192;    // everything before the name
constexpr size_t kOft2MinNameField = 64;  // the usual header of 256 bytes
constexpr size_t kOft2MaxHeader = 8192;   // more is no header a client would send
constexpr uint32_t kOscarChecksumStart = 0xFFFF0000u;

struct Oft2Header {
    uint16_t wHdrLen = 0;
    uint16_t wType = 0;
    std::array<uint8_t, 8> cookie{};
    uint16_t wEncrypt = 0;
    uint16_t wComp = 0;
    uint16_t wFilesTotal = 0;
    uint16_t wFilesLeft = 0;
    uint16_t wPartsTotal = 0;
    uint16_t wPartsLeft = 0;
    uint32_t dwTotalSize = 0;
    uint32_t dwSize = 0;
    uint32_t dwModTime = 0;
    uint32_t dwChecksum = 0;
    uint32_t dwRfrcSum = 0;
    uint32_t dwRfSize = 0;
    uint32_t dwCreTime = 0;
    uint32_t dwRfcSum = 0;
    uint32_t dwnRecvd = 0;
    uint32_t dwRecvCsum = 0;
    std::string idString;  // at most 32 bytes on the wire
    uint8_t bFlags = 0;
    uint8_t bNameOffset = 0;
    uint8_t bSizeOffset = 0;
    uint16_t wEncoding = 0;
    uint16_t wSubcode = 0;
    std::string name;  // the file name, without the padding zeros
};

// The header a sending client announces a file with: PROMPT, a name field of at least
// 64 bytes (longer names make a longer header), and the fields filled as clients do.
Oft2Header MakePrompt(const std::string& name, uint32_t size, uint32_t checksum,
                      uint32_t modTime, uint16_t filesTotal, uint16_t filesLeft,
                      uint32_t totalSize, const std::array<uint8_t, 8>& cookie);

// wHdrLen bytes (at least 192 + the name and its zero).
std::vector<uint8_t> SerializeOft2(const Oft2Header& header);
// Parses a whole header (wHdrLen bytes, starting with "OFT2"); false for anything else.
bool ParseOft2(const uint8_t* data, size_t length, Oft2Header* header);
// From the first 8 bytes of a header: is it one, and how long is it (0 if not).
size_t Oft2HeaderLength(const uint8_t* first8);

// The OSCAR file checksum, fed in any number of pieces.
class OscarChecksum {
public:
    void Update(const void* data, size_t length);
    uint32_t Value() const;

private:
    uint32_t m_sum = kOscarChecksumStart >> 16;
    bool m_odd = false;  // an odd number of bytes so far
};

uint32_t ComputeOscarChecksum(const void* data, size_t length);

}  // namespace oftpeer
