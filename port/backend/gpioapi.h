// The seam between GpioPort and the kernel's GPIO character device: the few
// calls the port needs, behind an interface so tests can put a fake chip in.
// Chips and lines are looked up through libgpiod (the v1 API); the lines are
// requested and set with the kernel's v1 ioctls directly, so that the
// request's descriptor, which a crash handler sets the lines with, is known.
// Only gpioapi.cpp sees <gpiod.h>.
#ifndef PORT_BACKEND_GPIOAPI_H
#define PORT_BACKEND_GPIOAPI_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace port::backend {

class GpioApi {
public:
    // The kernel's limit of lines in one request (GPIOHANDLES_MAX), and so
    // the size of the level array one set takes.
    static constexpr std::size_t maxLines = 64;
    using Levels = std::array<std::uint8_t, maxLines>;

    struct Chip {
        std::string name;   // "gpiochip0"
        std::string label;  // "pinctrl-bcm2711"
        unsigned lines = 0;
        void* handle = nullptr;
    };
    struct Line {
        std::string name;      // empty when the chip names none
        bool used = false;     // requested by a program or the kernel, or its pin given to another function
        std::string consumer;  // who holds it, where the kernel says
    };

    // Results: 0 for success, otherwise the errno.
    virtual ~GpioApi() = default;

    // chip: "/dev/gpiochipN", "gpiochipN" or a chip's label. ENOENT: no
    // such chip.
    virtual int openChip(const std::string& chip, Chip& opened) const = 0;
    virtual void closeChip(void* chip) const = 0;
    // The offset of the line called name, or ENOENT.
    virtual int findLine(void* chip, const std::string& name, unsigned& offset) const = 0;
    virtual int lineInfo(void* chip, unsigned offset, Line& line) const = 0;
    // One request for every line, as outputs set to levels (one per
    // offset) by the request itself; request receives the library's handle.
    virtual int requestOutputs(void* chip, const std::vector<unsigned>& offsets, const Levels& levels,
                               void*& request) const = 0;
    // One set of every requested line, levels in the request's order: one
    // ioctl. ENODEV once the chip has gone.
    virtual int setLevels(void* request, const Levels& levels) const = 0;
    virtual void release(void* request) const = 0;

    // For a crash handler: the descriptor of the request, on which one
    // GPIOHANDLE_SET_LINE_VALUES ioctl sets every line; below 0 when it
    // cannot be told (the port then refuses to start).
    virtual int requestFd(void* request) const = 0;
    // That ioctl and nothing else, so that a signal handler may call it:
    // levels in the request's order. Its failure is ignored, as nobody is
    // left to be told.
    virtual void setLevelsFromSignal(int fd, const Levels& levels) const noexcept = 0;
};

// The real library. Lives for the whole program.
const GpioApi& systemGpioApi();

}  // namespace port::backend

#endif  // PORT_BACKEND_GPIOAPI_H
