// The real-time ladder and the kernel calls behind it. Nothing here makes the
// steps safe: a thread that is refused real-time still runs, only later.
#include "port/run/realtimepriority.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <system_error>

namespace port::run {

namespace {

// The soft RLIMIT_RTTIME the program set last, for restoreRealtimeTimeLimit(); -1: none.
std::atomic<std::int64_t> chosenSoftLimit{-1};
static_assert(std::atomic<std::int64_t>::is_always_lock_free);

// The one place where sched_setscheduler, getrlimit/setrlimit and mlockall
// are called; everything else goes through SchedulingSystem.
class LinuxScheduling final : public SchedulingSystem {
public:
    int setFifo(int tid, int priority) noexcept override
    {
        sched_param param{};
        param.sched_priority = priority;
        // RESET_ON_FORK: a helper the program starts must not inherit a
        // real-time class it never asked for (RealtimeKit sets it on its grants too).
        if (sched_setscheduler(tid, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0)
            return 0;
        return errno;
    }

    int realtimePriorityLimit() noexcept override
    {
        rlimit limit{};
        if (getrlimit(RLIMIT_RTPRIO, &limit) != 0)
            return 0;
        if (limit.rlim_cur == RLIM_INFINITY)
            return -1;
        return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, INT_MAX));
    }

    int setRealtimeTimeLimit(std::int64_t microseconds) noexcept override
    {
        if (microseconds < 0 && microseconds != keepHardLimit)
            return EINVAL;
        rlimit limit{};
        if (getrlimit(RLIMIT_RTTIME, &limit) != 0)
            return errno;
        // Raising the hard limit needs privilege; lowering it does not, and
        // a lower one already keeps within what was asked.
        if (microseconds != keepHardLimit &&
            (limit.rlim_max == RLIM_INFINITY || static_cast<rlim_t>(microseconds) < limit.rlim_max))
            limit.rlim_max = static_cast<rlim_t>(microseconds);
        if (limit.rlim_max == RLIM_INFINITY)
            return 0;  // no SIGKILL to leave room under
        const auto soft = static_cast<rlim_t>(realtimeTimeSoftLimit(static_cast<std::int64_t>(limit.rlim_max)));
        if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > soft)
            limit.rlim_cur = soft;
        if (setrlimit(RLIMIT_RTTIME, &limit) != 0)
            return errno;
        chosenSoftLimit.store(static_cast<std::int64_t>(limit.rlim_cur), std::memory_order_release);
        return 0;
    }

    bool lockAllMemory() noexcept override
    {
        // MCL_ONFAULT: a page is locked when it is first touched, so the
        // pages the step loop touches in its first cycle stay in memory,
        // while the rest of the program (Qt, fonts, the libraries' unused
        // code) is neither read in nor pinned: faulting in and locking every
        // mapping tripled the program's memory and slowed its start by
        // 350 ms. MCL_CURRENT alone would leave pages mapped later (a new
        // thread's stack, a grown buffer) unlocked; where the whole process
        // cannot be locked, the step thread locks its own stack.
        return mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0;
    }
};

std::string errnoText(int error)
{
    return std::system_category().message(error);
}

std::string limitText(int limit)
{
    return limit < 0 ? std::string("RLIMIT_RTPRIO unlimited")
                     : "RLIMIT_RTPRIO " + std::to_string(limit);
}

// "SCHED_FIFO 40 refused (Operation not permitted: no CAP_SYS_NICE and RLIMIT_RTPRIO 0)"
std::string fifoRefusal(int priority, int error, int limit)
{
    std::string text = "SCHED_FIFO " + std::to_string(priority) + " refused (" + errnoText(error);
    if (error == EPERM && limit >= 0 && limit < priority)
        text += ": no CAP_SYS_NICE and " + limitText(limit);
    else
        text += "; " + limitText(limit);
    return text + ")";
}

