// The program's port surface, kept with the names of the declarations the
// program was first written against (Out/Outw/Inp/Inpw), over a Port.
#ifndef PORT_BACKEND_MODULE1_H
#define PORT_BACKEND_MODULE1_H

#include "port/backend/port.h"

#include <cstdint>

namespace port::backend {

class Module1 {
public:
    explicit Module1(Port& port) : port_(port) {}

    // The only one the program calls, from inside the step loop: the low
    // byte of value goes to the register, as the byte-wide OUT did.
    void vbOut(int port, int value)
    {
        port_.out(static_cast<std::uint16_t>(port), static_cast<std::uint8_t>(value & byteMask));
    }
    // 16-bit: low byte to port, high byte to port + 1.
    void vbOutw(int port, int value);
    int vbInp(int port);
    // 16-bit: low byte from port, high byte from port + 1.
    int vbInpw(int port);

    Port& port() { return port_; }

private:
    static constexpr int byteMask = 0xFF;
    static constexpr int byteBits = 8;
    Port& port_;
};

}  // namespace port::backend

#endif  // PORT_BACKEND_MODULE1_H
