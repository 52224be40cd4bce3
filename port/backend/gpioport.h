// A GPIO chip standing in for the parallel port, through libgpiod: nine
// lines (D0-D7 and C1, up to three more) take the levels the DB-25 pins of a
// PC's port would show for the same register values (gpiowiring.h), and one
// more line may carry the keep-alive. The run and the record see register
// values as on every port; they become levels only here.
//
// Unlike the parallel port it is not claimed lazily: the lines are requested
// at start, all in one request, as outputs whose initial values are the idle
// levels, so that they go from whatever they were straight to idle, with no
// glitch, and a line another program holds is found before the operator
// starts anything. The kernel gives a line to one request at a time: a
// second program finds the lines in use and is refused at start.
#ifndef PORT_BACKEND_GPIOPORT_H
#define PORT_BACKEND_GPIOPORT_H

#include "port/backend/gpioapi.h"
#include "port/backend/gpiowiring.h"
#include "port/backend/port.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace port::backend {

class GpioPort : public Port {
public:
    // Opens the chip, finds each line (the keep-alive's last), checks that
    // none is out of range, named twice or in use, then requests them all as
    // outputs at the idle levels, the keep-alive's low. Throws PortError with
    // one line naming the chip or the line and the remedy; then no line is
    // held, and none has been set unless the request itself set them idle.
    GpioPort(const GpioApi& api, const GpioChoice& choice);
    ~GpioPort() override;

    GpioPort(const GpioPort&) = delete;
    GpioPort& operator=(const GpioPort&) = delete;

    // One set of every line a write: a data write sets the data lines and
    // keeps the control lines, a control write the reverse (the keep-alive's
    // line keeps its level), so a step's pair reaches the pins as two sets in
    // the registers' order. Throws PortError
    // when the set fails (ENODEV: the chip has gone). One thread at a time.
    void out(std::uint16_t address, std::uint8_t value) override;
    // The register values the lines show; there are no status lines.
    std::uint8_t in(std::uint16_t address) override;
    std::string name() const override;  // "gpiochip0"
    // Data 0 with the control lines as they are, then the idle levels: two
    // GPIOHANDLE_SET_LINE_VALUES ioctls on the request's descriptor, nothing
    // else (see the source). A port whose request gave no descriptor is
    // refused at start; nothing once closed.
    void writeIdleFromSignalHandler() noexcept override;
    bool keepAlive() const noexcept override { return keepAliveAt_ != 0; }
    // One set of every line: the pattern's levels as they are, the
    // keep-alive's line high when set.
    void writeKeepAlive(bool set) override;

    // "Port: GPIO gpiochip0 [pinctrl-bcm2711], lines 17,27,22,23,24,25,5,6,12 (D0-D7, C1)"
    std::string description() const;
    // Releases the lines, then closes the chip. Safe twice.
    void close() noexcept;

    // The levels of the wired lines, in the request's order, while the
    // registers hold data and control; the keep-alive's as it stands.
    GpioApi::Levels levelsFor(std::uint8_t data, std::uint8_t control) const noexcept;
    // The offset wired to each pin of gpioPins, in the request's order, then
    // the keep-alive's.
    const std::vector<unsigned>& offsets() const noexcept { return offsets_; }

private:
    void resolve(const GpioChoice& choice);
    // "D3", "the keep-alive": what the line at the request's index at is for.
    std::string signalAt(std::size_t at) const;
    void checkFree() const;
    // One set of every requested line; PortError when the chip refuses it.
    void setLines(const GpioApi::Levels& levels);
    std::string chipText() const;   // "gpiochip0 [pinctrl-bcm2711]"
    std::string linesText() const;  // "17,27,22,23,24,25,5,6,12 (D0-D7, C1)"

    const GpioApi& api_;
    GpioApi::Chip chip_;
    void* request_ = nullptr;
    // gpioPins' indexes of the wired pins, in the request's order.
    std::vector<std::size_t> pins_;
    std::vector<unsigned> offsets_;
    // The keep-alive's index in the request (after the pins), 0 for none.
    std::size_t keepAliveAt_ = 0;
    std::atomic<bool> keepAliveSet_{false};
    GpioApi::Levels idleLevels_{};
    // The register values last written: each write sets every line, so the
    // other register's lines are set again as they are. Atomic for the
    // crash handler, which may run on any thread.
    std::atomic<std::uint8_t> data_;
    std::atomic<std::uint8_t> control_;
    std::atomic<int> signalFd_{-1};
};

}  // namespace port::backend

#endif  // PORT_BACKEND_GPIOPORT_H
