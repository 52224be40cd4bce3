// CPU pinning through pthread affinity.
#include "port/threadpinning.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>

namespace port {

namespace {

std::atomic<int> reservedCpu{-1};

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

}  // namespace

bool reserveStepCpu() noexcept
{
    cpu_set_t allowed;
    if (!allowedCpus(allowed) || CPU_COUNT(&allowed) < 2)
        return false;
    const int last = highestAllowedCpu(allowed);
    CPU_CLR(last, &allowed);
    if (pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0)
        return false;
    reservedCpu.store(last, std::memory_order_release);
    return true;
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

}  // namespace port
