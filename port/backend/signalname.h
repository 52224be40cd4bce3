// Each signal's name for a one-line report ("SIGTERM") and the way out the
// program gives it. Safe to call from a signal handler: switches over
// constants, no table to look up, no locale.
//
// The routes cover every signal: one whose default action would end the
// process goes through a way out that leaves the port idle first, unless it
// cannot be caught; one whose default action is to stop the process ends the
// run before the process stops. A signal nobody listed here (SIGSTKFLT,
// SIGPWR, the real-time signals) ends the program through EXIT's way out.
#ifndef PORT_BACKEND_SIGNALNAME_H
#define PORT_BACKEND_SIGNALNAME_H

#include <csignal>

namespace port::backend {

enum class SignalRoute {
    Fault,        // the crash guard: the idle pair, then the crash goes on as it was
    WayOut,       // EXIT's way out from the signal thread, status 0
    StopThenHalt, // STOP from the signal thread, then the process stops once the port is idle
    CpuLimit,     // SIGXCPU: every run ends at once, and the program goes on
    Ignored,      // SIGPIPE: a write to a pipe nobody reads fails with EPIPE instead
    Uncatchable,  // SIGKILL, SIGSTOP: the port keeps what it holds
    Harmless,     // ignored by default (SIGCHLD, SIGCONT, SIGURG, SIGWINCH): left alone
};

constexpr SignalRoute signalRoute(int number) noexcept
{
    switch (number) {
    // A fault of the program or the system under it, or a limit that makes
    // the next write fail: the crash it would have been, the port idle first.
    case SIGSEGV: case SIGBUS: case SIGFPE: case SIGILL: case SIGABRT:
    case SIGTRAP: case SIGSYS: case SIGXFSZ:
        return SignalRoute::Fault;
    case SIGTSTP: case SIGTTIN: case SIGTTOU:
        return SignalRoute::StopThenHalt;
    case SIGXCPU:
        return SignalRoute::CpuLimit;
    case SIGPIPE:
        return SignalRoute::Ignored;
    case SIGKILL: case SIGSTOP:
        return SignalRoute::Uncatchable;
    case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:
        return SignalRoute::Harmless;
    default:
        return SignalRoute::WayOut;
    }
}

// The classic signals; those above are glibc's threads' own (32, 33) and
// the real-time ones.
inline constexpr int lastClassicSignal = 31;

constexpr const char* signalName(int number) noexcept
{
    switch (number) {
    case SIGHUP: return "SIGHUP";
    case SIGINT: return "SIGINT";
    case SIGQUIT: return "SIGQUIT";
    case SIGILL: return "SIGILL";
    case SIGTRAP: return "SIGTRAP";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGKILL: return "SIGKILL";
    case SIGUSR1: return "SIGUSR1";
    case SIGSEGV: return "SIGSEGV";
    case SIGUSR2: return "SIGUSR2";
    case SIGPIPE: return "SIGPIPE";
    case SIGALRM: return "SIGALRM";
    case SIGTERM: return "SIGTERM";
#ifdef SIGSTKFLT
    case SIGSTKFLT: return "SIGSTKFLT";
#endif
    case SIGCHLD: return "SIGCHLD";
    case SIGCONT: return "SIGCONT";
    case SIGSTOP: return "SIGSTOP";
    case SIGTSTP: return "SIGTSTP";
    case SIGTTIN: return "SIGTTIN";
    case SIGTTOU: return "SIGTTOU";
    case SIGURG: return "SIGURG";
    case SIGXCPU: return "SIGXCPU";
    case SIGXFSZ: return "SIGXFSZ";
    case SIGVTALRM: return "SIGVTALRM";
    case SIGPROF: return "SIGPROF";
    case SIGWINCH: return "SIGWINCH";
    case SIGIO: return "SIGIO";
#ifdef SIGPWR
    case SIGPWR: return "SIGPWR";
#endif
    case SIGSYS: return "SIGSYS";
    default: return "a real-time signal";
    }
}

}  // namespace port::backend

#endif  // PORT_BACKEND_SIGNALNAME_H
