// A port without hardware: holds the register values the program wrote,
// and the keep-alive pin when one is named, as a parallel port would.
#ifndef PORT_BACKEND_SIMULATEDPORT_H
#define PORT_BACKEND_SIMULATEDPORT_H

#include "port/backend/keepalivepin.h"
#include "port/backend/port.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace port::backend {

class SimulatedPort : public Port {
public:
    // With nothing plugged in the status lines float high; BUSY is inverted
    // in hardware, so it reads as 0 in bit 7 and the rest read 1.
    static constexpr std::uint8_t unconnectedStatus = 0x7F;

    // With a keep-alive on pin when it names one.
    explicit SimulatedPort(KeepAlivePin keepAlive = {}) : keepAlivePin_(keepAlive) {}
    ~SimulatedPort() override;
    SimulatedPort(const SimulatedPort&) = delete;
    SimulatedPort& operator=(const SimulatedPort&) = delete;

    void out(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t in(std::uint16_t address) override;
    std::string name() const override;
    // Puts the idle values into the registers.
    void writeIdleFromSignalHandler() noexcept override;
    bool keepAlive() const noexcept override { return static_cast<bool>(keepAlivePin_); }
    void writeKeepAlive(bool set) override;
    // The keep-alive's bit as last written.
    bool keepAliveSet() const noexcept { return keepAlive_.load(std::memory_order_relaxed); }

    // From now on every write taken, the idle pair of a crash or signal
    // handler too, is appended to fd as one 3-byte record: the address's low
    // byte, its high byte, the value; a keep-alive write under
    // keepAliveAddress with its bit. Each record is one write(2), whole to a
    // reader and safe in a signal handler. The port closes fd. For tests and
    // diagnostics; set before the port is guarded or written.
    void logWritesTo(int fd) noexcept;

private:
    void log(std::uint16_t address, std::uint8_t value) const noexcept;

    // Atomic so a monitor on another thread may read the registers while the
    // sequencer writes them, and lock-free so a crash handler may write them.
    std::atomic<std::uint8_t> data_{0};
    std::atomic<std::uint8_t> control_{0};
    const KeepAlivePin keepAlivePin_;
    std::atomic<bool> keepAlive_{false};
    int logFd_ = -1;
};

}  // namespace port::backend

#endif  // PORT_BACKEND_SIMULATEDPORT_H
