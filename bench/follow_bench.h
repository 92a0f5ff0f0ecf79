// make bench: what following the receiver costs (bench/follow_bench.cc).
#pragma once

// A 1 Hz receiver at 9600 baud followed for `gotos` gotos: each goto's
// delay after the end of its RMC sentence, and the CPU the run took.
int FollowLatency(int gotos);

// Resident memory and open descriptors of a follow run across 100,000
// fixes from a fast FIFO and `cycles` map host restarts, and of another
// across `cycles` unplugs of its receiver.
int FollowFlat(int cycles);
