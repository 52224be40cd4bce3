// The real parallel port through libieee1284 (ppdev, no root needed for a
// user in group lp). Claims lazily at the first access, so the port is not
// touched until the first RUN or STOP.
#ifndef PORT_BACKEND_IEEE1284PORT_H
#define PORT_BACKEND_IEEE1284PORT_H

#include "port/backend/ieee1284api.h"
#include "port/backend/keepalivepin.h"
#include "port/backend/port.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace port::backend {

class Ieee1284Port : public Port {
public:
    enum class State { Closed, Open, Claimed };

    // F1284_EXCL: nobody else (a printer driver) may use the port between
    // our writes.
    static constexpr int exclusiveAccess = 1;
    // C1284_INVERTED: nStrobe, nAutoFd and nSelectIn are inverted in
    // hardware, and the library XORs them back on every control write. The
    // program writes raw register values, so they are XORed once more here.
    static constexpr std::uint8_t invertedControlLines = 0x0B;
    // S1284_INVERTED: BUSY is inverted in hardware, XORed back by the library.
    static constexpr std::uint8_t invertedStatusLines = 0x80;

    // Opens found exclusively (it must be one of list's ports); list is
    // shared by the ports found together and freed after the last close.
    // With a keep-alive on keepAlive's pin when it names one. Throws
    // PortError with the reason when the open fails.
    Ieee1284Port(const Ieee1284Api& api, std::shared_ptr<void> list, Ieee1284Api::FoundPort found,
                 KeepAlivePin keepAlive = {});
    ~Ieee1284Port() override;

    Ieee1284Port(const Ieee1284Port&) = delete;
    Ieee1284Port& operator=(const Ieee1284Port&) = delete;

    // Claim at the first call; throws PortError when the claim fails (it is
    // tried again at the next call). One thread at a time. A control write
    // keeps the keep-alive's bit as it stands.
    void out(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t in(std::uint16_t address) override;
    std::string name() const override;
    // Asks ppdev whether the kernel still has the port (see the source);
    // throws PortError once it has gone. One ioctl; does nothing before the
    // first claim.
    void check() override;
    // When the port is claimed through ppdev: PPWDATA idleData, then
    // PPWCONTROL idleControl (the keep-alive's bit as it stands), straight
    // on its descriptor. Never claimed,
    // nothing has been written, and the port keeps what it held before the
    // program; claimed through raw I/O, nothing either (see the source).
    void writeIdleFromSignalHandler() noexcept override;
    bool keepAlive() const noexcept override { return static_cast<bool>(keepAlivePin_); }
    // The control register again, the program's last control value with the
    // keep-alive's bit set or not.
    void writeKeepAlive(bool set) override;

    // Releases when claimed, then closes. Safe twice.
    void close() noexcept;

    State state() const noexcept;
    unsigned long baseAddress() const noexcept;

private:
    void claimOnce();
    // One control write: value with the keep-alive's bit set or not, then
    // the library's inversion undone.
    void writeControl(std::uint8_t value, bool keepAliveSet);

    const Ieee1284Api& api_;
    std::shared_ptr<void> list_;
    Ieee1284Api::FoundPort found_;
    State state_ = State::Closed;
    const KeepAlivePin keepAlivePin_;
    // The program's last control value, and the keep-alive's bit, merged
    // into every control byte; atomic for the crash handler.
    std::atomic<std::uint8_t> control_;
    std::atomic<bool> keepAliveSet_{false};
    // The claimed port's ppdev descriptor, for the crash handler: -1 while
    // not claimed or when the access method has none. Atomic, as the handler
    // may run on any thread.
    std::atomic<int> signalFd_{-1};
};

}  // namespace port::backend

#endif  // PORT_BACKEND_IEEE1284PORT_H
