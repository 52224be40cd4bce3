// Hex formatting shared by the back ends' error messages.
#include "port/backend/hexvalue.h"

#include "port/backend/port.h"

#include <cstdio>

namespace port::backend {

std::string hexValue(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void checkWritable(std::uint16_t address, std::uint8_t value, const std::string& portName)
{
    if (address != dataPort && address != controlPort)
        throw PortError("writing " + hexValue(value) + " to " + hexValue(address) + " on " + portName +
                        " failed: not a writable register; use " + hexValue(dataPort) + " or " +
                        hexValue(controlPort));
}

}  // namespace port::backend
