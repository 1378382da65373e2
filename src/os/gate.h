// A counted shared/exclusive gate: any number of shared entries at once, of which at
// most `capacity` counted ones, or one exclusive entry alone. Its waits keep the calling
// thread's window messages flowing, like the lock wait.
#pragma once

namespace zykim::os {

struct GateHandleTag;
// An opaque gate handle; null when the gate could not be created.
using GateHandle = GateHandleTag*;

// Creates a gate with room for one counted entry; null on failure.
GateHandle CreateGateHandle();
// Closes the handle; nothing for null. No entry may be held.
void DestroyGateHandle(GateHandle handle);

// Waits until the gate admits a shared entry: no exclusive entry is held or waited for,
// and, for a counted entry, fewer counted entries than the capacity are held. Returns 1
// once entered, 0 for a null handle. There is no time-out.
int EnterGateShared(GateHandle handle, bool bCounted);
void LeaveGateShared(GateHandle handle, bool bCounted);
// Waits until no entry of any kind is held, then holds the gate alone. From the moment
// it starts to wait, no new shared entry is admitted, so a stream of shared entries
// cannot starve it. Returns 1 once entered, 0 for a null handle.
int EnterGateExclusive(GateHandle handle);
void LeaveGateExclusive(GateHandle handle);
// How many counted entries may be held at once (values below 1 count as 1). Counted
// entries held already stay; waiting ones are admitted by the new capacity.
void SetGateCapacity(GateHandle handle, int nCapacity);

}  // namespace zykim::os
