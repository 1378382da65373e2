// Builds OFT2 headers and streams for the tests and the fuzzer: the OSCAR layout of a
// prompt header (192 fixed bytes, big-endian numbers, then the name field).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zykim::test {

struct Oft2HeaderFields {
    std::string name = "file.bin";
    uint32_t dwSize = 0;
    // 0: 256 when the name fits the 64-byte field, else 192 + the name's length.
    uint32_t wHdrLen = 0;
    uint16_t wType = 0x0101;  // prompt
    const char* magic = "OFT2";
};

inline void PutBig16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

inline void PutBig32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The header bytes as they travel: exactly wHdrLen bytes (at least the fixed 192).
inline std::vector<uint8_t> MakeOft2Header(const Oft2HeaderFields& f) {
    uint32_t len = f.wHdrLen;
    if (len == 0) len = f.name.size() <= 64 ? 256 : static_cast<uint32_t>(192 + f.name.size());
    std::vector<uint8_t> h(len < 192 ? 192 : (len & 0xFFFF), 0);
    std::memcpy(h.data(), f.magic, 4);
    PutBig16(h, 4, len);
    PutBig16(h, 6, f.wType);
    PutBig32(h, 8, 0x37313734);   // cookie
    PutBig32(h, 12, 0x36343700);
    PutBig16(h, 20, 1);           // files total, files left, parts total, parts left
    PutBig16(h, 22, 1);
    PutBig16(h, 24, 1);
    PutBig16(h, 26, 1);
    PutBig32(h, 28, f.dwSize);    // total size
    PutBig32(h, 32, f.dwSize);
    PutBig32(h, 40, 0xB1640000);  // checksum
    PutBig32(h, 44, 0xFFFF0000);
    PutBig32(h, 56, 0xFFFF0000);
    PutBig32(h, 64, 0xFFFF0000);
    std::memcpy(h.data() + 68, "Cool FileXfer", 13);
    if (h.size() > 192)
        std::memcpy(h.data() + 192, f.name.data(), std::min(f.name.size(), h.size() - 192));
    return h;
}

// A body of n bytes that never begins with the magic and differs from its neighbours.
inline std::vector<uint8_t> MakeBody(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> b(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    if (n > 0) b[0] = 0x50;  // 'P', as a ZIP file starts
    return b;
}

// A frame of the messengers' rendezvous proxy: u16 length of the rest, u16 version, u16
// command, u32 0, u16 flags, payload. The length is the payload's unless one is given.
inline std::vector<uint8_t> MakeRvProxyFrame(uint16_t command, const std::vector<uint8_t>& payload = {},
                                             int length = -1, uint16_t version = 0x044a) {
    std::vector<uint8_t> f(12, 0);
    PutBig16(f, 0, length >= 0 ? static_cast<uint32_t>(length) : static_cast<uint32_t>(10 + payload.size()));
    PutBig16(f, 2, version);
    PutBig16(f, 4, command);
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}
// What a proxy sends: created (the pin and its IPv4 address), ready, error (its code).
inline std::vector<uint8_t> RvCreated(uint16_t pin = 0x1234) {
    return MakeRvProxyFrame(0x0003, {static_cast<uint8_t>(pin >> 8), static_cast<uint8_t>(pin), 192, 0, 2, 7});
}
inline std::vector<uint8_t> RvReady() { return MakeRvProxyFrame(0x0005); }
inline std::vector<uint8_t> RvError(uint16_t code = 0x001a) {
    return MakeRvProxyFrame(0x0001, {static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)});
}

inline void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& what) {
    to.insert(to.end(), what.begin(), what.end());
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
inline std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// The header of a one-file transfer of `size` body bytes with the given name, as text.
inline std::string Oft2Header(const std::string& name, size_t size) {
    Oft2HeaderFields f;
    f.name = name;
    f.dwSize = static_cast<uint32_t>(size);
    return Str(MakeOft2Header(f));
}

}  // namespace zykim::test
