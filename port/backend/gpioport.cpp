// GPIO back end: the lines checked and requested at start, one set a
// register write, the idle levels from a crash handler.
#include "port/backend/gpioport.h"

#include "port/backend/crashguard.h"
#include "port/backend/hexvalue.h"
#include "port/pattern/steppattern.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace port::backend {

static_assert(std::atomic<std::uint8_t>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(gpioPinCount <= GpioApi::maxLines);

namespace {

constexpr char listChipsHint[] = "gpiodetect (Debian package gpiod) lists the chips";
constexpr char keepAliveSignal[] = "the keep-alive";

std::string chipProblem(const std::string& chip, int error)
{
    if (error == ENOENT || error == ENODEV || error == ENOTTY)
        return chip + ": no such GPIO chip; name it as /dev/gpiochipN, gpiochipN or by its label; " +
               listChipsHint;
    if (error == EACCES || error == EPERM)
        return chip + ": " + std::strerror(error) +
               "; give the user read and write access to the chip's /dev/gpiochipN (on Raspberry Pi OS: "
               "adduser USER gpio) and log in again";
    return chip + ": " + std::strerror(error) + "; " + listChipsHint;
}

}  // namespace

GpioPort::GpioPort(const GpioApi& api, const GpioChoice& choice)
    : api_(api), data_(pattern::idleData), control_(pattern::idleControl)
{
    if (const int error = api_.openChip(choice.chip, chip_); error != 0)
        throw PortError(chipProblem(choice.chip, error));
    try {
        resolve(choice);
        checkFree();
        idleLevels_ = levelsFor(pattern::idleData, pattern::idleControl);
        if (const int error = api_.requestOutputs(chip_.handle, offsets_, idleLevels_, request_); error != 0) {
            request_ = nullptr;
            throw PortError("requesting lines " + linesText() +
                            " of " + chipText() + " failed: " + std::strerror(error) +
                            (error == EBUSY ? "; another program took one of them just now: close it" : ""));
        }
        // Without it a crash, a termination signal the window does not
        // answer and an exit would leave the last step on the lines.
        if (const int fd = api_.requestFd(request_); fd >= 0)
            signalFd_.store(fd, std::memory_order_release);
        else
            throw PortError("requesting lines " + linesText() + " of " + chipText() +
                            " gave no descriptor to set them idle with on a crash; refused, as a crash would leave "
                            "a step on them; report this fault of the program, and drive another port meanwhile");
    } catch (...) {
        close();
        throw;
    }
}

GpioPort::~GpioPort()
{
    CrashGuard::forget(*this);
    close();
}

void GpioPort::close() noexcept
{
    // First, so that a crash handler from now on writes nothing: after the
    // release the number may belong to another file.
    signalFd_.store(-1, std::memory_order_release);
    if (request_)
        api_.release(request_);
    request_ = nullptr;
    if (chip_.handle)
        api_.closeChip(chip_.handle);
    chip_.handle = nullptr;
}

void GpioPort::resolve(const GpioChoice& choice)
{
    std::vector<std::string> given;  // as the operator named each line
    const auto take = [&](const std::string& line, const std::string& signal) {
        unsigned offset = 0;
        if (const std::optional<unsigned> number = gpioLineOffset(line)) {
            offset = *number;
            if (offset >= chip_.lines)
                throw PortError("line " + line + " of " + chipText() + " (for " + signal +
                                ") is out of range: the chip has " + std::to_string(chip_.lines) +
                                " lines, 0-" + std::to_string(chip_.lines == 0 ? 0 : chip_.lines - 1) +
                                "; gpioinfo " + chip_.name + " lists them");
        } else if (const int error = api_.findLine(chip_.handle, line, offset); error != 0) {
            throw PortError("no line named '" + line + "' on " + chipText() + " (for " + signal + "): " +
                            std::strerror(error) + "; gpioinfo " + chip_.name +
                            " lists its lines, or give offsets: --port=gpio:" + chip_.name + ":LINES");
        }
        const auto twice = std::ranges::find(offsets_, offset);
        if (twice != offsets_.end()) {
            const std::size_t earlier = static_cast<std::size_t>(twice - offsets_.begin());
            throw PortError("line " + std::to_string(offset) + " of " + chipText() + " is named twice (as " +
                            given[earlier] + " for " + signalAt(earlier) + " and as " + line + " for " + signal +
                            "); give each pin a line of its own");
        }
        offsets_.push_back(offset);
        given.push_back(line);
    };
    for (std::size_t index = 0; index < gpioPinCount; ++index) {
        if (choice.lines[index].empty())
            continue;  // an optional pin left unwired
        take(choice.lines[index], gpioPins[index].signal);
        pins_.push_back(index);
    }
    if (!choice.keepAlive.empty()) {
        take(choice.keepAlive, keepAliveSignal);
        keepAliveAt_ = pins_.size();
    }
}

std::string GpioPort::signalAt(std::size_t at) const
{
    return at < pins_.size() ? gpioPins[pins_[at]].signal : keepAliveSignal;
}

// A request that meets a line in use fails, but only after the kernel has
// set the lines before it to their initial values; so every line is looked
// at first, and nothing is written when one is taken.
void GpioPort::checkFree() const
{
    for (std::size_t at = 0; at < offsets_.size(); ++at) {
        GpioApi::Line line;
        const std::string lineText = "line " + std::to_string(offsets_[at]);
        if (const int error = api_.lineInfo(chip_.handle, offsets_[at], line); error != 0)
            throw PortError("reading " + lineText + " of " + chipText() + " failed: " + std::strerror(error) + "; " +
                            listChipsHint);
        if (!line.used)
            continue;
        const std::string named = line.name.empty() ? "" : " (" + line.name + ")";
        const std::string holder = line.consumer.empty() ? "the kernel (its pin may serve another function)"
                                                         : "'" + line.consumer + "'";
        throw PortError(lineText + named + " of " + chipText() + " (for " + signalAt(at) +
                        ") is in use by " + holder + "; close the program that holds it, or choose other lines "
                        "(gpioinfo " + chip_.name + " shows who holds each)");
    }
}

GpioApi::Levels GpioPort::levelsFor(std::uint8_t data, std::uint8_t control) const noexcept
{
    GpioApi::Levels levels{};
    for (std::size_t at = 0; at < pins_.size(); ++at)
        levels[at] = gpioPinLevel(gpioPins[pins_[at]], data, control) ? 1 : 0;
    if (keepAlive())
        levels[keepAliveAt_] = keepAliveSet_.load(std::memory_order_relaxed) ? 1 : 0;
    return levels;
}

void GpioPort::out(std::uint16_t address, std::uint8_t value)
{
    checkWritable(address, value, name());
    const CrashGuard::WritePermit permit;
    if (!permit)
        return;  // a crash handler has left the port idle: nothing may follow
    const bool data = address == dataPort;
    const std::uint8_t dataValue = data ? value : data_.load(std::memory_order_relaxed);
    const std::uint8_t controlValue = data ? control_.load(std::memory_order_relaxed) : value;
    setLines(levelsFor(dataValue, controlValue));
    (data ? data_ : control_).store(value, std::memory_order_relaxed);
}

void GpioPort::writeKeepAlive(bool set)
{
    const CrashGuard::WritePermit permit;
    if (!permit || !keepAlive())
        return;
    GpioApi::Levels levels = levelsFor(data_.load(std::memory_order_relaxed), control_.load(std::memory_order_relaxed));
    levels[keepAliveAt_] = set ? 1 : 0;
    setLines(levels);
    keepAliveSet_.store(set, std::memory_order_relaxed);
}

void GpioPort::setLines(const GpioApi::Levels& levels)
{
    if (!request_)
        throw PortError("using " + name() + " failed: the port is closed; restart the program");
    if (const int error = api_.setLevels(request_, levels); error != 0)
        throw PortError(chipText() + " stopped taking writes: " + std::strerror(error) +
                        "; check the chip (a USB adapter unplugged, its driver unloaded), then start the program "
                        "again");
}

std::uint8_t GpioPort::in(std::uint16_t address)
{
    if (address == dataPort)
        return data_.load(std::memory_order_relaxed);
    if (address == controlPort)
        return control_.load(std::memory_order_relaxed);
    throw PortError("reading " + hexValue(address) + " on " + name() + " failed: a GPIO port has no status lines; use " +
                    hexValue(dataPort) + " or " + hexValue(controlPort));
}

std::string GpioPort::name() const
{
    return chip_.name;
}

std::string GpioPort::chipText() const
{
    return chip_.name + " [" + chip_.label + "]";
}

std::string GpioPort::linesText() const
{
    const bool optionalWired = std::ranges::any_of(pins_, [](std::size_t pin) { return pin >= gpioRequiredPins; });
    const std::size_t shown = optionalWired ? gpioPinCount : gpioRequiredPins;
    std::string lines;
    std::string pins = " (D0-D7, C1";
    for (std::size_t index = 0, at = 0; index < shown; ++index) {
        if (index > 0)
            lines += ',';
        if (at < pins_.size() && pins_[at] == index)
            lines += std::to_string(offsets_[at++]);
        else
            lines += unwiredLine;
        if (index >= gpioRequiredPins)
            pins += (index == gpioRequiredPins ? ", pins " : ", ") + std::to_string(gpioPins[index].db25Pin);
    }
    return lines + pins + ")";
}

std::string GpioPort::description() const
{
    return "Port: GPIO " + chipText() + ", lines " + linesText() +
           (keepAlive() ? ", keep-alive on line " + std::to_string(offsets_[keepAliveAt_]) : "");
}

// Two ioctls on the request's descriptor, as the parallel port's handler
// makes PPWDATA then PPWCONTROL: the data lines low first, the control lines
// kept, then the idle levels; the keep-alive's line keeps its level. levelsFor() is arithmetic on this object's
// fixed members into an array on the stack; setLevelsFromSignal() is the
// system call alone. No allocation, no lock, no libgpiod call (which would
// touch the library's own record of the lines the step thread may be
// updating).
void GpioPort::writeIdleFromSignalHandler() noexcept
{
    const int fd = signalFd_.load(std::memory_order_acquire);
    if (fd < 0)
        return;
    api_.setLevelsFromSignal(fd, levelsFor(pattern::idleData, control_.load(std::memory_order_relaxed)));
    api_.setLevelsFromSignal(fd, levelsFor(pattern::idleData, pattern::idleControl));
}

}  // namespace port::backend
