// Fuzzes the transfer object with chosen stream bytes, block splits, resets and check
// outcomes, against the stream oracle and the object's invariants.
//
// Held files are kept in memory (the fuzz builds' held-file backend), so an input costs
// no file system calls, and the file work can fail where the input says.
//
// Input: byte 0 holds flags (bit 0: no check-file callback; bit 1: no held file can be
// created; bit 2: no name buffer can be allocated; bit 3: the plans' cuts are read-back
// faults instead: the file stays whole and reading it back fails at that offset; bits
// 4-7, d: when not 0, a held file takes at most (d - 1) * 4099 bytes, as on a full disk);
// byte 1 the number of check plans (low 3 bits), followed by one byte per plan (bits 0-1:
// verdict -1, 0, 1 or 5; bit 2: the scanner cuts the held file to (byte >> 3) * 131
// bytes, or removes it when byte >> 3 is 31). Then records to the end:
// 0xFF a call without data, 0xFE a reset, 0xFD k followed by a block record: that block
// with its (k & 15)-th send to the client throwing after the bytes went out, any other
// byte t with the next byte u a block of ((t << 8) | u) + 1 bytes (fewer at the end of
// the input).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plugin/trace.h"
#include "support/oft2_stream_check.h"

namespace {

// The folder of the held files: only a name, since they are kept in memory.
const std::string g_dir = "/zykim-fuzz";

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "oft2 stream check failed: %s\n", what.c_str());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every trace line is formatted (there is no sink), so their arguments are exercised.
    const char* level = std::getenv("ZYKIM_FUZZ_TRACE_LEVEL");
    zykim::SetTraceLevel(level != nullptr ? std::atoi(level) : 4);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    zykim::test::Oft2OracleOptions options;
    options.bCheckCallback = (data[0] & 1) == 0;
    options.bHoldFails = (data[0] & 2) != 0;
    options.bNameAllocFails = (data[0] & 4) != 0;
    const bool bReadFaults = (data[0] & 8) != 0;
    if ((data[0] >> 4) != 0) options.nFileCapacity = ((data[0] >> 4) - 1) * 4099;
    size_t at = 1;
    const size_t plans = data[at++] & 7;
    for (size_t i = 0; i < plans && at < size; ++i, ++at) {
        static const int32_t kVerdicts[4] = {-1, 0, 1, 5};
        zykim::test::Oft2CheckPlan plan;
        plan.nVerdict = kVerdicts[data[at] & 3];
        const int cut = data[at] >> 3;
        if ((data[at] & 4) != 0 && cut == 31)
            plan.bRemove = true;
        else if ((data[at] & 4) != 0)
            (bReadFaults ? plan.nReadFailsAfter : plan.nTruncateTo) = cut * 131;
        options.plans.push_back(plan);
    }

    zykim::test::Oft2StreamCheck check(g_dir, options);
    std::string error;
    while (at < size && error.empty()) {
        uint8_t tag = data[at++];
        if (tag == 0xFF) {
            error = check.EmptyCall();
        } else if (tag == 0xFE) {
            error = check.Reset();
        } else {
            long throwAt = -1;
            if (tag == 0xFD) {
                if (at + 1 >= size) break;
                throwAt = data[at++] & 15;
                tag = data[at++];
                if (tag >= 0xFD) continue;
            }
            if (at >= size) break;
            size_t n = ((size_t{tag} << 8) | data[at++]) + 1;
            if (n > size - at) n = size - at;
            if (n == 0) break;
            error = throwAt < 0 ? check.Block(data + at, n) : check.ThrowingBlock(data + at, n, static_cast<size_t>(throwAt));
            at += n;
        }
    }
    if (error.empty()) error = check.Reset();
    if (error.empty()) error = check.End();
    if (!error.empty()) Fail(error);
    return 0;
}
