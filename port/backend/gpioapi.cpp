// The real libgpiod (v1 API) behind the GpioApi seam, and the kernel's line
// request ioctls beside it.
#include "port/backend/gpioapi.h"

#include <fcntl.h>
#include <gpiod.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace port::backend {

static_assert(GpioApi::maxLines == GPIOHANDLES_MAX);
static_assert(sizeof(gpiohandle_data) == sizeof(GpioApi::Levels));

namespace {

// What another program sees holding the lines (gpioinfo shows it).
constexpr char consumerName[] = "frequency-converter";
static_assert(sizeof consumerName <= GPIO_MAX_NAME_SIZE);

// libgpiod v1 keeps a chip's descriptor to itself: the request goes to the
// chip's node, opened again by its path.
struct OpenChip {
    gpiod_chip* chip;
    std::string path;
};

// The request is the descriptor the kernel gave: a set of every line is one
// ioctl on it, from the step thread as from a crash handler.
struct Request {
    int fd;
};

gpiod_chip* asChip(void* chip)
{
    return static_cast<OpenChip*>(chip)->chip;
}

int failure()
{
    return errno != 0 ? errno : EIO;
}

class SystemGpioApi final : public GpioApi {
public:
    int openChip(const std::string& chip, Chip& opened) const override
    {
        errno = 0;
        gpiod_chip* handle = chip.starts_with('/')           ? gpiod_chip_open(chip.c_str())
                             : chip.starts_with("gpiochip") ? gpiod_chip_open_by_name(chip.c_str())
                                                            : gpiod_chip_open_by_label(chip.c_str());
        if (!handle)
            return failure();
        const std::string name = gpiod_chip_name(handle);
        auto* open = new OpenChip{handle, chip.starts_with('/') ? chip : "/dev/" + name};
        opened = Chip{name, gpiod_chip_label(handle), gpiod_chip_num_lines(handle), open};
        return 0;
    }

    void closeChip(void* chip) const override
    {
        gpiod_chip_close(asChip(chip));
        delete static_cast<OpenChip*>(chip);
    }

    int findLine(void* chip, const std::string& name, unsigned& offset) const override
    {
        errno = 0;
        gpiod_line* line = gpiod_chip_find_line(asChip(chip), name.c_str());
        if (!line)
            return errno != 0 ? errno : ENOENT;
        offset = gpiod_line_offset(line);
        return 0;
    }

    int lineInfo(void* chip, unsigned offset, Line& line) const override
    {
        errno = 0;
        gpiod_line* found = gpiod_chip_get_line(asChip(chip), offset);  // reads the line's info
        if (!found)
            return failure();
        const char* name = gpiod_line_name(found);
        const char* consumer = gpiod_line_consumer(found);
        line = Line{name ? name : "", gpiod_line_is_used(found), consumer ? consumer : ""};
        return 0;
    }

    // GPIO_GET_LINEHANDLE_IOCTL straight to the kernel, as libgpiod v1 makes
    // it, so that the request's descriptor is known, not looked for.
    int requestOutputs(void* chip, const std::vector<unsigned>& offsets, const Levels& levels,
                       void*& request) const override
    {
        if (offsets.empty() || offsets.size() > maxLines)
            return EINVAL;
        gpiohandle_request asked{};
        for (std::size_t index = 0; index < offsets.size(); ++index) {
            asked.lineoffsets[index] = offsets[index];
            asked.default_values[index] = levels[index];
        }
        asked.lines = static_cast<__u32>(offsets.size());
        asked.flags = GPIOHANDLE_REQUEST_OUTPUT;
        std::memcpy(asked.consumer_label, consumerName, sizeof consumerName);
        const int chipFd = ::open(static_cast<OpenChip*>(chip)->path.c_str(), O_RDWR | O_CLOEXEC);
        if (chipFd < 0)
            return failure();
        errno = 0;
        const int error = ::ioctl(chipFd, GPIO_GET_LINEHANDLE_IOCTL, &asked) < 0 || asked.fd < 0 ? failure() : 0;
        ::close(chipFd);
        if (error != 0)
            return error;
        request = new Request{asked.fd};  // the kernel opens it close-on-exec
        return 0;
    }

    int setLevels(void* request, const Levels& levels) const override
    {
        errno = 0;
        if (::ioctl(static_cast<Request*>(request)->fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, levels.data()) < 0)
            return failure();
        return 0;
    }

    void release(void* request) const override
    {
        auto* held = static_cast<Request*>(request);
        ::close(held->fd);
        delete held;
    }

    int requestFd(void* request) const override { return static_cast<Request*>(request)->fd; }

    void setLevelsFromSignal(int fd, const Levels& levels) const noexcept override
    {
        // ioctl() is not on POSIX's async-signal-safe list, but glibc's is
        // the bare system call: no lock, no allocation. GPIOHANDLE_SET_LINE_VALUES
        // reads its struct gpiohandle_data straight from levels.
        ::ioctl(fd, GPIOHANDLE_SET_LINE_VALUES_IOCTL, levels.data());
    }
};

}  // namespace

const GpioApi& systemGpioApi()
{
    static const SystemGpioApi api;
    return api;
}

}  // namespace port::backend
