// MD5 of a byte buffer, as hex text: to compare a held file with a known digest.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zykim::test {

std::string Md5Hex(const std::vector<uint8_t>& data);

}  // namespace zykim::test
