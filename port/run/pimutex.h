// A mutex with priority inheritance, for state the real-time step thread
// shares with threads of normal priority (the window's): while the step
// thread waits for it, whoever holds it runs at the step thread's priority,
// so a preempted window thread can never hold a step for longer than its
// short critical section. std::mutex has no such protocol.
#ifndef PORT_RUN_PIMUTEX_H
#define PORT_RUN_PIMUTEX_H

#include <pthread.h>

namespace port::run {

class PiMutex {
public:
    PiMutex() noexcept;
    ~PiMutex();
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;

    // BasicLockable, for std::lock_guard and std::unique_lock.
    void lock() noexcept;
    void unlock() noexcept;
    bool try_lock() noexcept;

private:
    pthread_mutex_t mutex_;
};

}  // namespace port::run

#endif  // PORT_RUN_PIMUTEX_H
