// How calls of the host's scan callback are let in: one at a time under the callback
// lock (the default), or, once the host has asked for parallel checks, up to its count
// of checks at once through the callback gate.
#pragma once

#include "zykim/zykim.h"

namespace zykim {

// Held around one call of the host's scan callback and the work that belongs to it.
// With one check at a time it holds the callback lock, for checks and progress reports
// alike. With parallel checks it holds a shared entry of the callback gate: a check
// (kind 1) one of the counted slots, waiting for one when all are taken; a progress
// report an uncounted entry, which never waits for a slot. Either way no call starts
// while RegisterCallback or SetParallelChecks is at work, and those wait for every call
// under way.
class ScanCallGuard {
public:
    enum Kind { kCheck, kProgress };
    explicit ScanCallGuard(Kind kind);
    ~ScanCallGuard();
    ScanCallGuard(const ScanCallGuard&) = delete;
    ScanCallGuard& operator=(const ScanCallGuard&) = delete;

private:
    bool EnterCallbackGate();

    bool m_bCounted;
    bool m_bParallel = false;
};

// RegisterCallback's work: replaces the callback once no call of the old one is under
// way. Returns what releasing the callback lock returns.
int ReplaceScanCallback(ZykScanCallback callback);
// SetParallelChecks' work: the count, brought into 1..ZYKIM_MAX_PARALLEL_CHECKS (1 when
// there is no gate), takes effect once no call of the callback is under way. Returns the
// count now in effect.
int SetParallelCheckCount(int count);

}  // namespace zykim
