// Parsing of the level text, shared by both backends (tests use it on Windows too).
#include "os/settings.h"

#include <cstdint>

namespace zykim::os {

int32_t ParseDebugLevel(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    uint32_t base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
        if (*text == '\0') return 0;
    }
    uint64_t value = 0;
    for (; *text != '\0'; ++text) {
        uint32_t digit;
        const char c = *text;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else return 0;
        value = value * base + digit;
        if (value > 0xFFFFFFFFu) return 0;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace zykim::os
