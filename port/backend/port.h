// The one small interface between the program and the parallel port: a
// register-level out()/in(), with a simulated and a libieee1284 back end.
//
// Safety assumptions of this layer:
//  - The converter's power stage must be wired so that the port's idle state
//    (data 0, control register 2) and a dead PC leave it safe. This layer only
//    writes bytes; it cannot know what the hardware does with them.
//  - Only one thread writes the port at any moment (the sequencer's, or the
//    UI thread while no run is alive). Back ends are not made thread-safe for
//    concurrent writers on purpose: the single writer is what keeps the
//    pattern intact.
//  - The program writes nothing before the first RUN or STOP: opening checks
//    that the device can be reached, and the claim it keeps waits for the
//    first write. The kernel is another matter: each ppdev claim, including
//    the brief ones libieee1284 makes while it lists and opens the port,
//    writes the port's saved control state (0x0c, C1 low) twice, data
//    untouched. The emulated-PC test (tests/e2e) shows these writes; no
//    user program can avoid them, so the power stage must take control 0x0c
//    with data 0 as safe.
//  - A crash (fatal signal, std::terminate) leaves the port idle where the
//    back end can write it from a signal handler (CrashGuard); SIGKILL,
//    a hung kernel or a power loss cannot be caught.
//  - For those, a keep-alive pin (keepAlive()) toggles while the step thread
//    lives: a circuit that holds the power stage enabled only while it
//    toggles disables it by itself when nothing is left to write the port.
//    It comes back only once a program has written the port idle again.
//  - WARNING: never rely on software alone for safety. STOP in this program is
//    not an emergency stop: a hung PC, a crashed program or a port left in any
//    state can keep the converter running. A hardware emergency stop that cuts
//    the power stage must always be fitted and within reach.
#ifndef PORT_BACKEND_PORT_H
#define PORT_BACKEND_PORT_H

#include <cstdint>
#include <stdexcept>
#include <string>

namespace port::backend {

inline constexpr std::uint16_t dataPort = 0x378;     // data register, eight output lines
inline constexpr std::uint16_t statusPort = 0x379;   // status register (base + 1), read only
inline constexpr std::uint16_t controlPort = 0x37A;  // control register (base + 2)

// Thrown when the hardware cannot be reached; the message is one line: what
// failed, the value involved and a hint.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Port {
public:
    virtual ~Port() = default;
    // Puts value into the register at address; throws PortError when the
    // hardware cannot be reached (e.g. the lazy claim fails). Only
    // dataPort/controlPort are writable.
    virtual void out(std::uint16_t address, std::uint8_t value) = 0;
    virtual std::uint8_t in(std::uint16_t address) = 0;
    virtual std::string name() const = 0;  // "simulated", "/dev/parport0"
    // Throws PortError when the port no longer takes writes. A register write
    // reports nothing (the hardware has no answer to give), so the run asks
    // this once a cycle: a port that went away mid-run (a USB adapter pulled,
    // its driver unloaded) must end the run, not go on being "written".
    virtual void check() {}

    // Writes (dataPort, idleData) then (controlPort, idleControl) from a
    // crash handler (CrashGuard). Async-signal-safe: no allocation, no
    // lock, no stdio, no exception, nothing but atomics and system calls that
    // are safe in a signal handler; it may run while another thread is inside
    // out(). Best effort: a back end that cannot do it safely does nothing.
    // Each back end holds a CrashGuard::WritePermit around the register
    // write in out(), so that no write of another thread follows this pair.
    virtual void writeIdleFromSignalHandler() noexcept = 0;

    // The keep-alive (--keep-alive): a spare output of the port's own that
    // the step thread toggles while the program lives (Sequencer). The
    // pattern's writes keep it at its level, and a back end merges it at its
    // edge, as it applies its inversions: the register values the run and the
    // record see stay the pattern's. False on a port without one.
    virtual bool keepAlive() const noexcept { return false; }
    // Sets the keep-alive's bit (true: a 1 in its register, before any
    // inversion of its pin; a high level on a GPIO line of its own), the
    // pattern's lines as they are: one write of its register, or one set of
    // the lines. Holds a CrashGuard::WritePermit as out() does, and throws
    // PortError as out() does. Nothing on a port without one.
    virtual void writeKeepAlive(bool set) { static_cast<void>(set); }
};

}  // namespace port::backend

#endif  // PORT_BACKEND_PORT_H
