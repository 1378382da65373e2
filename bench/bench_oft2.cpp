// Throughput of the OFT2 engine: the magic search over a block against memmem, a
// connection that passes everything, and a 64 MiB body held, checked and released.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "oft2/icq_oscar_file_trans.h"
#include "oft2/pattern_search.h"
#include "os/debug_output.h"
#include "os/held_file.h"
#include "plugin/trace.h"

namespace {

constexpr int32_t kBlock = 65536;

// Random bytes in which "oft2" occurs in no letter case.
std::vector<uint8_t> BlockWithoutMagic() {
    std::vector<uint8_t> b(kBlock);
    std::mt19937 rng(1);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if (zykim::FindPattern(b.data() + i, 4, reinterpret_cast<const uint8_t*>("oft2"), 4, nullptr))
            b[i] = 'x';
    return b;
}

void BM_FindPatternNoMatch(benchmark::State& state) {
    const auto block = BlockWithoutMagic();
    for (auto _ : state) {
        const uint8_t* hit = zykim::FindPattern(block.data(), kBlock, reinterpret_cast<const uint8_t*>("oft2"), 4,
                                                nullptr);
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_FindPatternNoMatch);

void BM_MemmemNoMatch(benchmark::State& state) {
    const auto block = BlockWithoutMagic();
    for (auto _ : state) {
        const void* hit = memmem(block.data(), block.size(), "oft2", 4);
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_MemmemNoMatch);

int32_t Discard(const uint8_t* data, int32_t size, void*) {
    benchmark::DoNotOptimize(data);
    return size > 0 ? 1 : 0;
}

void Release(const char*, const char*, int32_t, void*, int32_t* pnVerdict) { *pnVerdict = 0; }
void Replace(const char*, const char*, int32_t, void*, int32_t* pnVerdict) { *pnVerdict = 1; }

// A connection classified as carrying no file transfer: each block goes straight on.
void BM_PassThrough(benchmark::State& state) {
    const auto block = BlockWithoutMagic();
    zykim::CIcqOscarFileTrans trans;
    int user = 0;
    trans.bSetSendData2IcqClientCallback(&Discard, &user);
    trans.eDoOFT2Filetrans(block.data(), kBlock);
    trans.eDoOFT2Filetrans(block.data(), kBlock);
    for (auto _ : state) trans.eDoOFT2Filetrans(block.data(), kBlock);
    state.SetBytesProcessed(state.iterations() * kBlock);
}
BENCHMARK(BM_PassThrough);

// A trace call below the trace level (level 0 is the default); in the build with the
// trace compiled out this loop is empty.
void BM_TraceInfoBelowLevel(benchmark::State& state) {
    using zykim::TraceInfo;  // a macro in the build without trace calls
    zykim::SetTraceLevel(0);
    int n = 0;
    for (auto _ : state) {
        TraceInfo("[eDoOFT2Filetrans]: [%d]\n", n++);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TraceInfoBelowLevel);

// The two direct lines that the data pump writes for every block, when nobody listens
// (no sink, no observer): formatting them is the whole cost.
void BM_BlockDirectLinesNobodyListens(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        zykim::DirectLine("++++++++ [%d, %d] OnRequestFromServer recv %d\n", 7, 8, 65536 - (n & 1));
        zykim::DirectLine("++++++++ [%d, %d] OnRequestFromApplication sent %d\n", 7, 8, n++ & 1);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BlockDirectLinesNobodyListens);

// The same lines formatted for a reader that drops them: what they cost wherever the
// output cannot tell whether anyone listens (Windows).
void BM_BlockDirectLinesToAnObserver(benchmark::State& state) {
    zykim::os::SetDebugOutputObserver([](const char* text, void*) { benchmark::DoNotOptimize(text); }, nullptr);
    int n = 0;
    for (auto _ : state) {
        zykim::DirectLine("++++++++ [%d, %d] OnRequestFromServer recv %d\n", 7, 8, 65536 - (n & 1));
        zykim::DirectLine("++++++++ [%d, %d] OnRequestFromApplication sent %d\n", 7, 8, n++ & 1);
        benchmark::ClobberMemory();
    }
    zykim::os::SetDebugOutputObserver(nullptr, nullptr);
}
BENCHMARK(BM_BlockDirectLinesToAnObserver);

// The first two blocks of each connection are searched for the magic.
void BM_ClassifyTwoBlocks(benchmark::State& state) {
    const auto block = BlockWithoutMagic();
    zykim::CIcqOscarFileTrans trans;
    int user = 0;
    trans.bSetSendData2IcqClientCallback(&Discard, &user);
    for (auto _ : state) {
        trans.bReset();
        trans.eDoOFT2Filetrans(block.data(), kBlock);
        trans.eDoOFT2Filetrans(block.data(), kBlock);
    }
    state.SetBytesProcessed(state.iterations() * 2 * kBlock);
}
BENCHMARK(BM_ClassifyTwoBlocks);

std::vector<uint8_t> Header(uint32_t size) {
    std::vector<uint8_t> h(256, 0);
    std::memcpy(h.data(), "OFT2\x01\x00\x01\x01", 8);
    for (int i = 0; i < 4; ++i) h[32 + i] = static_cast<uint8_t>(size >> (24 - 8 * i));
    std::memcpy(h.data() + 192, "big.bin", 7);
    return h;
}

// One transfer of a 64 MiB body in 64 KiB blocks: held in the system's temporary
// directory, checked, and released read back (arg 0) or as zeros (arg 1).
void BM_Body64MiB(benchmark::State& state) {
    constexpr uint32_t kSize = 64u << 20;
    const auto header = Header(kSize);
    std::vector<uint8_t> block(kBlock, 0x5A);
    zykim::CIcqOscarFileTrans trans;
    int user = 0;
    trans.SetTempPath(zykim::os::GetTempDirectory().c_str());
    trans.bSetSendData2IcqClientCallback(&Discard, &user);
    trans.bSetCheckFileCallback(state.range(0) == 0 ? &Release : &Replace, nullptr);
    for (auto _ : state) {
        trans.eDoOFT2Filetrans(header.data(), static_cast<int32_t>(header.size()));
        for (uint32_t sent = 0; sent < kSize; sent += kBlock) trans.eDoOFT2Filetrans(block.data(), kBlock);
        if (trans.eState() != zykim::ofs_DoOFT2_Check) state.SkipWithError("the transfer did not complete");
    }
    state.SetBytesProcessed(state.iterations() * int64_t{kSize});
}
BENCHMARK(BM_Body64MiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
