// Keeps the step loop on a CPU of its own so the scheduler neither moves it
// between steps (a move costs a cold cache and microseconds of lateness) nor
// runs the window's painting beside it.
#ifndef PORT_THREADPINNING_H
#define PORT_THREADPINNING_H

namespace port {

// Called once at program start, before any other thread exists: keeps the
// highest-numbered CPU the program may use (the one the desktop uses least)
// for the steps and moves the calling thread, and so every thread it starts
// later, to the others. Returns false (and changes nothing) with fewer than
// two CPUs or when affinity cannot be set.
bool reserveStepCpu() noexcept;

// Pins the calling thread to the step CPU: the reserved one, or else the
// highest-numbered CPU it may run on. Returns false (and leaves the thread as
// it was) when that is not allowed.
bool pinCurrentThreadToStepCpu() noexcept;

// The CPU the step loop runs on, or -1 when it cannot be told.
int stepCpu() noexcept;

}  // namespace port

#endif  // PORT_THREADPINNING_H