constexpr const char* remedy =
    "to fix: grant group lp real-time priority, see README, Real-time priority";

}  // namespace

void restoreRealtimeTimeLimit() noexcept
{
    const std::int64_t soft = chosenSoftLimit.load(std::memory_order_acquire);
    rlimit limit{};
    if (soft < 0 || getrlimit(RLIMIT_RTTIME, &limit) != 0)
        return;
    limit.rlim_cur = std::min(static_cast<rlim_t>(soft), limit.rlim_max);
    setrlimit(RLIMIT_RTTIME, &limit);
}

SchedulingSystem& linuxScheduling() noexcept
{
    static LinuxScheduling system;
    return system;
}

PriorityGrant requestRealtime(int tid, int wanted, SchedulingSystem& system, RealtimeKit* kit)
{
    PriorityGrant grant;
    auto granted = [&](PriorityGrantor grantor, int priority) {
        grant.priorityClass = PriorityClass::Realtime;
        grant.grantor = grantor;
        grant.priority = priority;
        // A hard RLIMIT_RTTIME may come from outside (a limits rule,
        // prlimit); RealtimeKit's rung has set its own already. Failing to
        // leave room changes nothing the thread can do: it still blocks at
        // every rate, and SIGXCPU ends the run where the soft limit is met.
        if (grantor == PriorityGrantor::Kernel)
            system.setRealtimeTimeLimit(SchedulingSystem::keepHardLimit);
        grant.memoryLocked = system.lockAllMemory();
        return grant;
    };

    // Rung 1 and 2: the kernel, as asked, then within RLIMIT_RTPRIO.
    // Simply trying tells more than any check of capabilities beforehand.
    const int error = system.setFifo(tid, wanted);
    if (error == 0)
        return granted(PriorityGrantor::Kernel, wanted);
    const int limit = system.realtimePriorityLimit();
    std::string reasons = fifoRefusal(wanted, error, limit);
    if (limit > 0 && limit < wanted) {
        const int clampedError = system.setFifo(tid, limit);
        if (clampedError == 0)
            return granted(PriorityGrantor::Kernel, limit);
        reasons += ", SCHED_FIFO " + std::to_string(limit) + " within it refused ("
                   + errnoText(clampedError) + ")";
    }

    // Rung 3: RealtimeKit, which grants SCHED_RR up to its own maximum.
    reasons += "; RealtimeKit: ";
    if (kit == nullptr) {
        reasons += "not asked";
    } else {
        RealtimeKit::Limits limits;
        std::string why;
        if (!kit->limits(limits, why)) {
            reasons += why;
        } else if (const int priority = std::min(wanted, limits.maxRealtimePriority);
                   priority < 1) {
            reasons += "MaxRealtimePriority " + std::to_string(limits.maxRealtimePriority)
                       + " allows no real-time priority";
        } else if (limits.rtTimeUSecMax <= 0) {
            reasons += "RTTimeUSecMax " + std::to_string(limits.rtTimeUSecMax)
                       + " allows no real-time CPU time";
        } else if (const int timeError = system.setRealtimeTimeLimit(limits.rtTimeUSecMax);
                   timeError != 0) {
            // RealtimeKit refuses any process without an RLIMIT_RTTIME within
            // its RTTimeUSecMax, so asking it would only be refused.
            reasons += "RLIMIT_RTTIME " + std::to_string(limits.rtTimeUSecMax) + " us not set ("
                       + errnoText(timeError) + ")";
        } else if (!kit->makeThreadRealtime(static_cast<std::uint64_t>(getpid()),
                                            static_cast<std::uint64_t>(tid),
                                            static_cast<std::uint32_t>(priority), why)) {
            reasons += "SCHED_RR " + std::to_string(priority) + " refused (" + why + ")";
        } else {
            return granted(PriorityGrantor::RealtimeKit, priority);
        }
    }

    grant.refusal = reasons + "; " + remedy;
    return grant;
}

}  // namespace port::run
