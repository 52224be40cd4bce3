// The seam between Ieee1284Port and libieee1284: the few library calls the
// port needs, behind an interface so tests can put a fake in. Only
// ieee1284api.cpp and ieee1284port.cpp see <ieee1284.h>.
#ifndef PORT_BACKEND_IEEE1284API_H
#define PORT_BACKEND_IEEE1284API_H

#include <cstdint>
#include <string>
#include <vector>

namespace port::backend {

class Ieee1284Api {
public:
    // One port as listed by the library. handle is the library's port,
    // valid until the list is freed.
    struct FoundPort {
        std::string name;
        unsigned long baseAddress = 0;
        std::string filename;  // "/dev/parport0", "/dev/port", or empty
        void* handle = nullptr;
    };

    // Library results: 0 or more is success, below 0 an E1284 code (for
    // E1284_SYS, errno holds the reason, as with the library itself).
    virtual ~Ieee1284Api() = default;

    // Lists the ports; list receives the library's list for freePorts.
    virtual int findPorts(std::vector<FoundPort>& ports, void*& list) const = 0;
    virtual void freePorts(void* list) const = 0;
    // 0 when the device node can be opened for reading and writing (which
    // does not touch the port), otherwise the errno.
    virtual int checkDevice(const std::string& path) const = 0;
    virtual int open(void* port, int flags) const = 0;
    virtual int close(void* port) const = 0;
    virtual int claim(void* port) const = 0;
    virtual void release(void* port) const = 0;
    virtual void writeData(void* port, std::uint8_t value) const = 0;
    // In the library's terms: the inverted lines are XORed back by it.
    virtual void writeControl(void* port, std::uint8_t value) const = 0;
    virtual int readData(void* port) const = 0;
    virtual int readStatus(void* port) const = 0;
    virtual int readControl(void* port) const = 0;
    // 0 while the kernel still has the claimed port, otherwise the errno:
    // ENODEV once it has been removed (a card or adapter taken away, its
    // driver unbound). Asks ppdev about the port itself (PPGETMODES looks it
    // up by number), as a register read answers even then; 0 for the raw I/O
    // methods, which have no descriptor to ask.
    virtual int checkPort(void* port) const = 0;

    // For a crash handler, asked once the port is claimed: the descriptor of
    // the /dev/parportN the library opened for port, when it answers ppdev's
    // register ioctls for a claimed port; below 0 when the access method has
    // none (raw I/O through /dev/port or ioperm) or it does not answer.
    virtual int ppdevFd(void* port) const = 0;
    // One ppdev register write (PPWDATA, PPWCONTROL: value is the raw
    // register byte) straight to the kernel, bypassing the library, so that
    // a signal handler may call it: one ioctl, nothing else. Its failure is
    // ignored, as nobody is left to be told.
    virtual void writeRawFromSignal(int fd, unsigned long request, std::uint8_t value) const noexcept = 0;
};

// The real library. Lives for the whole program.
const Ieee1284Api& systemIeee1284Api();

// "E1284_SYS: Permission denied" etc., for error lines; reads errno for
// E1284_SYS, so call it straight after the failing call.
std::string ieee1284ErrorText(int code);

}  // namespace port::backend

#endif  // PORT_BACKEND_IEEE1284API_H
