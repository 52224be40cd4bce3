// CPU pinning through pthread affinity, and the step CPU's claim among the
// programs on this PC through abstract Unix sockets.
#include "port/run/threadpinning.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace port::run {

namespace {

std::atomic<int> reservedCpu{-1};
// Written once by reserveStepCpu() before reservedCpu, then only read.
StepCpuClaim claimMade;
// The claim: open for the rest of the process's life, never accepted on.
int claimSocket = -1;

// Other programs' probes wait unaccepted in the queue; once it is full a
// probe still reads the CPU as claimed, only without its owner.
constexpr int claimBacklog = SOMAXCONN;
// Two programs starting at the same moment may aim at one CPU: the one that
// loses the bind looks at the claims again.
constexpr int claimAttempts = 4;

enum class Probe { Unclaimed, Claimed, Unknown };

int highestAllowedCpu(const cpu_set_t& allowed) noexcept
{
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            last = cpu;
    return last;
}

bool allowedCpus(cpu_set_t& allowed) noexcept
{
    CPU_ZERO(&allowed);
    return pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) == 0;
}

// name and cpu's number after a leading NUL, which makes the name abstract;
// the length of the address, 0 when it does not fit.
socklen_t claimAddress(std::string_view name, int cpu, sockaddr_un& address) noexcept
{
    address = {};
    address.sun_family = AF_UNIX;
    char number[16];
    const int digits = std::snprintf(number, sizeof number, "%d", cpu);
    const std::size_t length = 1 + name.size() + static_cast<std::size_t>(digits);
    if (digits <= 0 || length > sizeof address.sun_path)
        return 0;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    std::memcpy(address.sun_path + 1 + name.size(), number, static_cast<std::size_t>(digits));
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
}

// Whether another program holds cpu's claim, and then its pid where the
// kernel tells it (the credentials of the process that listens).
Probe probeClaim(std::string_view name, int cpu, int& ownerPid) noexcept
{
    sockaddr_un address;
    const socklen_t length = claimAddress(name, cpu, address);
    if (length == 0)
        return Probe::Unknown;
    // Non-blocking: a connect to a full queue fails at once instead of waiting.
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return Probe::Unknown;
    Probe outcome = Probe::Unknown;
    if (connect(probe, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        outcome = Probe::Claimed;
        ucred owner{};
        socklen_t size = sizeof owner;
        if (getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &owner, &size) == 0)
            ownerPid = owner.pid;
    } else if (errno == EAGAIN) {
        outcome = Probe::Claimed;
    } else if (errno == ECONNREFUSED) {
        outcome = Probe::Unclaimed;  // nobody, or a claim in the making, whose bind then refuses ours
    }
    close(probe);
    return outcome;
}

// The socket that holds cpu's claim, or -1 when another program has it.
int holdClaim(std::string_view name, int cpu) noexcept
{
    sockaddr_un address;
    const socklen_t length = claimAddress(name, cpu, address);
    const int holder = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (length == 0 || holder < 0) {
        if (holder >= 0)
            close(holder);
        return -1;
    }
    if (bind(holder, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
        listen(holder, claimBacklog) == 0)
        return holder;
    close(holder);
    return -1;
}

// By the rule, against the claims as they are now. Where they cannot be read
// (no Unix sockets here), the highest allowed CPU, as if no other program ran.
StepCpuClaim claimStepCpu(const cpu_set_t& allowed, std::string_view name) noexcept
{
    for (int attempt = 0; attempt < claimAttempts; ++attempt) {
        cpu_set_t claimed;
        CPU_ZERO(&claimed);
        bool readable = true;
        for (int cpu = 0; cpu < CPU_SETSIZE && readable; ++cpu) {
            if (!CPU_ISSET(cpu, &allowed))
                continue;
            int owner = 0;
            const Probe probe = probeClaim(name, cpu, owner);
            readable = probe != Probe::Unknown;
            if (probe == Probe::Claimed)
                CPU_SET(cpu, &claimed);
        }
        if (!readable)
            break;
        const StepCpuChoice choice = chooseStepCpu(allowed, claimed);
        if (choice.shared) {
            int owner = 0;
            if (probeClaim(name, choice.cpu, owner) == Probe::Claimed)
                return {choice.cpu, true, owner};
            continue;  // its owner has just ended: look again
        }
        const int holder = holdClaim(name, choice.cpu);
        if (holder >= 0) {
            claimSocket = holder;
            return {choice.cpu, false, 0};
        }
    }
    return {highestAllowedCpu(allowed), false, 0};
}

}  // namespace

StepCpuChoice chooseStepCpu(const cpu_set_t& allowed, const cpu_set_t& claimed) noexcept
{
    int unclaimedCount = 0;
    int highestUnclaimed = -1;
    int highestClaimed = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed))
            continue;
        if (CPU_ISSET(cpu, &claimed)) {
            highestClaimed = cpu;
        } else {
            ++unclaimedCount;
            highestUnclaimed = cpu;
        }
    }
    // Taking one leaves another for the desktop, the window and the rest.
    if (unclaimedCount >= 2 || highestClaimed < 0)
        return {highestUnclaimed, false};
    return {highestClaimed, true};
}

bool reserveStepCpu(std::string_view claimName) noexcept
{
    cpu_set_t allowed;
    if (!allowedCpus(allowed) || CPU_COUNT(&allowed) < 2)
        return false;
    const StepCpuClaim claim = claimStepCpu(allowed, claimName);
    CPU_CLR(claim.cpu, &allowed);
    if (pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0) {
        if (claimSocket >= 0)
            close(claimSocket);
        claimSocket = -1;
        return false;
    }
    claimMade = claim;
    reservedCpu.store(claim.cpu, std::memory_order_release);
    return true;
}

StepCpuClaim stepCpuClaim() noexcept
{
    if (reservedCpu.load(std::memory_order_acquire) < 0)
        return {};
    return claimMade;
}

int stepCpu() noexcept
{
    const int reserved = reservedCpu.load(std::memory_order_acquire);
    if (reserved >= 0)
        return reserved;
    cpu_set_t allowed;
    return allowedCpus(allowed) ? highestAllowedCpu(allowed) : -1;
}

bool pinCurrentThreadToStepCpu() noexcept
{
    const int cpu = stepCpu();
    if (cpu < 0)
        return false;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    return pthread_setaffinity_np(pthread_self(), sizeof only, &only) == 0;
}

}  // namespace port::run
