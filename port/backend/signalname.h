// The name of a signal for a one-line report ("SIGTERM"), safe to call from
// a signal handler: a switch over constants, no table to look up, no locale.
// Covers the signals the program takes; others read "a signal".
#ifndef PORT_BACKEND_SIGNALNAME_H
#define PORT_BACKEND_SIGNALNAME_H

#include <csignal>

namespace port::backend {

constexpr const char* signalName(int number) noexcept
{
    switch (number) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGXCPU: return "SIGXCPU";
    default: return "a signal";
    }
}

}  // namespace port::backend

#endif  // PORT_BACKEND_SIGNALNAME_H
