// Keeps the step loop on a CPU of its own so the scheduler neither moves it
// between steps (a move costs a cold cache and microseconds of lateness) nor
// runs the window's painting beside it; and, among programs driving other
// ports on the same PC, keeps their real-time step threads off each other's
// CPU where there are CPUs enough, and says so where there are not.
#ifndef PORT_RUN_THREADPINNING_H
#define PORT_RUN_THREADPINNING_H

#include <sched.h>

#include <string_view>

namespace port::run {

// Each CPU a step loop runs on is claimed under this name followed by the
// CPU's number, as an abstract Unix socket bound and listening: it needs no
// file and no permission, and the kernel drops it when the process ends,
// however it ends. Tests claim under names of their own.
inline constexpr std::string_view stepCpuClaimName = "frequency-converter-step-cpu-";

// How this program's step CPU stands among the programs on this PC.
struct StepCpuClaim {
    int cpu = -1;            // the step CPU reserved; -1 when none was
    bool shared = false;     // another program's step thread runs there too
    int sharedWithPid = 0;   // that program; 0 when it could not be told
};

// The rule, apart from the system: the highest allowed CPU no other program
// has claimed, as long as one allowed CPU then stays unclaimed for everything
// else; otherwise the highest allowed CPU another program has claimed, to be
// shared. CPUs claimed outside allowed are no concern. For two or more
// allowed CPUs; cpu is -1 when allowed is empty.
struct StepCpuChoice {
    int cpu = -1;
    bool shared = false;
};
StepCpuChoice chooseStepCpu(const cpu_set_t& allowed, const cpu_set_t& claimed) noexcept;

// Called once at program start, before any other thread exists: claims a
// step CPU among the CPUs the program may use by the rule above (where the
// claims cannot be read, the highest one, the one the desktop uses least) and
// moves the calling thread, and so every thread it starts later, to the
// others. Returns false (and changes nothing) with fewer than two CPUs or when
// affinity cannot be set.
bool reserveStepCpu(std::string_view claimName = stepCpuClaimName) noexcept;

// What reserveStepCpu() claimed; cpu -1 before it, or when it reserved none.
StepCpuClaim stepCpuClaim() noexcept;

// Pins the calling thread to the step CPU: the reserved one, or else the
// highest-numbered CPU it may run on. Returns false (and leaves the thread as
// it was) when that is not allowed.
bool pinCurrentThreadToStepCpu() noexcept;

// The CPU the step loop runs on, or -1 when it cannot be told.
int stepCpu() noexcept;

}  // namespace port::run

#endif  // PORT_RUN_THREADPINNING_H
