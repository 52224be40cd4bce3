// The word-wide and input calls of the program's port surface.
#include "port/backend/module1.h"

namespace port::backend {

void Module1::vbOutw(int port, int value)
{
    vbOut(port, value);
    vbOut(port + 1, value >> byteBits);
}

int Module1::vbInp(int port)
{
    return port_.in(static_cast<std::uint16_t>(port));
}

int Module1::vbInpw(int port)
{
    const int low = vbInp(port);
    return low | vbInp(port + 1) << byteBits;
}

}  // namespace port::backend
