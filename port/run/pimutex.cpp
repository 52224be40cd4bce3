// pthread's PTHREAD_PRIO_INHERIT protocol behind a BasicLockable.
#include "port/run/pimutex.h"

#include <cstdlib>

namespace port::run {

PiMutex::PiMutex() noexcept
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    // Supported by every Linux with futex PI (2.6.18 on): failing here would
    // mean a mutex that silently lacks the protocol, so it is fatal.
    if (pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) != 0 ||
        pthread_mutex_init(&mutex_, &attributes) != 0)
        std::abort();
    pthread_mutexattr_destroy(&attributes);
}

PiMutex::~PiMutex()
{
    pthread_mutex_destroy(&mutex_);
}

void PiMutex::lock() noexcept
{
    pthread_mutex_lock(&mutex_);
}

void PiMutex::unlock() noexcept
{
    pthread_mutex_unlock(&mutex_);
}

bool PiMutex::try_lock() noexcept
{
    return pthread_mutex_trylock(&mutex_) == 0;
}

}  // namespace port::run
