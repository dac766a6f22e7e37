#pragma once
// Test seams of the Windows child layer. Production code never sets them.

#include <atomic>

namespace childprocess::testhook {

// Makes the switch of a new child's stdin pipe to non-blocking writes fail, as it may where the
// pipe refuses PIPE_NOWAIT, so that the overlapped writes that stand in for it can be tested.
extern std::atomic<bool> refuseNonBlockingStdin;

// Counts each time a wait inside readOutput ends, whatever ended it: the reader's wake-ups.
extern std::atomic<long> readerWakeups;

} // namespace childprocess::testhook
