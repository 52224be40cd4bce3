// Real-time priority for the step thread, asked for in a ladder: directly
// from the kernel (root, CAP_SYS_NICE or an RLIMIT_RTPRIO rule), else from
// RealtimeKit on the system bus, else normal priority. What was granted is
// said to the operator, since it decides whether other programs can delay
// the steps.
#ifndef PORT_RUN_REALTIMEPRIORITY_H
#define PORT_RUN_REALTIMEPRIORITY_H

#include <cstdint>
#include <string>

namespace port::run {

// SCHED_FIFO priority asked for: above the kernel's threaded interrupt
// handlers' default 50 would starve the port's own driver, so below it, and
// well above the 1 most desktop real-time threads take.
inline constexpr int stepThreadPriority = 40;

enum class PriorityClass { Normal, Realtime };
enum class PriorityGrantor { None, Kernel, RealtimeKit };

struct PriorityGrant {
    PriorityClass priorityClass = PriorityClass::Normal;
    PriorityGrantor grantor = PriorityGrantor::None;
    int priority = 0;           // SCHED_FIFO / SCHED_RR priority when real-time
    bool memoryLocked = false;  // the whole process, or at least the step thread's stack
    std::string refusal;        // why not real-time, one line; empty when granted
};

// The kernel calls the ladder makes, behind a seam so tests can refuse them.
class SchedulingSystem {
public:
    virtual ~SchedulingSystem() = default;
    // SCHED_FIFO | SCHED_RESET_ON_FORK at priority for thread tid: 0, or the errno.
    virtual int setFifo(int tid, int priority) noexcept = 0;
    // The soft RLIMIT_RTPRIO: the highest priority an unprivileged thread may
    // take (0: none), or -1 when unlimited.
    virtual int realtimePriorityLimit() noexcept = 0;
    // RLIMIT_RTTIME: the real-time CPU time a thread may use without
    // blocking. The kernel sends SIGXCPU at the soft limit and SIGKILL at the
    // hard one, which no handler can catch and which would leave a step on
    // the port. So the soft limit is kept at realtimeTimeSoftLimit(hard):
    // SIGXCPU then ends the run (the idle pair goes out, the thread blocks)
    // with half of the hard limit left to do it in.
    //
    // Sets the hard limit to microseconds (or keeps it, keepHardLimit; a
    // limit above the current hard one keeps that) and the soft limit below
    // it as above, or lower where it already was: 0, or the errno.
    static constexpr std::int64_t keepHardLimit = -1;
    virtual int setRealtimeTimeLimit(std::int64_t microseconds) noexcept = 0;
    // Locks the process's memory where allowed, as each page is first
    // touched (MCL_ONFAULT): true when locked.
    virtual bool lockAllMemory() noexcept = 0;
};

// The calls to RealtimeKit (org.freedesktop.RealtimeKit1). Implemented over
// D-Bus outside this layer, which stays free of any bus library.
class RealtimeKit {
public:
    struct Limits {
        int maxRealtimePriority = 0;  // MaxRealtimePriority
        std::int64_t rtTimeUSecMax = 0;  // RTTimeUSecMax
    };
    virtual ~RealtimeKit() = default;
    // Reads the service's limits; false with why (one line) when the service
    // cannot be reached.
    virtual bool limits(Limits& limits, std::string& why) = 0;
    // MakeThreadRealtimeWithPID(pid, tid, priority); false with why when refused.
    virtual bool makeThreadRealtime(std::uint64_t pid, std::uint64_t tid, std::uint32_t priority,
                                    std::string& why) = 0;
};

constexpr std::int64_t realtimeTimeSoftLimit(std::int64_t hard) noexcept
{
    return hard / 2;
}

// The real kernel.
SchedulingSystem& linuxScheduling() noexcept;

// For the SIGXCPU handler: each time the kernel sends SIGXCPU at the soft
// RLIMIT_RTTIME it raises that limit by a second, which soon puts it above
// the hard one, and the next runaway meets SIGKILL with a step on the port.
// Sets the soft limit back to the one linuxScheduling() chose last; nothing
// where it chose none. Async-signal-safe: getrlimit and setrlimit, the
// system calls alone.
void restoreRealtimeTimeLimit() noexcept;

// Walks the ladder for thread tid of this process: SCHED_FIFO at wanted
// (clamped to RLIMIT_RTPRIO when that is lower), else RealtimeKit (with
// RLIMIT_RTTIME set within its RTTimeUSecMax first, as it demands) when kit is
// given, else normal priority with the reasons. Once real-time, leaves room
// under a hard RLIMIT_RTTIME set from outside and locks memory.
PriorityGrant requestRealtime(int tid, int wanted, SchedulingSystem& system, RealtimeKit* kit);

}  // namespace port::run

#endif  // PORT_RUN_REALTIMEPRIORITY_H
