// CPU pinning through pthread affinity.
#include "port/threadpinning.h"

#include <pthread.h>
#include <sched.h>

namespace port {

bool pinCurrentThreadToLastCpu() noexcept
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0)
        return false;
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            last = cpu;
    if (last < 0)
        return false;
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(last, &only);
    return pthread_setaffinity_np(pthread_self(), sizeof only, &only) == 0;
}

}  // namespace port
