// Hex formatting shared by the back ends' error messages.
#include "port/hexvalue.h"

#include <cstdio>

namespace port {

std::string hexValue(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace port
