// What the service host needs of the monitor: the loop that owns the service thread and the
// flag that ends it.
#pragma once

#include <atomic>

// False at start; set once by the service control handler on the dispatcher thread and read
// by the monitor loop on the service thread at every pass boundary. Never reset.
extern std::atomic<bool> StopRequested;

// Prints the banner, primes the sampler, then every 5 seconds samples the total processor
// utilization and, at 95 percent or more, applies the target policy to every process.
// Returns when StopRequested is seen at a pass boundary, or at once when the process list
// cannot be read.
void RunMonitorLoop();
