// SHA-256, for the receiver's report of what arrived.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace oftpeer {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t length);
    // The digest of everything given so far; the object is spent afterwards.
    std::array<uint8_t, 32> Final();
    // Final() as 64 lower-case hexadecimal digits.
    std::string FinalHex();

private:
    void Block(const uint8_t* block);

    uint32_t m_state[8];
    uint8_t m_buffer[64];
    size_t m_buffered = 0;
    uint64_t m_length = 0;  // bytes
};

std::string Sha256Hex(const void* data, size_t length);

}  // namespace oftpeer
