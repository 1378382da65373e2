// What zykproxy's own code does inside a data call at the points where it may wait: the
// thread that runs a loop makes that loop's data calls itself, and before it waits (a
// scan, a peer that takes no more bytes) it hands the loop to another thread, so that
// the loop's other connections wait for nothing. The call then finishes as a worker's.
#pragma once

namespace zykproxy {

// Called just before a wait that may take long. Outside a loop's own data call, and
// after the loop has been handed on once, it does nothing.
void BeforeBlocking();

// Whether the connection of the data call this thread makes has been interrupted (a
// time-out or a stop ended it): a wait inside the call gives up.
bool CallInterrupted();

// Whether the data call this thread makes should read no more and end: its last receive
// found the socket drained (a receive that takes less than it asked for; what comes
// later makes the side readable again, and the loop serves it then), so that the call
// needs no further receive to learn that nothing is left; a call that still runs on
// its loop's thread has read enough for one turn (its side is still readable and is
// served again on the loop's next turn), so that one busy connection does not keep the
// others of its loop waiting; or a send of the call has failed, so that what it would
// read next has nowhere to go.
bool ReadEnough();
// What a receive of the data call this thread makes took: `bytes` of the `asked`.
void Received(int bytes, int asked);
// A send of the data call this thread makes has failed: its peer is gone.
void SendFailed();

}  // namespace zykproxy
