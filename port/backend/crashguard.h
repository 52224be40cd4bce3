// Leaves the port idle when the program crashes: a fatal signal (each whose
// route is SignalRoute::Fault: SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT,
// SIGTRAP, SIGSYS, SIGXFSZ) or std::terminate first writes (dataPort, 0),
// (controlPort, 2) through the guarded port, then the crash goes on as the
// crash it was (default action, core dump, status 128 + signal).
//
// Safety assumptions:
//  - Best effort only. SIGKILL, a power loss, a hung kernel or a hung PC
//    cannot be caught; a crash inside the kernel's port driver, a fault in
//    the handler itself (it then ends the process at once) or a back end that
//    cannot write from a signal handler (raw I/O) leave the port as it was. A
//    hardware emergency stop that cuts the power stage is always required.
//  - One port is guarded at a time, and it must stay alive while it is: the
//    back ends forget() themselves as they are destroyed.
//  - Another thread (the step thread) may be inside a write when a thread
//    crashes. Every back-end write holds a WritePermit: the handler first
//    refuses all later writes, then waits for the ones under way, so that its
//    idle pair is the last thing on the port. It does not wait for a write
//    of its own thread (the crash came inside it, and it will never end): a
//    step's pair may then be left half written (its data byte only) before
//    the idle pair. The wait for other threads is bounded (writeWait); one
//    that has not ended by then is said on stderr after the idle pair.
//  - Several threads may crash at once: the first writes the idle pair, the
//    others wait for it before their crash goes on.
//  - The alternate signal stack, which lets a stack overflow still run the
//    handler, belongs to one thread: threads do not inherit it, so each thread
//    that wants it calls protectThisThread().
#ifndef PORT_BACKEND_CRASHGUARD_H
#define PORT_BACKEND_CRASHGUARD_H

#include <chrono>
#include <cstddef>

namespace port::backend {

class Port;

class CrashGuard {
public:
    CrashGuard() = delete;

    // How long a crash handler waits for writes under way before it writes
    // the idle pair anyway. A write takes microseconds; this covers a writer
    // preempted in the middle of one.
    static constexpr std::chrono::milliseconds writeWait{100};
    // Room for the handler on the alternate stack: port writes only, but
    // sanitizer builds make every frame larger.
    static constexpr std::size_t alternateStackBytes = 64 * 1024;

    // Guards port from now on. The first call installs the signal handlers
    // and the terminate handler and protects the calling thread; later calls
    // only change the port. Throws std::system_error when a handler or the
    // alternate stack cannot be set up.
    static void install(Port& port);
    // Guards nothing any more; the handlers stay and only let the crash go on.
    static void clear() noexcept;
    // Clears when port is the one guarded; back ends call it as they go.
    static void forget(Port& port) noexcept;
    // The crash handlers' way out, for a thread that must leave the port idle
    // now whatever the step thread does (a termination signal the window did
    // not answer, an exit): refuses every later write, waits up to writeWait
    // for the writes (a step's pair) under way, then writes the idle pair
    // straight to the guarded port. Final: nothing reaches the port
    // afterwards, so the caller ends the process next. With no port guarded
    // it only seals. Async-signal-safe.
    static void leaveIdleNow() noexcept;
    // Refuses every later write and waits up to writeWait for those under
    // way, writing nothing itself: the port keeps, for good, what it holds,
    // and later writes are refused as Refusal::Sealed. Async-signal-safe.
    static void seal() noexcept;
    // While the process is about to stop (SIGTSTP): a write asked for from
    // now on waits until resumeWrites(), and those under way are waited for
    // (up to writeWait; false when one has not ended). A crash handler or a
    // seal still takes the port over meanwhile.
    static bool holdWrites() noexcept;
    static void resumeWrites() noexcept;
    // Gives the calling thread an alternate signal stack (until it ends), so
    // that a stack overflow on it still leaves the port idle. Throws
    // std::system_error when the kernel refuses it.
    static void protectThisThread();

    // Why a write was refused: nothing may follow the idle pair.
    enum class Refusal {
        None,
        TakenOver,  // a handler has taken the port over: it writes (or has written) the idle pair
        Sealed,     // sealed with nothing written: the port keeps what it holds
    };

    // Held by a back end around each register write, and by the step loop
    // around each step's pair and the idle pair. Refused once a crash
    // handler has begun or the port is sealed. Nested inside a permit the
    // thread already holds it is granted, so a pair under way completes.
    class WritePermit {
    public:
        WritePermit() noexcept;
        ~WritePermit();
        WritePermit(const WritePermit&) = delete;
        WritePermit& operator=(const WritePermit&) = delete;

        explicit operator bool() const noexcept { return refusal_ == Refusal::None; }
        Refusal refusal() const noexcept { return refusal_; }

    private:
        Refusal refusal_ = Refusal::None;
        bool counted_;  // the thread's outermost: it alone counts in the gate
    };
};

}  // namespace port::backend

#endif  // PORT_BACKEND_CRASHGUARD_H
