// find_pattern_rate: the magic search over 64 KiB blocks without a match, in GB/s,
// beside simpler searches on the same data. No dependencies, so that the Win32 build
// can be timed under Wine as well as the native one.
//
//   find_pattern_rate [runs] [seconds-per-run]
// prints one line per search: "NAME median MIN max MAX" (GB/s, 10^9 bytes a second).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "oft2/pattern_search.h"

namespace {

constexpr int32_t kBlock = 65536;
const auto* const kMagic = reinterpret_cast<const uint8_t*>("oft2");

// Random bytes in which "oft2" occurs in no letter case (the same block as bench_oft2).
std::vector<uint8_t> BlockWithoutMagic() {
    std::vector<uint8_t> b(kBlock);
    std::mt19937 rng(1);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (zykim::FindPattern(b.data() + i, 4, kMagic, 4, nullptr)) b[i] = 'x';
    return b;
}

volatile uintptr_t g_sink;  // keeps the results alive

struct Search {
    std::string name;
    std::function<const void*(const uint8_t*)> run;
    std::vector<double> rates = {};
};

double TimeOneRun(const Search& s, const uint8_t* block, double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int64_t bytes = 0;
    double elapsed = 0;
    do {
        for (int i = 0; i < 64; ++i) g_sink = reinterpret_cast<uintptr_t>(s.run(block));
        bytes += 64 * int64_t{kBlock};
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < seconds);
    return static_cast<double>(bytes) / elapsed / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    const double seconds = argc > 2 ? std::max(0.01, std::atof(argv[2])) : 0.2;
    const std::vector<uint8_t> block = BlockWithoutMagic();

    int32_t skip[256];
    zykim::BuildSkipTable(kMagic, 4, skip);
    const std::boyer_moore_horspool_searcher<const uint8_t*> exact(kMagic, kMagic + 4);
    std::vector<Search> searches;
    searches.push_back({"FindPattern", [](const uint8_t* t) -> const void* {
                            return zykim::FindPattern(t, kBlock, kMagic, 4, nullptr);
                        }});
    // A caller's own skip table is followed step by step: the search as one scan.
    searches.push_back({"SearchPattern_one_scan", [&skip](const uint8_t* t) -> const void* {
                            return zykim::SearchPattern(t, kBlock, kMagic, 4, skip, nullptr);
                        }});
    searches.push_back({"std_horspool_exact", [&exact](const uint8_t* t) -> const void* {
                            const auto r = std::search(t, t + kBlock, exact);
                            return r == t + kBlock ? nullptr : r;
                        }});
#if !defined(_WIN32)
    searches.push_back({"memmem", [](const uint8_t* t) -> const void* { return memmem(t, kBlock, "oft2", 4); }});
#endif
    for (const auto& s : searches)
        if (s.run(block.data()) != nullptr) {
            std::fprintf(stderr, "find_pattern_rate: %s found a match in the block\n", s.name.c_str());
            return 1;
        }
    // Interleaved, so that a noisy moment hits every search alike.
    for (int r = 0; r < runs; ++r)
        for (auto& s : searches) s.rates.push_back(TimeOneRun(s, block.data(), seconds));
    for (auto& s : searches) {
        std::sort(s.rates.begin(), s.rates.end());
        std::printf("%s median %.3f min %.3f max %.3f\n", s.name.c_str(), s.rates[s.rates.size() / 2],
                    s.rates.front(), s.rates.back());
    }
    return 0;
}
