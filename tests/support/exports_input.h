// The input format of the exports fuzzer, decoded once for every program that replays it
// (the fuzzer, and the differential replay that runs the same inputs through the built
// library natively and under Wine). See fuzz/fuzz_exports.cpp for what each action means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zykim::test {

// Byte 0 of an input.
struct ExportsInputFlags {
    bool bHostSocket = false;    // bit 0: the host's socket interface carries the bytes
    bool bNoCallback = false;    // bit 1: no scan callback registered
    bool bReadFaults = false;    // bit 3: the verdicts' cuts are read-back faults
    int64_t nFileCapacity = -1;  // bits 4-7, d: held files take (d - 1) * 4099 bytes
};

inline ExportsInputFlags ExportsFlags(uint8_t b) {
    ExportsInputFlags f;
    f.bHostSocket = (b & 1) != 0;
    f.bNoCallback = (b & 2) != 0;
    f.bReadFaults = (b & 8) != 0;
    if ((b >> 4) != 0) f.nFileCapacity = ((b >> 4) - 1) * 4099;
    return f;
}

// A verdict operand: the verdict, and what the scanner does to the held file.
struct ExportsVerdict {
    int32_t nVerdict = 0;
    bool bRemove = false;  // the scanner removes the held file
    int64_t nCut = -1;     // -1, or the offset at which the file is cut (or its read fails)
};

// The counts that action 9 hands to SetParallelChecks, by the action's high four bits:
// in range, at its ends and beyond them.
constexpr int32_t kExportsParallelCounts[16] = {1, 2, 4, 3, 0, -1, 64, 256,
                                                257, INT32_MIN, INT32_MAX, 8, 1, 4, 16, 2};

// Decodes the actions after byte 0 and calls the handler's member for each, in order:
// Start(index, x, replace), ServerData(index, bytes, n), ClientData(index, n),
// End(index), Verdict(ExportsVerdict), Fault(index, f), EmptyCall(index),
// ParallelChecks(count); after each action AfterAction(index), which returns false to
// stop.
template <typename Handler>
void DecodeExportsInput(const uint8_t* data, size_t size, Handler& h) {
    std::vector<uint8_t> generated;
    size_t at = 1;
    while (at < size) {
        const uint8_t a = data[at++];
        const int index = (a >> 4) & 3;
        auto operand = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
        switch (a & 15) {
            case 0: h.Start(index, operand(), false); break;
            case 1: {
                const size_t hi = operand(), lo = operand();
                size_t n = ((hi << 8) | lo) + 1;
                if (n > size - at) n = size - at;
                if (n > 0) h.ServerData(index, data + at, n);
                at += n;
                break;
            }
            case 2: {
                const size_t hi = operand(), lo = operand();
                const uint32_t seed = operand();
                generated.resize(((hi << 8) | lo) + 1);
                uint32_t x = seed * 2654435761u + 1;
                for (uint8_t& b : generated) b = static_cast<uint8_t>((x = x * 1103515245u + 12345) >> 16);
                h.ServerData(index, generated.data(), generated.size());
                break;
            }
            case 3: h.ClientData(index, operand() + 1u); break;
            case 4: h.End(index); break;
            case 5: h.Start(index, operand(), true); break;
            case 6: {
                static const int32_t kVerdicts[4] = {-1, 0, 1, 5};
                const uint8_t v = operand();
                ExportsVerdict verdict;
                verdict.nVerdict = kVerdicts[v & 3];
                if (v & 4) {
                    verdict.bRemove = (v >> 3) == 31;
                    verdict.nCut = verdict.bRemove ? 0 : (v >> 3) * 131;
                }
                h.Verdict(verdict);
                break;
            }
            case 7: h.Fault(index, operand()); break;
            case 8: h.EmptyCall(index); break;
            case 9: h.ParallelChecks(kExportsParallelCounts[a >> 4]); break;
            default: break;
        }
        if (!h.AfterAction(index)) return;
    }
}

}  // namespace zykim::test
