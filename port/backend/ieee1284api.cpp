// The real libieee1284 behind the Ieee1284Api seam.
#include "port/backend/ieee1284api.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ieee1284.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace port::backend {

namespace {

parport* asPort(void* port)
{
    return static_cast<parport*>(port);
}

class SystemIeee1284Api final : public Ieee1284Api {
public:
    int findPorts(std::vector<FoundPort>& ports, void*& list) const override
    {
        auto* found = new parport_list{};
        const int result = ieee1284_find_ports(found, 0);
        if (result < 0) {
            delete found;
            list = nullptr;
            return result;
        }
        for (int index = 0; index < found->portc; ++index) {
            parport* entry = found->portv[index];
            ports.push_back(FoundPort{entry->name ? entry->name : "", entry->base_addr,
                                      entry->filename ? entry->filename : "", entry});
        }
        list = found;
        return result;
    }

    void freePorts(void* list) const override
    {
        auto* found = static_cast<parport_list*>(list);
        if (!found)
            return;
        ieee1284_free_ports(found);
        delete found;
    }

    int checkDevice(const std::string& path) const override
    {
        // Opening the ppdev node neither claims nor writes the port.
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return errno;
        ::close(fd);
        return 0;
    }

    int open(void* port, int flags) const override
    {
        int capabilities = 0;
        return ieee1284_open(asPort(port), flags, &capabilities);
    }
    int close(void* port) const override { return ieee1284_close(asPort(port)); }
    int claim(void* port) const override { return ieee1284_claim(asPort(port)); }
    void release(void* port) const override { ieee1284_release(asPort(port)); }
    void writeData(void* port, std::uint8_t value) const override
    {
        ieee1284_write_data(asPort(port), value);
    }
    void writeControl(void* port, std::uint8_t value) const override
    {
        ieee1284_write_control(asPort(port), value);
    }
    int readData(void* port) const override { return ieee1284_read_data(asPort(port)); }
    int readStatus(void* port) const override { return ieee1284_read_status(asPort(port)); }
    int readControl(void* port) const override { return ieee1284_read_control(asPort(port)); }

    int checkPort(void* port) const override
    {
        const int fd = ieee1284_get_irq_fd(asPort(port));
        if (fd < 0)
            return 0;
        unsigned modes = 0;
        return ::ioctl(fd, PPGETMODES, &modes) == 0 ? 0 : errno;
    }

    int ppdevFd(void* port) const override
    {
        // With ppdev, the library's interrupt descriptor is the device it
        // opened and makes its register ioctls on; the raw I/O methods have
        // none (E1284_NOTAVAIL). ppdev answers a register read only on the
        // descriptor that claimed the port, so a read proves it is that one
        // (and only reads the driver's copy of the control register).
        const int fd = ieee1284_get_irq_fd(asPort(port));
        if (fd < 0)
            return -1;
        unsigned char control = 0;
        return ::ioctl(fd, PPRCONTROL, &control) == 0 ? fd : -1;
    }

    void writeRawFromSignal(int fd, unsigned long request, std::uint8_t value) const noexcept override
    {
        // ioctl() is not on POSIX's async-signal-safe list, but glibc's is
        // the bare system call: no lock, no allocation.
        unsigned char raw = value;
        ::ioctl(fd, request, &raw);
    }
};

}  // namespace

const Ieee1284Api& systemIeee1284Api()
{
    static const SystemIeee1284Api api;
    return api;
}

std::string ieee1284ErrorText(int code)
{
    const int savedErrno = errno;
    switch (code) {
    case E1284_OK: return "E1284_OK";
    case E1284_NOTIMPL: return "E1284_NOTIMPL: not implemented";
    case E1284_NOTAVAIL: return "E1284_NOTAVAIL: not available on this system";
    case E1284_TIMEDOUT: return "E1284_TIMEDOUT: timed out";
    case E1284_REJECTED: return "E1284_REJECTED: negotiation rejected";
    case E1284_NEGFAILED: return "E1284_NEGFAILED: negotiation failed";
    case E1284_NOMEM: return "E1284_NOMEM: out of memory";
    case E1284_INIT: return "E1284_INIT: error initialising the port";
    case E1284_SYS: return std::string("E1284_SYS: ") + std::strerror(savedErrno);
    case E1284_NOID: return "E1284_NOID: no IEEE 1284 ID";
    case E1284_INVALIDPORT: return "E1284_INVALIDPORT: invalid port";
    default: return "libieee1284 error " + std::to_string(code);
    }
}

}  // namespace port::backend
