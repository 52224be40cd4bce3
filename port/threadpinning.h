// Keeps the step loop on one CPU so the scheduler does not move it between
// steps (a move costs a cold cache and microseconds of lateness).
#ifndef PORT_THREADPINNING_H
#define PORT_THREADPINNING_H

namespace port {

// Pins the calling thread to the highest-numbered CPU it may run on; the
// last CPU is the one the desktop uses least. Returns false (and leaves the
// thread as it was) when that is not allowed.
bool pinCurrentThreadToLastCpu() noexcept;

}  // namespace port

#endif  // PORT_THREADPINNING_H
