// The signals a batch run catches or ignores, so that it stops cleanly: its
// rows written so far whole, its lost output reported as a failed write.
#pragma once

#include <atomic>

namespace comparepairs {

// The terminating signal caught (SIGINT or SIGTERM); 0 before one is.
const std::atomic<int>& caughtSignal();

// Ignores SIGPIPE and SIGXFSZ, so that lost output is reported as a failed
// write, not by the end of the process.
void ignoreLostOutputSignals();

// Catches SIGINT and SIGTERM into caughtSignal() without restarting the call
// they interrupt, so that a write waiting on a full pipe returns and the run
// stops. A second signal ends the process at once.
void catchTerminatingSignals();

} // namespace comparepairs
