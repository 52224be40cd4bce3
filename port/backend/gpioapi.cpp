// The real libgpiod (v1 API) behind the GpioApi seam.
#include "port/backend/gpioapi.h"

#include <dirent.h>
#include <gpiod.h>
#include <linux/gpio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace port::backend {

static_assert(GpioApi::maxLines == GPIOHANDLES_MAX);
static_assert(GpioApi::maxLines == GPIOD_LINE_BULK_MAX_LINES);
static_assert(sizeof(gpiohandle_data) == sizeof(GpioApi::Levels));

namespace {

// What another program sees holding the lines (gpioinfo shows it).
constexpr char consumerName[] = "frequency-converter";
// How the kernel names the descriptor of a v1 line request in /proc/self/fd.
constexpr std::string_view lineHandleLink = "anon_inode:gpio-linehandle";

struct Request {
    gpiod_line_bulk bulk;
    int fd = -1;
};

gpiod_chip* asChip(void* chip)
{
    return static_cast<gpiod_chip*>(chip);
}

// The descriptors of line requests this process holds. libgpiod keeps the
// request's own to itself; it is the one that appears across the request.
std::vector<int> lineHandles()
{
    std::vector<int> found;
    DIR* listing = ::opendir("/proc/self/fd");
    if (!listing)
        return found;
    while (const dirent* entry = ::readdir(listing)) {
        char target[64] = {};
        const ssize_t length = ::readlinkat(::dirfd(listing), entry->d_name, target, sizeof target - 1);
        if (length > 0 && std::string_view(target, static_cast<std::size_t>(length)) == lineHandleLink)
            found.push_back(std::atoi(entry->d_name));
    }
    ::closedir(listing);
    std::ranges::sort(found);
    return found;
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
        opened = Chip{gpiod_chip_name(handle), gpiod_chip_label(handle), gpiod_chip_num_lines(handle), handle};
        return 0;
    }

    void closeChip(void* chip) const override { gpiod_chip_close(asChip(chip)); }

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

    int requestOutputs(void* chip, const std::vector<unsigned>& offsets, const Levels& levels,
                       void*& request) const override
    {
        auto made = std::make_unique<Request>();
        gpiod_line_bulk_init(&made->bulk);
        int initial[maxLines] = {};
        for (std::size_t index = 0; index < offsets.size() && index < maxLines; ++index) {
            errno = 0;
            gpiod_line* line = gpiod_chip_get_line(asChip(chip), offsets[index]);
            if (!line)
                return failure();
            gpiod_line_bulk_add(&made->bulk, line);
            initial[index] = levels[index];
        }
        const std::vector<int> before = lineHandles();
        errno = 0;
        if (gpiod_line_request_bulk_output(&made->bulk, consumerName, initial) != 0)
            return failure();
        std::vector<int> appeared;
        std::ranges::set_difference(lineHandles(), before, std::back_inserter(appeared));
        if (appeared.size() == 1)
            made->fd = appeared.front();
        request = made.release();
        return 0;
    }

    int setLevels(void* request, const Levels& levels) const override
    {
        auto* held = static_cast<Request*>(request);
        int values[maxLines];
        const unsigned count = gpiod_line_bulk_num_lines(&held->bulk);
        for (unsigned index = 0; index < count; ++index)
            values[index] = levels[index];
        errno = 0;
        return gpiod_line_set_value_bulk(&held->bulk, values) == 0 ? 0 : failure();
    }

    void release(void* request) const override
    {
        auto* held = static_cast<Request*>(request);
        gpiod_line_release_bulk(&held->bulk);
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
