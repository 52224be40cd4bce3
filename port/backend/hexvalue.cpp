// Hex formatting shared by the back ends' error messages.
#include "port/backend/hexvalue.h"

#include <cstdio>

namespace port::backend {

std::string hexValue(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace port::backend
